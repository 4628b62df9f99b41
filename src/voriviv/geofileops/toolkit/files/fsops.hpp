// File-system helpers of the converters: what kind of entry a path is,
// listing a location's files of one extension, creating an output directory,
// and removing the companion files of an earlier output.
//
// Paths are byte strings as the OS sees them (the text of a pathlib.Path, no
// trailing separator). Nothing here needs the GIL. Failures throw OsError
// (errno and file name), which the Python boundary raises as the matching
// OSError subclass.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace voriviv::geofileops::fs {

enum class Kind { Missing, Regular, Directory, Other };

// The kind of entry at `path`, symbolic links followed (a dangling link is
// Missing). ENOENT, ENOTDIR, ELOOP and EBADF count as Missing, as they do for
// pathlib's exists()/is_file()/is_dir(); other stat failures throw.
Kind kind_of(const std::string &path);

// Whether `path` is a directory (links followed) that holds no entry. Any
// failure to look (missing, unreadable) gives false.
bool is_empty_directory(const std::string &path);

// Whether `path` itself is a symbolic link (not followed).
bool is_link(const std::string &path);

// `dir` / `name`, without doubling a trailing separator of `dir`.
std::string join(const std::string &dir, std::string_view name);

// Names of the entries directly inside `dir` that end with `suffix` (compared
// byte for byte, so case-sensitively), of any kind, sorted in ascending byte
// order (for UTF-8 names: code point order). A missing `dir`, or one that is
// not a directory, gives no names; other listing failures throw.
std::vector<std::string> names_with_suffix(const std::string &dir, std::string_view suffix);

// Creates `path` and every missing parent; an existing directory is accepted,
// anything else in the way fails (FileExistsError, NotADirectoryError, ...).
void make_directories(const std::string &path);

// Whether `name` is `stem` followed by a dot and any further characters. The
// stem is compared literally: characters such as * ? [ have no meaning.
bool is_companion(std::string_view name, std::string_view stem);

// Removes the companions of `stem` inside `dir` in listing order: each entry
// whose name satisfies is_companion and that is a regular file (links
// followed) or a dangling link is unlinked; a link is removed itself, never
// its target;
// directories and other entries are left alone. Entries for which `spare`
// returns true are kept. A missing `dir` removes nothing. The first failing
// deletion throws; what was deleted before stays deleted.
void remove_companions(const std::string &dir, std::string_view stem,
                       const std::function<bool(std::string_view name)> &spare = nullptr);

}  // namespace voriviv::geofileops::fs
