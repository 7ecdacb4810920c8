#include "tools/synced_writer.h"

#include <fcntl.h>
#include <utility>

#include "tools/common.h"

namespace quillet {

std::expected<SyncedWriter, Error> SyncedWriter::create(const std::string& path) {
  auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!fd) return std::unexpected(fd.error());
  SyncedWriter writer;
  writer.fd_ = std::move(*fd);
  return writer;
}

std::expected<void, Error> SyncedWriter::append(std::string_view bytes) {
  buffer_.append(bytes);
  written_ += bytes.size();
  if (buffer_.size() >= kToolBlock) return flush();
  return {};
}

std::expected<void, Error> SyncedWriter::finish() {
  if (auto flushed = flush(); !flushed) return flushed;
  if (auto synced = sync_file(fd_.get()); !synced) return synced;
  fd_.reset();
  return {};
}

std::expected<void, Error> SyncedWriter::flush() {
  if (buffer_.empty()) return {};
  auto done = write_all(fd_.get(), buffer_, kWriteWholeBuffer);
  buffer_.clear();
  return done;
}

std::expected<void, Error> write_whole_file(const std::string& path, std::string_view bytes) {
  auto writer = SyncedWriter::create(path);
  if (!writer) return std::unexpected(writer.error());
  if (auto appended = writer->append(bytes); !appended) return appended;
  return writer->finish();
}

}  // namespace quillet
