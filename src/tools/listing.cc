#include "tools/listing.h"

#include <algorithm>
#include <fcntl.h>
#include <optional>

#include "store/database.h"
#include "tools/scan.h"
#include "value/value.h"

namespace quillet {

namespace {

// Subdirectories deeper than this are not looked into (a link loop ends here).
constexpr int kMaxDepth = 32;

constexpr std::string_view kSideMark = ".damaged-";

// The collection a log file under the directory belongs to: its path
// relative to the directory without the extension, when that is a name a
// database can open.
std::optional<std::string> collection_of(std::string_view relative, std::string_view extension) {
  if (!relative.ends_with(extension)) return std::nullopt;
  std::string_view stem = relative.substr(0, relative.size() - extension.size());
  if (!is_valid_utf8(stem) || !check_collection_name(stem)) return std::nullopt;
  return std::string(stem);
}

bool is_side_file(std::string_view name) {
  const std::size_t mark = name.rfind(kSideMark);
  if (mark == std::string_view::npos) return false;
  const std::string_view log = name.substr(0, mark);
  return log.ends_with(".qdb") || log.ends_with(".qbl");
}

Step list_into(const std::string& dir, const std::string& prefix, int depth, Listing& listing, bool& opened) {
  std::vector<std::string> subdirectories;
  auto listed = list_directory(prefix.empty() ? dir : join_path(dir, prefix), [&](std::string_view name) {
    opened = true;
    if (name == "." || name == "..") return true;
    const std::string relative = prefix.empty() ? std::string(name) : prefix + "/" + std::string(name);
    if (is_directory(join_path(dir, relative))) {
      if (depth < kMaxDepth) subdirectories.push_back(relative);
    } else if (auto stem = collection_of(relative, ".qdb")) {
      listing.collections.push_back(std::move(*stem));
    } else if (auto target = collection_of(relative, ".qbl")) {
      listing.backlink_targets.push_back(std::move(*target));
    } else if (is_side_file(name)) {
      listing.side_files.push_back(relative);
    } else if (name.ends_with(".qdb") || name.ends_with(".qbl")) {
      listing.strays.push_back(relative);
    }
    return true;
  });
  if (!listed) return std::unexpected(listed.error());
  for (const std::string& sub : subdirectories) {
    if (auto done = list_into(dir, sub, depth + 1, listing, opened); !done) return done;
  }
  return {};
}

}  // namespace

std::expected<Listing, Error> list_database(const std::string& dir) {
  Listing listing;
  bool opened = false;  // an entry was seen, so a failure came while reading
  auto listed = list_into(dir, "", 0, listing, opened);
  if (!listed && !opened) return std::unexpected(listed.error().in_context("cannot open the database " + dir));
  if (!listed) return std::unexpected(listed.error().in_context("cannot list " + dir));
  std::ranges::sort(listing.collections);
  std::ranges::sort(listing.backlink_targets);
  std::ranges::sort(listing.side_files);
  return listing;
}

std::string side_file(std::string_view log, std::uint64_t offset) {
  return std::string(log) + std::string(kSideMark) + std::to_string(offset);
}

std::expected<DatabaseFiles, Error> open_collections(const std::string& dir) {
  auto listing = list_database(dir);
  if (!listing) return std::unexpected(listing.error());
  auto data = open_all_scanned(dir, listing->collections, data_file);
  if (!data) return std::unexpected(data.error());
  return DatabaseFiles{std::move(*listing), std::move(*data)};
}

std::string data_file(std::string_view name) { return std::string(name) + ".qdb"; }
std::string link_file(std::string_view name) { return std::string(name) + ".qbl"; }

std::expected<OpenFile, Error> open_scanned(const std::string& dir, std::string name) {
  OpenFile file{std::move(name), {}, {}, 0};
  file.path = join_path(dir, file.name);
  auto fd = open_for_scan(file.path);
  if (!fd) return std::unexpected(fd.error().in_context(file.name));
  auto size = file_size(fd->get());
  if (!size) return std::unexpected(size.error().in_context(file.name));
  file.fd = std::move(*fd);
  file.size = *size;
  return file;
}

std::expected<std::vector<OpenFile>, Error> open_all_scanned(const std::string& dir,
                                                                 const std::vector<std::string>& stems,
                                                                 std::string (*file_name)(std::string_view)) {
  std::vector<OpenFile> files;
  files.reserve(stems.size());
  for (const std::string& stem : stems) {
    auto file = open_scanned(dir, file_name(stem));
    if (!file) return std::unexpected(file.error());
    files.push_back(std::move(*file));
  }
  return files;
}

std::uint64_t total_size(const std::vector<OpenFile>& files) {
  std::uint64_t total = 0;
  for (const OpenFile& f : files) total += f.size;
  return total;
}

std::expected<OpenFile, Error> open_locked(const std::string& dir, std::string name) {
  OpenFile file{std::move(name), {}, {}, 0};
  file.path = join_path(dir, file.name);
  auto fd = open_file(file.path, O_RDWR | O_NONBLOCK);
  if (!fd) return std::unexpected(fd.error().in_context(file.name));
  if (auto regular = require_regular_file(fd->get()); !regular) {
    return std::unexpected(regular.error().in_context(file.name));
  }
  if (!try_lock_exclusive(fd->get())) {
    return std::unexpected(Error::io(file.name + " is in use by another open database; close it and run repair again"));
  }
  auto size = file_size(fd->get());
  if (!size) return std::unexpected(size.error().in_context(file.name));
  file.fd = std::move(*fd);
  file.size = *size;
  return file;
}

}  // namespace quillet
