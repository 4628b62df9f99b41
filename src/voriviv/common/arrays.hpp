// Whole-array versions of the coordinate functions: the machinery they share.
//
// The model
// ---------
// An array function takes a few arrays of the same shape (anything exposing
// the buffer protocol or DLPack on the CPU; any other object goes through
// numpy.asarray first), applies one scalar function of nds.hpp / geodesy.hpp /
// tile.hpp to each position, and returns new C-ordered NumPy arrays of that
// shape. The element loop runs with the GIL released, in blocks of kBlock
// elements, on one thread or on a few threads that each take one contiguous
// slice.
//
// Elements are read as the interpreter would see them one by one: bool and
// integer dtypes as ints, floating dtypes (16, 32 and 64 bits) as floats, then
// converted to double the way `int / float` and math.fmod convert an int
// (correctly rounded, the same as NumPy's astype(float64)). Any other dtype
// (complex, bfloat, object, text, dates) is refused with TypeError, and so are
// floating dtypes where only integers are meaningful.
//
// A scalar function that fails on an element (NaN where the scalar API would
// raise, a value out of range) makes the whole call fail with the scalar
// API's exception type; the message names the index of the first such
// element (its flat index in C order for arrays of more than one
// dimension). Nothing is returned in that case.
//
// NumPy is optional for the package: the array functions import it on their
// first call and raise ImportError naming the extra to install when it is
// missing. Nothing here imports it before that.
#pragma once

#include "strict_fp.hpp"

#include <Python.h>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace voriviv::arrays {

namespace nb = nanobind;

// Elements per block: small enough for converted copies to stay in cache.
inline constexpr std::size_t kBlock = 2048;
// Below this many elements per thread another thread is not worth starting.
inline constexpr std::size_t kMinPerThread = std::size_t{1} << 16;
// From this many elements on, threads=None uses up to two threads.
inline constexpr std::size_t kAutoThreadsFrom = std::size_t{1} << 20;

inline constexpr std::size_t kNoError = std::numeric_limits<std::size_t>::max();

// Raises ImportError when NumPy cannot be imported; `fn` names the caller.
inline void require_numpy(const char* fn) {
    static bool available = false;  // guarded by the GIL
    if (available) return;
    PyObject* m = PyImport_ImportModule("numpy");
    if (!m) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw nb::python_error();
        nb::python_error cause;
        nb::raise_from(cause, PyExc_ImportError,
                       "%s needs NumPy, which is not installed: pip install voriviv[arrays]", fn);
    }
    Py_DECREF(m);
    available = true;
}

// What a function accepts as elements.
enum class Accept {
    Numbers,   // bool, int, uint, float16/32/64
    Integers,  // bool, int, uint
};

// One input array, viewed read-only.
class Column {
  public:
    // `name` is the parameter name, used in messages.
    Column(nb::handle value, const char* name, Accept accept) : name_(name) {
        if (!nb::try_cast(value, array_, false)) {
            // Not an array: let NumPy make one (lists, tuples, scalars).
            nb::object np = nb::module_::import_("numpy");
            converted_ = np.attr("asarray")(value);
            // Byte-swapped numbers: to native order, as NumPy computes with them.
            nb::object dt = converted_.attr("dtype");
            if (!nb::cast<bool>(dt.attr("isnative")))
                converted_ = converted_.attr("astype")(dt.attr("newbyteorder")("="));
            if (!nb::try_cast(converted_, array_, false)) {
                throw nb::type_error(
                    (std::string(name) + ": expected an array of numbers, not an array of dtype " +
                     nb::str(nb::getattr(converted_, "dtype", nb::str("?"))).c_str())
                        .c_str());
            }
        }
        const auto dt = array_.dtype();
        using Code = nb::dlpack::dtype_code;
        bool ok = dt.lanes == 1;
        if (dt.code == uint8_t(Code::Bool)) {
            kind_ = Kind::Bool;
            ok &= dt.bits == 8;
        } else if (dt.code == uint8_t(Code::Int)) {
            kind_ = Kind::Int;
            ok &= dt.bits == 8 || dt.bits == 16 || dt.bits == 32 || dt.bits == 64;
        } else if (dt.code == uint8_t(Code::UInt)) {
            kind_ = Kind::UInt;
            ok &= dt.bits == 8 || dt.bits == 16 || dt.bits == 32 || dt.bits == 64;
        } else if (dt.code == uint8_t(Code::Float) && accept == Accept::Numbers) {
            kind_ = Kind::Float;
            ok &= dt.bits == 16 || dt.bits == 32 || dt.bits == 64;
        } else {
            ok = false;
        }
        if (!ok) {
            const char* what = accept == Accept::Numbers ? "an array of real numbers"
                                                         : "an array of integers";
            throw nb::type_error((std::string(name) + ": expected " + what + ", not " +
                                  dtype_text(dt))
                                     .c_str());
        }
        bits_ = dt.bits;
        base_ = reinterpret_cast<const std::uint8_t*>(array_.data());
        ndim_ = array_.ndim();
        size_ = 1;
        for (std::size_t i = 0; i < ndim_; ++i) size_ *= array_.shape(i);
        // Element strides in C order of a dense array: flat when they match.
        flat_stride_ = 1;
        contiguous_ = true;
        std::int64_t expect = 1;
        for (std::size_t i = ndim_; i-- > 0;) {
            if (array_.shape(i) != 1 && array_.stride(i) != expect) contiguous_ = false;
            expect *= std::int64_t(array_.shape(i));
        }
        if (!contiguous_ && nontrivial_dims() == 1) {
            // One real axis: a single stride walks it.
            for (std::size_t i = 0; i < ndim_; ++i)
                if (array_.shape(i) != 1) flat_stride_ = array_.stride(i);
            contiguous_ = true;  // flat with flat_stride_
        }
    }

