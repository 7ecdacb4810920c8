// Collection's saved key index: the table written beside the log at close
// (format/key_index.h) and loaded at the next open, so that only the records
// appended since are read.
#include <optional>

#include "format/key_index.h"
#include "store/collection.h"

namespace quillet {

namespace {

// Smaller tables are read from the log about as fast as from an index.
constexpr std::size_t kMinSavedKeys = 10000;
// The index is written again once the records read after it exceed this
// share of the keys: until then its tail costs an open less than loading it.
constexpr std::size_t kStaleShare = 16;

std::string index_path(const std::string& log_path) { return log_path + std::string(key_index::kSuffix); }

// The sum of the log's bytes just before `covered`, or nullopt when they
// cannot be read.
std::optional<std::uint64_t> tail_check_of(int fd, std::uint64_t covered) {
  std::string tail(static_cast<std::size_t>(key_index::tail_length(covered)), '\0');
  if (!pread_exact(fd, tail.data(), tail.size(), covered - tail.size())) return std::nullopt;
  return key_index::tail_check(tail);
}

}  // namespace

std::uint64_t Collection::load_saved_index(std::uint64_t end) {
  auto loaded = key_index::read(index_path(path_));
  if (!loaded) return 0;
  const key_index::Coverage& c = loaded->coverage();
  auto file = file_identity(reader_.get());
  if (!file || file->device != c.device || file->inode != c.inode || c.covered > end || c.covered > file->size) {
    return 0;
  }
  if (tail_check_of(reader_.get(), c.covered) != c.tail_check) return 0;
  index_.reserve(static_cast<std::size_t>(loaded->count()), static_cast<std::size_t>(loaded->key_bytes()));
  loaded->for_each([&](std::string_view key, std::uint64_t offset) { index_.insert(key, KeyTable::hash(key), offset); });
  records_seen_ = c.records_seen;
  saved_records_ = records_seen_;
  return c.covered;
}

void Collection::save_index() {
  // Only a view that is the log's own records below complete_end(): no
  // torn tail waiting, nothing buffered or held by a transaction, and the
  // file still the one that was read.
  if (mode_ != OpenMode::ReadWrite || !log_.valid() || !log_.writable() || log_.replaced()) return;
  if (!buffer_.empty() || has_tx() || index_.size() < kMinSavedKeys) return;
  if (saved_records_ && records_seen_ - *saved_records_ <= index_.size() / kStaleShare) return;
  auto file = file_identity(reader_.get());
  if (!file) return;
  // A log without a lock file appends where the file ends and counts only
  // in end_offset_.
  const std::uint64_t covered = log_.shared() ? log_.complete_end() : end_offset_;
  auto tail = tail_check_of(reader_.get(), covered);
  if (!tail) return;
  auto writer = key_index::Writer::start(index_path(path_), index_.size(), index_.live_key_bytes());
  if (!writer || !*writer) return;
  bool failed = false;
  index_.for_each_entry([&](std::string_view key, std::uint64_t number) {
    if (!failed) failed = !(*writer)->add(key, offset_of(number));
  });
  if (failed) return;
  (void)(*writer)->finish({file->device, file->inode, covered, *tail, records_seen_});
}

}  // namespace quillet
