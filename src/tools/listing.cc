#include "tools/listing.h"

#include <algorithm>
#include <fcntl.h>

#include "store/database.h"
#include "tools/scan.h"

namespace quillet {

std::expected<Listing, Error> list_database(const std::string& dir) {
  Listing listing;
  bool opened = false;  // an entry was seen, so a failure came while reading
  auto listed = list_directory(dir, [&](std::string_view name) {
    opened = true;
    if (auto stem = database_file_stem(name, "qdb")) listing.collections.emplace_back(*stem);
    if (auto stem = database_file_stem(name, "qbl")) listing.backlink_targets.emplace_back(*stem);
    return true;
  });
  if (!listed && !opened) return std::unexpected(listed.error().in_context("cannot open the database " + dir));
  if (!listed) return std::unexpected(listed.error().in_context("cannot list " + dir));
  std::ranges::sort(listing.collections);
  std::ranges::sort(listing.backlink_targets);
  return listing;
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