    const char* name() const { return name_; }
    std::size_t size() const { return size_; }
    std::size_t ndim() const { return ndim_; }
    std::size_t shape(std::size_t i) const { return array_.shape(i); }

    bool same_shape(const Column& o) const {
        if (ndim_ != o.ndim_) return false;
        for (std::size_t i = 0; i < ndim_; ++i)
            if (shape(i) != o.shape(i)) return false;
        return true;
    }

    std::string shape_text() const {
        std::string s = "(";
        for (std::size_t i = 0; i < ndim_; ++i) {
            s += std::to_string(shape(i));
            if (ndim_ == 1 || i + 1 < ndim_) s += ndim_ == 1 ? "," : ", ";
        }
        return s + ")";
    }

    // Elements [start, start + n) as doubles: a pointer into the array for
    // dense float64 data, else converted into `buf` (kBlock doubles).
    const double* doubles(std::size_t start, std::size_t n, double* buf) const {
        return elements(start, n, buf);
    }

    // Elements [start, start + n) as 64-bit ints (integer columns only); an
    // unsigned value above the int64 range becomes the int64 maximum, which
    // no caller accepts. A pointer into the array for dense int64 data.
    const std::int64_t* int64s(std::size_t start, std::size_t n, std::int64_t* buf) const {
        return elements(start, n, buf);
    }

    // repr() of element i as the interpreter would print the number the
    // element stands for (an int or a float), for messages.
    std::string element_text(std::size_t i) const {
        const std::uint8_t* p = base_ + offset(i) * std::int64_t(bits_ / 8);
        std::string out;
        auto int_text = [&](auto type) {
            out = std::to_string(load<typename decltype(type)::type>(p));
        };
        switch (kind_) {
            case Kind::Bool: out = *p ? "True" : "False"; break;
            case Kind::Int:
                by_width<std::int8_t, std::int16_t, std::int32_t, std::int64_t>(int_text);
                break;
            case Kind::UInt:
                by_width<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>(int_text);
                break;
            case Kind::Float: {
                double d = bits_ == 16 ? double(load<Half>(p))
                           : bits_ == 32 ? double(load<float>(p))
                                         : load<double>(p);
                char* s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
                if (s) {
                    out = s;
                    PyMem_Free(s);
                }
                break;
            }
        }
        return out;
    }

  private:
    enum class Kind { Bool, Int, UInt, Float };

    // IEEE binary16, widened exactly.
    struct Half {
        std::uint16_t bits;
        explicit operator double() const {
            const int sign = bits >> 15, exp = (bits >> 10) & 0x1f, frac = bits & 0x3ff;
            double v;
            if (exp == 0) {
                v = std::ldexp(double(frac), -24);
            } else if (exp == 31) {
                v = frac ? std::numeric_limits<double>::quiet_NaN()
                         : std::numeric_limits<double>::infinity();
            } else {
                v = std::ldexp(double(frac | 0x400), exp - 25);
            }
            return sign ? -v : v;
        }
    };

    // doubles() / int64s(): Out is double or std::int64_t.
    template <typename Out>
    const Out* elements(std::size_t start, std::size_t n, Out* buf) const {
        constexpr bool to_double = std::is_same_v<Out, double>;
        if (kind_ == (to_double ? Kind::Float : Kind::Int) && bits_ == 64 && contiguous_ &&
            flat_stride_ == 1)
            return reinterpret_cast<const Out*>(base_) + start;
        auto gather_as = [&](auto type) { gather<typename decltype(type)::type>(start, n, buf); };
        switch (kind_) {
            case Kind::Bool: gather<std::uint8_t>(start, n, buf); break;
            case Kind::Int:
                by_width<std::int8_t, std::int16_t, std::int32_t, std::int64_t>(gather_as);
                break;
            case Kind::UInt:
                by_width<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>(gather_as);
                break;
            case Kind::Float:
                if constexpr (to_double) {
                    by_width<void, Half, float, double>(gather_as);
                } else {
                    std::fill_n(buf, n, 0);  // refused at construction
                }
                break;
        }
        return buf;
    }

