// The files of a database directory as the tools see them, and opening them.
//
// Which files a tool looks at: every <name>.qdb and <name>.qbl under the
// directory, those of the collection with the empty name (.qdb) and of
// collections whose names hold "/" (in subdirectories) included, and the
// .qbl file of every collection that a live record links to.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "io/file.h"
#include "tools/common.h"

namespace quillet {

struct Listing {
  std::vector<std::string> collections;       // stems of <name>.qdb, sorted
  std::vector<std::string> backlink_targets;  // stems of <name>.qbl, sorted
  std::vector<std::string> side_files;        // what repair removed: <log>.damaged-<offset>, sorted
  // Files named like a log whose names no database can open (not UTF-8, say).
  std::vector<std::string> strays;
};

// The side file repair writes the bytes it removes from `log` at `offset` to.
std::string side_file(std::string_view log, std::uint64_t offset);

// Lists `dir`; fails with "cannot open the database <dir>: ..." when it
// cannot be opened.
std::expected<Listing, Error> list_database(const std::string& dir);

std::string data_file(std::string_view name);  // <name>.qdb
std::string link_file(std::string_view name);  // <name>.qbl

// A file opened and locked for a tool, with its size at that moment.
struct OpenFile {
  std::string name;  // relative to the database directory
  std::string path;
  Fd fd;
  std::uint64_t size = 0;
};

// Opens an existing file of `dir` for reading, with the shared lock (see
// open_for_scan).
std::expected<OpenFile, Error> open_scanned(const std::string& dir, std::string name);

// Opens `file_name(stem)` in `dir` for every stem, in order.
std::expected<std::vector<OpenFile>, Error> open_all_scanned(const std::string& dir,
                                                                 const std::vector<std::string>& stems,
                                                                 std::string (*file_name)(std::string_view));

// Opens an existing file of the database for writing and takes its lock
// exclusively, which no other open database can hold at the same time; fails
// with "<name> is in use by another open database; ..." when another holds it.
std::expected<OpenFile, Error> open_locked(const std::string& dir, std::string name);

// A database directory listed, with every collection file open for a scan.
struct DatabaseFiles {
  Listing listing;
  std::vector<OpenFile> data;  // one per listing.collections, in its order
};

// list_database, then open_scanned of every collection's file; fails as they do.
std::expected<DatabaseFiles, Error> open_collections(const std::string& dir);

std::uint64_t total_size(const std::vector<OpenFile>& files);

}  // namespace quillet
