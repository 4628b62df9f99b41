#include "toolkit/verify/compare.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "toolkit/fidelity/scan.hpp"
#include "toolkit/pg/names.hpp"

namespace voriviv::geofileops::verify {

void Notes::add(const std::string &kind) {
    if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) kinds.push_back(kind);
}

namespace {

bool is_number(OGRFieldType t) {
    return t == OFTInteger || t == OFTInteger64 || t == OFTReal;
}

bool is_temporal(OGRFieldType t) {
    return t == OFTDate || t == OFTTime || t == OFTDateTime;
}

bool is_blank(const char *s) {
    for (; *s; ++s)
        if (*s != ' ') return false;
    return true;
}

std::string shown(std::string text) {
    if (text.size() > 60) text = text.substr(0, 57) + "...";
    return text;
}

struct Moment {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, tz = 0;
    float second = 0;
};

Moment moment_of(OGRFeatureH f, int i) {
    Moment t;
    OGR_F_GetFieldAsDateTimeEx(f, i, &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second,
                               &t.tz);
    return t;
}

bool same_date(const Moment &a, const Moment &b) {
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

// Time of day to the millisecond (what File Geodatabases keep).
bool same_time(const Moment &a, const Moment &b) {
    return a.hour == b.hour && a.minute == b.minute &&
           std::fabs(double(a.second) - double(b.second)) < 0.0015;
}

// A number as its target field writes it: with the field's decimals (the
// text formats), else as it is.
double as_written(double v, OGRFieldDefnH target_defn, TargetFormat target) {
    const int precision = OGR_Fld_GetPrecision(target_defn);
    if (target != TargetFormat::Shapefile && target != TargetFormat::MapInfo) return v;
    if (OGR_Fld_GetType(target_defn) != OFTReal || precision <= 0) return v;
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", precision, v);
    return std::strtod(buf, nullptr);
}

std::string compare_numbers(OGRFeatureH s, int si, OGRFeatureH t, int ti, TargetFormat target,
                            const std::string &head, Notes &notes) {
    OGRFieldDefnH sd = OGR_F_GetFieldDefnRef(s, si), td = OGR_F_GetFieldDefnRef(t, ti);
    const OGRFieldType st = OGR_Fld_GetType(sd), tt = OGR_Fld_GetType(td);
    if (st != OFTReal && tt != OFTReal) {
        if (OGR_F_GetFieldAsInteger64(s, si) == OGR_F_GetFieldAsInteger64(t, ti)) return "";
        return "value";
    }
    if (st == OFTInteger64 && tt == OFTReal) {
        const GIntBig v = OGR_F_GetFieldAsInteger64(s, si);
        if (static_cast<double>(v) == OGR_F_GetFieldAsDouble(t, ti)) {
            if (v > fidelity::kExactDoubleInteger || v < -fidelity::kExactDoubleInteger)
                notes.add(head + "64-bit integers written as the nearest double");
            return "";
        }
        return "value";
    }
    const double a = OGR_F_GetFieldAsDouble(s, si), b = OGR_F_GetFieldAsDouble(t, ti);
    if (a == b || (std::isnan(a) && std::isnan(b))) return "";
    if (as_written(a, td, target) == b) {
        notes.add(head + "numbers written with the field's " +
                  std::to_string(OGR_Fld_GetPrecision(td)) + " decimals");
        return "";
    }
    return "value";
}

// Text (or a binary's hexadecimal text) that a dBASE-like field cut.
bool cut_to_field(const std::string &full, const char *got, TargetFormat target) {
    if (target != TargetFormat::Shapefile && target != TargetFormat::MapInfo) return false;
    const std::size_t n = std::strlen(got);
    return full.size() > fidelity::kMaxTextBytes && n <= fidelity::kMaxTextBytes &&
           n + 4 >= fidelity::kMaxTextBytes && full.compare(0, n, got) == 0;
}

std::string compare_set(OGRFeatureH s, int si, OGRFeatureH t, int ti, TargetFormat target,
                        const std::string &head, Notes &notes) {
    const OGRFieldType st = OGR_Fld_GetType(OGR_F_GetFieldDefnRef(s, si));
    const OGRFieldType tt = OGR_Fld_GetType(OGR_F_GetFieldDefnRef(t, ti));
    if (is_number(st) && is_number(tt)) return compare_numbers(s, si, t, ti, target, head, notes);
    if (is_temporal(st) && is_temporal(tt)) {
        const Moment a = moment_of(s, si), b = moment_of(t, ti);
        const bool dates = st != OFTTime && tt != OFTTime;
        if (dates && !same_date(a, b)) return "value";
        if (st == OFTDateTime && tt == OFTDate) {
            if (a.hour || a.minute || a.second != 0)
                notes.add(head + "time of day dropped");
            return "";
        }
        if (st != OFTDate && tt != OFTDate && !same_time(a, b)) return "value";
        return "";
    }
    const std::string a = OGR_F_GetFieldAsString(s, si);
    const char *b = OGR_F_GetFieldAsString(t, ti);
    if (st == OFTBinary && tt == OFTString) {
        if (a == b) {
            notes.add(head + "binary values written as hexadecimal text");
            return "";
        }
        if (cut_to_field(a, b, target)) {
            notes.add(head + "binary values written as hexadecimal text, cut to " +
                      std::to_string(fidelity::kMaxTextBytes) + " characters");
            return "";
        }
        return "value";
    }
    if (a == b) return "";
    if (st == OFTString && tt == OFTString && cut_to_field(a, b, target)) {
        notes.add(head + "text longer than " + std::to_string(fidelity::kMaxTextBytes) +
                  " bytes cut");
        return "";
    }
    return "value";
}

std::string lower_alnum(const std::string &s) {
    std::string out;
    for (unsigned char c : s)
        out += std::isalnum(c) ? char(std::tolower(c)) : '_';
    return out;
}

}  // namespace

std::string value_text(OGRFeatureH f, int i) {
    if (!OGR_F_IsFieldSetAndNotNull(f, i)) return "NULL";
    return shown(OGR_F_GetFieldAsString(f, i));
}

std::string compare_value(OGRFeatureH s, int si, OGRFeatureH t, int ti, TargetFormat target,
                          const std::string &head, Notes &notes) {
    const bool s_set = OGR_F_IsFieldSetAndNotNull(s, si);
    const bool t_set = OGR_F_IsFieldSetAndNotNull(t, ti);
    if (!s_set && !t_set) return "";
    const OGRFieldType st = OGR_Fld_GetType(OGR_F_GetFieldDefnRef(s, si));
    const OGRFieldType tt = OGR_Fld_GetType(OGR_F_GetFieldDefnRef(t, ti));
    if (!s_set) {
        // MapInfo files hold no NULL text or number: it is read back as
        // empty text or zero.
        if (target == TargetFormat::MapInfo && !is_temporal(tt) &&
            (tt == OFTString ? *OGR_F_GetFieldAsString(t, ti) == '\0'
                             : OGR_F_GetFieldAsDouble(t, ti) == 0.0)) {
            notes.add(head + "NULL read back as empty text or zero");
            return "";
        }
        return "NULL arrived as a value";
    }
    if (!t_set) {
        // Shapefiles cannot tell blank text from NULL.
        if (target == TargetFormat::Shapefile && st == OFTString &&
            is_blank(OGR_F_GetFieldAsString(s, si))) {
            notes.add(head + "blank text read back as NULL");
            return "";
        }
        return "the value arrived as NULL";
    }
    return compare_set(s, si, t, ti, target, head, notes);
}

namespace {

// Whether `name` is `base` with a suffix a writer adds to keep names apart
// (a number: a second field of one name) or off a reserved word ("_").
bool suffixed(const std::string &base, const std::string &name) {
    if (name.size() <= base.size() || name.compare(0, base.size(), base) != 0) return false;
    std::size_t i = base.size();
    if (name[i] == '_') ++i;
    for (; i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

}  // namespace

bool laundered_as(const std::string &source_name, const std::string &target_name,
                  TargetFormat target) {
    if (target == TargetFormat::PostgreSQL) {
        const std::string laundered = pg_truncate_identifier(pg_laundered_name(source_name));
        return target_name == laundered || suffixed(laundered, target_name);
    }
    const std::string a = lower_alnum(source_name), b = lower_alnum(target_name);
    if (suffixed(a, b)) return true;
    if (b.empty()) return false;
    if (a == b || a.starts_with(b)) return true;
    // A File Geodatabase name may not start with a digit.
    if (target == TargetFormat::FileGDB && b == "_" + a) return true;
    // A cut name kept apart from another by a numbered suffix: "populati_1".
    const std::size_t underscore = b.find_last_of('_');
    if (underscore == std::string::npos || underscore + 1 == b.size()) return false;
    for (std::size_t i = underscore + 1; i < b.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(b[i]))) return false;
    return underscore > 0 && a.starts_with(b.substr(0, underscore));
}

}  // namespace voriviv::geofileops::verify