    // Calls f(std::type_identity<T>{}) with T the element type of this
    // column's width: T8, T16, T32 or T64 (T64 also for any other width, and
    // for 8 bits when T8 is void).
    template <typename T8, typename T16, typename T32, typename T64, typename F>
    void by_width(F&& f) const {
        if constexpr (!std::is_void_v<T8>) {
            if (bits_ == 8) return f(std::type_identity<T8>{});
        }
        switch (bits_) {
            case 16: f(std::type_identity<T16>{}); break;
            case 32: f(std::type_identity<T32>{}); break;
            default: f(std::type_identity<T64>{}); break;
        }
    }

    template <typename T>
    static T load(const std::uint8_t* p) {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

    template <typename T, typename Out>
    static Out widen(T v) {
        if constexpr (std::is_same_v<Out, double>) {
            return static_cast<double>(v);  // correctly rounded for 64-bit ints too
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
            return v > std::uint64_t(std::numeric_limits<std::int64_t>::max())
                       ? std::numeric_limits<std::int64_t>::max()
                       : std::int64_t(v);
        } else if constexpr (std::is_same_v<T, Half> || std::is_floating_point_v<T>) {
            return 0;  // not reached: integer columns only
        } else {
            return static_cast<std::int64_t>(v);
        }
    }

    std::size_t nontrivial_dims() const {
        std::size_t k = 0;
        for (std::size_t i = 0; i < ndim_; ++i) k += array_.shape(i) != 1;
        return k;
    }

    // Element offset (in elements) of flat C-order index i.
    std::int64_t offset(std::size_t i) const {
        if (contiguous_) return std::int64_t(i) * flat_stride_;
        std::int64_t off = 0;
        for (std::size_t d = ndim_; d-- > 0;) {
            const std::size_t extent = array_.shape(d);
            off += std::int64_t(i % extent) * array_.stride(d);
            i /= extent;
        }
        return off;
    }

    template <typename T, typename Out>
    void gather(std::size_t start, std::size_t n, Out* out) const {
        const auto* p = reinterpret_cast<const T*>(base_);
        if (contiguous_) {
            const std::int64_t s = flat_stride_;
            const T* q = p + std::int64_t(start) * s;
            for (std::size_t k = 0; k < n; ++k) out[k] = widen<T, Out>(q[std::int64_t(k) * s]);
        } else {
            for (std::size_t k = 0; k < n; ++k) out[k] = widen<T, Out>(p[offset(start + k)]);
        }
    }

    static std::string dtype_text(nb::dlpack::dtype dt) {
        using Code = nb::dlpack::dtype_code;
        const char* kind = "unknown";
        switch (Code(dt.code)) {
            case Code::Int: kind = "int"; break;
            case Code::UInt: kind = "uint"; break;
            case Code::Float: kind = "float"; break;
            case Code::Bfloat: kind = "bfloat"; break;
            case Code::Complex: kind = "complex"; break;
            case Code::Bool: return "dtype bool";
            default: break;
        }
        std::string s = std::string("dtype ") + kind + std::to_string(dt.bits);
        if (dt.lanes != 1) s += "x" + std::to_string(dt.lanes);
        return s;
    }

    const char* name_;
    nb::object converted_;
    nb::ndarray<nb::ro, nb::device::cpu> array_;
    const std::uint8_t* base_ = nullptr;
    std::size_t ndim_ = 0, size_ = 0;
    Kind kind_ = Kind::Float;
    int bits_ = 64;
    bool contiguous_ = true;      // offset(i) == i * flat_stride_
    std::int64_t flat_stride_ = 1;
};

// ValueError unless all columns have the shape of the first.
inline void require_same_shape(const Column* const* cols, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i) {
        if (!cols[0]->same_shape(*cols[i])) {
            throw nb::value_error((std::string("arrays of different shapes: ") + cols[0]->name() +
                                   " has shape " + cols[0]->shape_text() + ", " + cols[i]->name() +
                                   " has shape " + cols[i]->shape_text())
                                      .c_str());
        }
    }
}

