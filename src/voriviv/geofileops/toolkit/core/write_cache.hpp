// Files written through a cache in memory.
//
// GDAL's Shapefile and MapInfo writers talk to their files in small pieces:
// each record of a .dbf or .dat costs a seek, a read-back of the file's tail,
// a write of the record and a write of the end-of-file mark, one system call
// each, and the MapInfo .map file is written 512 bytes at a time at offsets
// that jump back and forth. Half of such a translation's time went into the
// kernel.
//
// A path under `kWriteCachePrefix` names the same file as the path without
// it, but a file opened there for writing ("w", "w+", "r+") is seen through
// a cache of a few 64 KiB pages of memory: reads, writes and seeks that fall
// into a cached page cost no system call; a page goes to the file when the
// cache needs its room, when the file is flushed or closed, and before
// anyone opens or looks at that file by name again. The bytes that end up in
// the file are exactly those written, in the file's own order of offsets.
// Files opened only for reading, or for appending, and every other file
// operation (stat, directories, rename, unlink) go straight to the file
// system.
//
// A write that fails when its page reaches the file (a full disk) is raised
// as a GDAL failure (CE_Failure, CPLE_FileIO) on the thread that flushed it,
// so the ErrorScope of the translation or of the dataset's close sees it; the
// file's later writes then fail at once, as the writer expects of a file that
// failed.
//
// One writer per file: a cached file must not be written from two threads at
// once (each layer of a conversion writes files of its own).
#pragma once

#include <string>

namespace voriviv::geofileops {

inline constexpr const char *kWriteCachePrefix = "/vsivvcache";

// Puts the cache into GDAL's table of file systems, once per process. Call
// it while no other thread may (a module's import): each converter module
// carries its own copy of this code, and the first copy's entry serves all.
void install_write_cache();

// `path` (made absolute) under the cache's prefix.
std::string write_cached_path(const std::string &path);

// `text` with the cache's prefix taken out of every path in it (GDAL's
// messages name the files they were given).
std::string without_write_cache_prefix(std::string text);

}  // namespace voriviv::geofileops