// Number of threads for n elements: `threads` is None (automatic: two
// threads from kAutoThreadsFrom elements on, when the machine has two cores)
// or an int >= 1, an upper bound.
inline unsigned thread_count(nb::handle threads, std::size_t n) {
    std::size_t want;
    if (threads.is_none()) {
        const unsigned hw = std::max(1u, std::thread::hardware_concurrency());
        want = n >= kAutoThreadsFrom ? std::min(2u, hw) : 1;
    } else {
        nb::object index = nb::steal(PyNumber_Index(threads.ptr()));
        if (!index) throw nb::python_error();
        const long long t = PyLong_AsLongLong(index.ptr());
        if (t == -1 && PyErr_Occurred()) throw nb::python_error();
        if (t < 1) throw nb::value_error("threads must be at least 1");
        want = std::size_t(std::min<long long>(t, 256));
    }
    return unsigned(std::max<std::size_t>(1, std::min(want, n / kMinPerThread)));
}

// Runs body(begin, end) over [0, n) split into `threads` contiguous slices,
// with the GIL released. body returns the index of the first bad element in
// its slice or kNoError; the result is the smallest of them.
template <typename Body>
std::size_t run_slices(std::size_t n, unsigned threads, Body body) {
    nb::gil_scoped_release unlocked;
    if (threads <= 1 || n == 0) return body(std::size_t{0}, n);
    std::vector<std::size_t> first_bad(threads, kNoError);
    std::vector<std::thread> workers;
    const std::size_t step = (n + threads - 1) / threads;
    for (unsigned t = 1; t < threads; ++t) {
        const std::size_t a = std::min(n, t * step), b = std::min(n, a + step);
        try {
            workers.emplace_back([&, t, a, b] { first_bad[t] = body(a, b); });
        } catch (const std::system_error&) {
            first_bad[t] = body(a, b);  // no thread to be had: do the slice here
        }
    }
    first_bad[0] = body(0, std::min(n, step));
    for (auto& w : workers) w.join();
    return *std::min_element(first_bad.begin(), first_bad.end());
}

// Calls fn(i, v) for each element i of the same-shaped columns, in order
// within blocks of kBlock, on thread_count(threads) threads with the GIL
// released; v[c] is element i of cols[c] as a double. fn returns false for a
// bad element; the result is the smallest such index, or kNoError.
template <std::size_t N, typename Fn>
std::size_t for_each_double(const Column* const (&cols)[N], nb::handle threads, Fn fn) {
    const std::size_t n = cols[0]->size();
    auto slice = [&](std::size_t a, std::size_t b) -> std::size_t {
        double bufs[N][kBlock];
        const double* col[N];
        for (std::size_t s = a; s < b; s += kBlock) {
            const std::size_t m = std::min(kBlock, b - s);
            for (std::size_t c = 0; c < N; ++c) col[c] = cols[c]->doubles(s, m, bufs[c]);
            for (std::size_t k = 0; k < m; ++k) {
                double v[N];
                for (std::size_t c = 0; c < N; ++c) v[c] = col[c][k];
                if (!fn(s + k, v)) return s + k;
            }
        }
        return kNoError;
    };
    return run_slices(n, thread_count(threads, n), slice);
}

// Uninitialised memory for a result, released with std::free. Large blocks
// are aligned to and advised for transparent huge pages: writing 160 MB of
// fresh 4 KiB pages costs more page faults than the arithmetic costs time.
inline void* allocate_result(std::size_t bytes) {
    void* p = nullptr;
#ifdef MADV_HUGEPAGE
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    if (bytes >= 2 * kHuge) {
        const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
        p = std::aligned_alloc(kHuge, rounded);
        if (p) madvise(p, rounded, MADV_HUGEPAGE);  // advice only: failure is harmless
    }
#endif
    if (!p) p = std::malloc(std::max<std::size_t>(bytes, 1));
    if (!p) throw std::bad_alloc();
    return p;
}

// A new array of the shape of `like`, C order, handed over to NumPy once
// filled (or freed when the call fails).
template <typename T>
class Output {
  public:
    explicit Output(const Column& like)
        : data_(static_cast<T*>(allocate_result(like.size() * sizeof(T))), &std::free) {
        for (std::size_t i = 0; i < like.ndim(); ++i) shape_.push_back(like.shape(i));
    }
    T* data() { return data_.get(); }

    nb::object release() {
        T* raw = data_.get();
        nb::capsule owner(raw, [](void* p) noexcept { std::free(p); });
        data_.release();
        nb::ndarray<nb::numpy, T> arr(raw, shape_.size(), shape_.data(), owner);
        return nb::cast(arr, nb::rv_policy::reference);
    }

  private:
    std::unique_ptr<T, decltype(&std::free)> data_;
    std::vector<std::size_t> shape_;
};

}  // namespace voriviv::arrays
