#include "tools/tools.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "store/backlinks.h"
#include "format/codec.h"
#include "store/resolver.h"
#include "store/collection.h"

namespace quillet {

namespace {

constexpr std::uint8_t kTombstoneByte = 0x0C;
constexpr std::uint8_t kAddOp = 1;
constexpr std::uint8_t kRemoveOp = 2;
// Files are read, and written, in blocks this large: one system call per
// block rather than several per record.
constexpr std::size_t kBlock = std::size_t{4} << 20;
constexpr std::uint64_t kReportEvery = std::uint64_t{4} << 20;

ToolError failure(std::string message) { return ToolError{std::move(message)}; }
ToolError io_failure(std::string_view what, const IoError& e) { return failure(std::string(what) + ": " + e.text()); }
ToolError interrupted() { return failure("interrupted"); }

std::string at_offset(std::uint64_t offset) { return "offset " + std::to_string(offset); }

// ---------------------------------------------------------------------------
// Reading

// The bytes of one file between offset 0 and `end`, read on demand in
// blocks, keeping what the current record still needs.
class Window {
 public:
  Window(int fd, std::uint64_t end) : fd_(fd), end_(end) {}

  // Makes [offset, offset + size) available; false when `end` comes first
  // (or the file turned out shorter). REQUIRES: offset <= end, and offsets
  // only grow from call to call.
  std::expected<bool, IoError> cover(std::uint64_t offset, std::uint64_t size) {
    if (size > end_ - offset) return false;
    if (offset >= start_ && offset + size <= start_ + buf_.size()) return true;
    if (offset >= start_ && offset < start_ + buf_.size()) {
      buf_.erase(0, static_cast<std::size_t>(offset - start_));
    } else {
      buf_.clear();
    }
    start_ = offset;
    // The size was checked against `end`, which lies within the file, so
    // no length read from the file can ask for more than the file holds.
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(size, kBlock), end_ - offset));
    const std::size_t kept = buf_.size();
    buf_.resize(want);
    auto got = pread_some(fd_, buf_.data() + kept, want - kept, start_ + kept);
    if (!got) return std::unexpected(got.error());
    buf_.resize(kept + *got);
    return buf_.size() >= size;
  }

  const char* at(std::uint64_t offset) const { return buf_.data() + (offset - start_); }

 private:
  int fd_;
  std::uint64_t end_;
  std::string buf_;
  std::uint64_t start_ = 0;
};

// Reports the bytes a scan has passed through to the meter in large steps.
class ScanProgress {
 public:
  explicit ScanProgress(ProgressMeter* meter) : meter_(meter) {}
  Step at(std::uint64_t pos) {
    if (meter_ == nullptr || pos - reported_ < kReportEvery) return {};
    return done_to(pos);
  }
  Step done_to(std::uint64_t pos) {
    if (meter_ == nullptr) return {};
    const std::uint64_t step = pos - reported_;
    reported_ = pos;
    return meter_->advance(step);
  }

 private:
  ProgressMeter* meter_;
  std::uint64_t reported_ = 0;
};

// ---------------------------------------------------------------------------
// The directory

struct Listing {
  std::vector<std::string> collections;       // stems of <name>.qdb, sorted
  std::vector<std::string> backlink_targets;  // stems of <name>.qbl, sorted
};

std::expected<Listing, ToolError> list_database(const std::string& dir) {
  struct Closer {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, Closer> handle(::opendir(dir.c_str()));
  if (!handle) return std::unexpected(failure("cannot open the database " + dir + ": " + IoError::from_errno(errno).text()));
  Listing listing;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(handle.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(io_failure("cannot list " + dir, IoError::from_errno(errno)));
      break;
    }
    if (auto stem = database_file_stem(entry->d_name, "qdb")) listing.collections.emplace_back(*stem);
    if (auto stem = database_file_stem(entry->d_name, "qbl")) listing.backlink_targets.emplace_back(*stem);
  }
  std::ranges::sort(listing.collections);
  std::ranges::sort(listing.backlink_targets);
  return listing;
}

std::string data_file(std::string_view name) { return std::string(name) + ".qdb"; }
std::string link_file(std::string_view name) { return std::string(name) + ".qbl"; }

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// A file opened and locked for a tool, with its size at that moment.
struct OpenFile {
  std::string name;   // relative to the database directory
  std::string path;
  Fd fd;
  std::uint64_t size = 0;
};

std::expected<OpenFile, ToolError> open_scanned(const std::string& dir, std::string name) {
  OpenFile file{std::move(name), {}, {}, 0};
  file.path = join_path(dir, file.name);
  auto fd = open_for_scan(file.path);
  if (!fd) return std::unexpected(io_failure(file.name, fd.error()));
  auto size = file_size(fd->get());
  if (!size) return std::unexpected(io_failure(file.name, size.error()));
  file.fd = std::move(*fd);
  file.size = *size;
  return file;
}

// Opens `file_name(stem)` in `dir` for every stem, in order.
std::expected<std::vector<OpenFile>, ToolError> open_all_scanned(const std::string& dir,
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

// ---------------------------------------------------------------------------
// Problems

class ProblemList {
 public:
  void add(std::string_view file, std::optional<std::uint64_t> offset, std::string message) {
    ++count_;
    if (problems_.size() < kMaxProblems) {
      problems_.push_back(Problem{std::string(file), offset, std::move(message)});
    } else {
      ++omitted_;
    }
  }
  std::uint64_t count() const { return count_; }
  void move_into(CheckReport& report) {
    report.problems = std::move(problems_);
    report.problems_omitted = omitted_;
  }

 private:
  std::vector<Problem> problems_;
  std::uint64_t omitted_ = 0;
  std::uint64_t count_ = 0;
};

std::string tail_message(const ScanEnd& end) {
  return "the file ends inside a record: the last " + std::to_string(end.tail_bytes()) +
         " bytes are an incomplete record";
}

// Accepts every part of a value: walking with it checks exactly what
// decoding checks, without building the value.
class AcceptAll : public ValueVisitor {
 public:
  bool null() override { return true; }
  bool tombstone() override { return true; }
  bool boolean(bool) override { return true; }
  bool integer(std::int64_t) override { return true; }
  bool floating(double) override { return true; }
  bool text(std::string_view) override { return true; }
  bool blob(std::string_view) override { return true; }
  bool date(std::uint32_t) override { return true; }
  bool time(std::uint32_t) override { return true; }
  bool datetime(std::uint64_t) override { return true; }
  bool begin_array(std::uint32_t) override { return true; }
  bool begin_map(std::uint32_t) override { return true; }
  bool begin_link(std::string_view, std::uint32_t) override { return true; }
  bool key(std::string_view) override { return true; }
  bool end() override { return true; }
};

// Why an encoded value is not what the store writes, or empty when it is.
std::string value_fault(std::string_view encoded) {
  std::size_t position = 0;
  AcceptAll accept;
  auto value = walk(encoded, position, accept);
  if (!value) return value.error().text();
  if (position != encoded.size()) {
    return std::to_string(encoded.size() - position) + " bytes follow the encoded value";
  }
  return {};
}

// ---------------------------------------------------------------------------
// Collection files

// The live keys of a collection file, each with the offset of its latest
// record, found by framing every record as the store does at open.
struct LiveRecords {
  KeyTable latest;
  ScanEnd end;
  std::uint64_t records = 0;
  std::uint64_t live_bytes = 0;  // filled in only by stat
};

enum class Inspect : std::uint8_t {
  KeysOnly,  // report keys that are not UTF-8
  Values,    // and every value that does not decode to exactly its bytes
};

// A key that is not UTF-8 can never be live: the store refuses the whole
// file. Such records are reported and left out of the index.
std::expected<LiveRecords, ToolError> index_live_records(const OpenFile& file, Inspect inspect, ProblemList& problems,
                                                         ProgressMeter* meter) {
  LiveRecords live;
  ScanProgress progress(meter);
  auto scanned = scan_data_records(
      file.fd.get(), file.size, file.name,
      [&](const DataRecord& r) -> Step {
        ++live.records;
        if (!is_valid_utf8(r.key)) {
          problems.add(file.name, r.offset, "the key is not valid UTF-8");
          return progress.at(r.offset);
        }
        if (inspect == Inspect::Values) {
          if (std::string fault = value_fault(r.value); !fault.empty()) {
            problems.add(file.name, r.offset, "the value of key " + quote_text(r.key) + " is damaged: " + fault);
          }
        }
        const std::uint64_t hash = KeyTable::hash(r.key);
        if (!r.value.empty() && static_cast<std::uint8_t>(r.value[0]) == kTombstoneByte) {
          live.latest.erase(r.key, hash);
        } else if (auto [offset, added] = live.latest.insert(r.key, hash, r.offset); !added) {
          *offset = r.offset;
        }
        return progress.at(r.offset);
      },
      nullptr);
  if (!scanned) return std::unexpected(scanned.error());
  live.end = *scanned;
  if (auto done = progress.done_to(file.size); !done) return std::unexpected(done.error());
  return live;
}

// Calls `on_live` with the latest record of each live key, in file order.
Step for_each_live_record(const OpenFile& file, LiveRecords& live, const DataRecordFn& on_live, ProgressMeter* meter) {
  std::vector<std::uint64_t> offsets;
  offsets.reserve(live.latest.size());
  live.latest.for_each_number([&](std::uint64_t& offset) { offsets.push_back(offset); });
  std::ranges::sort(offsets);
  std::size_t next = 0;
  ScanProgress progress(meter);
  auto scanned = scan_data_records(
      file.fd.get(), live.end.complete_end, file.name,
      [&](const DataRecord& r) -> Step {
        if (next < offsets.size() && offsets[next] == r.offset) {
          ++next;
          if (auto done = on_live(r); !done) return done;
        }
        return progress.at(r.offset);
      },
      nullptr);
  if (!scanned) return std::unexpected(scanned.error());
  return progress.done_to(file.size);
}

// ---------------------------------------------------------------------------
// Backlinks

// Entries as the backlink file holds them after the operation byte: target
// key, source collection, source key and source path, each length-prefixed.
// One text per entry makes comparing and rewriting logs cheap, and as the
// texts delimit themselves a list of them is one string.
class EntryList {
 public:
  void add(std::string_view target_key, std::string_view collection, std::string_view key, std::string_view path) {
    for (std::string_view field : {target_key, collection, key, path}) {
      put_u32(bytes_, static_cast<std::uint32_t>(field.size()));
      bytes_.append(field);
    }
    ++count_;
  }
  // Calls f(body) for each entry in the order added, duplicates included.
  template <class F>
  void for_each(F&& f) const {
    std::size_t at = 0;
    while (at < bytes_.size()) {
      std::size_t end = at;
      for (int field = 0; field < 4; ++field) end += 4 + get_u32(bytes_.data() + end);
      f(std::string_view(bytes_).substr(at, end - at));
      at = end;
    }
  }
  std::size_t size() const { return count_; }

 private:
  std::string bytes_;
  std::size_t count_ = 0;
};

std::string describe_entry(std::string_view body) {
  std::string_view fields[4];
  for (std::string_view& field : fields) {
    const std::uint32_t size = get_u32(body.data());
    field = body.substr(4, size);
    body.remove_prefix(4 + size);
  }
  return "key " + quote_text(fields[0]) + ": the link from " + quote_text(fields[1]) + " " + quote_text(fields[2]) +
         " at " + quote_text(fields[3]);
}

// Target collection -> the entries the live records call for, in the order
// their records lie in the files.
using ExpectedLinks = std::map<std::string, EntryList, std::less<>>;

class LinkCollector {
 public:
  explicit LinkCollector(ExpectedLinks& expected) : expected_(expected) {}
  void add(std::string_view collection, std::string_view key, const Value& value) {
    links_.clear();
    collect_links(value, {}, links_);
    for (const LinkRef& l : links_) {
      auto it = expected_.find(l.target_collection);
      if (it == expected_.end()) it = expected_.emplace(l.target_collection, EntryList{}).first;
      it->second.add(l.target_key, collection, key, l.source_path);
    }
  }

 private:
  ExpectedLinks& expected_;
  std::vector<LinkRef> links_;
};

bool contains(const KeyTable& table, std::string_view text) {
  return table.find(text, KeyTable::hash(text)) != nullptr;
}

// The state a replay of a backlink file leaves: each listed entry with the
// position of the add that listed it (a remove drops every equal entry; an
// entry added again afterwards takes a new position).
struct Replay {
  KeyTable listed;                    // entry body -> its position
  std::vector<std::uint32_t> counts;  // by position: times listed, 0 once removed
  std::uint64_t records = 0;
  ScanEnd end;

  void add(std::string_view body) {
    auto [position, added] = listed.insert(body, KeyTable::hash(body), counts.size());
    if (added) {
      counts.push_back(1);
    } else {
      ++counts[*position];
    }
  }
  void remove(std::string_view body) {
    if (auto position = listed.erase(body, KeyTable::hash(body))) counts[*position] = 0;
  }
  std::uint64_t listed_entries() const {
    std::uint64_t n = 0;
    for (std::uint32_t count : counts) n += count;
    return n;
  }
  // The listed entries in the order they were added; the views are valid
  // while the replay is not changed.
  std::vector<std::pair<std::uint64_t, std::string_view>> in_order() const {
    std::vector<std::pair<std::uint64_t, std::string_view>> entries;
    entries.reserve(listed.size());
    listed.for_each_entry([&](std::string_view body, std::uint64_t position) { entries.emplace_back(position, body); });
    std::ranges::sort(entries);
    return entries;
  }
};

// Replays a backlink file as the store does, except that a damaged record is
// reported (when `problems` is given) and skipped rather than ending the
// replay, so that everything else can still be compared.
std::expected<Replay, ToolError> replay_log(const OpenFile& file, ProblemList* problems, ProgressMeter* meter) {
  Replay replay;
  ScanProgress progress(meter);
  auto scanned = scan_link_records(
      file.fd.get(), file.size, file.name,
      [&](const LinkRecord& r) -> Step {
        ++replay.records;
        const bool utf8 = is_valid_utf8(r.target_key) && is_valid_utf8(r.source_collection) &&
                          is_valid_utf8(r.source_key) && is_valid_utf8(r.source_path);
        if (!utf8) {
          if (problems) problems->add(file.name, r.offset, "invalid utf8 in backlink");
        } else if (r.op == kAddOp) {
          replay.add(r.body);
        } else if (r.op == kRemoveOp) {
          replay.remove(r.body);
        } else if (problems) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "0x%02X", r.op);
          problems->add(file.name, r.offset, std::string("unknown operation byte ") + hex);
        }
        return progress.at(r.offset);
      },
      nullptr);
  if (!scanned) return std::unexpected(scanned.error());
  replay.end = *scanned;
  if (auto done = progress.done_to(file.size); !done) return std::unexpected(done.error());
  return replay;
}

// Reports every entry called for but not listed, then every entry listed but
// called for by no record; returns how many distinct entries are called for.
std::uint64_t compare_backlinks(std::string_view file, const Replay& replay, const EntryList& expected,
                                ProblemList& problems) {
  KeyTable wanted;
  expected.for_each([&](std::string_view body) {
    if (wanted.insert(body, KeyTable::hash(body), 0).second && !contains(replay.listed, body)) {
      problems.add(file, std::nullopt, describe_entry(body) + " is not listed");
    }
  });
  for (const auto& [position, body] : replay.in_order()) {
    if (!contains(wanted, body)) problems.add(file, std::nullopt, describe_entry(body) + " is listed, but no record holds it");
  }
  return wanted.size();
}

// A backlink file listing exactly the distinct `expected` entries: those the
// old replay listed first, in its order, then the others in record order.
struct RebuiltLog {
  std::string bytes;
  std::uint64_t entries = 0;
  std::uint64_t added = 0;
  std::uint64_t dropped = 0;
};

RebuiltLog rebuild_log(const Replay* old, const EntryList& expected) {
  RebuiltLog log;
  KeyTable wanted;
  expected.for_each([&](std::string_view body) { wanted.insert(body, KeyTable::hash(body), 0); });
  KeyTable written;
  auto write = [&](std::string_view body) {
    log.bytes.push_back(static_cast<char>(kAddOp));
    log.bytes.append(body);
    ++log.entries;
  };
  if (old) {
    for (const auto& [position, body] : old->in_order()) {
      if (!contains(wanted, body)) {
        ++log.dropped;
        continue;
      }
      written.insert(body, KeyTable::hash(body), 0);
      write(body);
    }
  }
  expected.for_each([&](std::string_view body) {
    if (!written.insert(body, KeyTable::hash(body), 0).second) return;
    write(body);
    ++log.added;
  });
  return log;
}

// Targets that can have a backlink file: the listed logs and every valid
// collection name the records link to (others can never be indexed, and
// check reports them).
std::vector<std::string> backlink_targets(const Listing& listing, const ExpectedLinks& expected) {
  std::vector<std::string> targets = listing.backlink_targets;
  for (const auto& [target, entries] : expected) {
    if (check_collection_name(target)) targets.push_back(target);
  }
  std::ranges::sort(targets);
  targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
  return targets;
}

const EntryList& expected_for(const ExpectedLinks& expected, std::string_view target) {
  static const EntryList kNone;
  auto it = expected.find(target);
  return it == expected.end() ? kNone : it->second;
}

// ---------------------------------------------------------------------------
// Writing

std::expected<void, IoError> sync_fd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
  }
  return {};
}

std::expected<void, IoError> sync_directory(const std::string& path) {
  auto fd = open_file(path, O_RDONLY | O_DIRECTORY);
  if (!fd) return std::unexpected(fd.error());
  return sync_fd(fd->get());
}

// A new file written through a large buffer and synced when finished, so
// that a copy that reports success is on stable storage.
class FileWriter {
 public:
  static std::expected<FileWriter, IoError> create(const std::string& path) {
    auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (!fd) return std::unexpected(fd.error());
    FileWriter writer;
    writer.fd_ = std::move(*fd);
    return writer;
  }
  std::expected<void, IoError> append(std::string_view bytes) {
    buffer_.append(bytes);
    written_ += bytes.size();
    if (buffer_.size() >= kBlock) return flush();
    return {};
  }
  std::expected<void, IoError> finish() {
    if (auto flushed = flush(); !flushed) return flushed;
    if (auto synced = sync_fd(fd_.get()); !synced) return synced;
    fd_.reset();
    return {};
  }
  std::uint64_t written() const { return written_; }

 private:
  std::expected<void, IoError> flush() {
    if (buffer_.empty()) return {};
    auto done = write_all(fd_.get(), buffer_, kWriteWholeBuffer);
    buffer_.clear();
    return done;
  }
  Fd fd_;
  std::string buffer_;
  std::uint64_t written_ = 0;
};

std::expected<void, IoError> write_whole_file(const std::string& path, std::string_view bytes) {
  auto writer = FileWriter::create(path);
  if (!writer) return std::unexpected(writer.error());
  if (auto appended = writer->append(bytes); !appended) return appended;
  return writer->finish();
}

std::expected<void, IoError> truncate_fd(int fd, std::uint64_t size) {
  while (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
  }
  return {};
}

// ---------------------------------------------------------------------------
// JSON

void append_base64(std::string_view bytes, std::string& out) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::size_t i = 0;
  auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k])); };
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    for (int shift : {18, 12, 6, 0}) out.push_back(kAlphabet[(n >> shift) & 63]);
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    const std::uint32_t n = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back('=');
  }
}

void append_tagged_number(std::string_view tag, std::uint64_t n, std::string& out) {
  out += "{\"";
  out += tag;
  out += "\":";
  out += std::to_string(n);
  out += '}';
}

// A map whose keys could be read as one of the tags is wrapped, so that every
// object holding a "$" key is a tag.
bool needs_wrapping(const Map& map) {
  return std::ranges::any_of(map.entries(), [](const MapEntry& e) { return e.key.starts_with('$'); });
}

}  // namespace

// ---------------------------------------------------------------------------

ProgressMeter::ProgressMeter(const Progress& report, std::uint64_t total)
    : report_(report), total_(total), step_(std::clamp<std::uint64_t>(total / 256, 1, kReportEvery)) {}

Step ProgressMeter::advance(std::uint64_t bytes) {
  done_ += bytes;
  if (!report_ || done_ - reported_ < step_) return {};
  reported_ = done_;
  if (!report_(std::min(done_, total_), total_)) return std::unexpected(interrupted());
  return {};
}

Step ProgressMeter::finish() {
  if (!report_) return {};
  done_ = reported_ = total_;
  if (!report_(total_, total_)) return std::unexpected(interrupted());
  return {};
}

std::expected<Fd, IoError> open_for_scan(const std::string& path) {
  // O_NONBLOCK keeps a FIFO from blocking the open; a regular file ignores it.
  auto fd = open_file(path, O_RDONLY | O_NONBLOCK);
  if (!fd) return fd;
  if (auto regular = require_regular_file(fd->get()); !regular) return std::unexpected(regular.error());
  lock_shared(fd->get());
  return fd;
}

namespace {

// The loop both scanners share. `read_record(window, pos, cover)` hands the
// record at `pos` on and returns its size, or 0 when what is left is an
// incomplete tail; `cover(size)` makes [pos, pos + size) readable and says
// whether the file holds that much. Every length is checked against what is
// left before it is trusted, so a record that runs past the end is the tail.
template <typename ReadRecord>
std::expected<ScanEnd, ToolError> scan_records(int fd, std::uint64_t end, std::string_view label,
                                               ProgressMeter* meter, ReadRecord read_record) {
  Window window(fd, end);
  ScanProgress progress(meter);
  std::uint64_t pos = 0;
  auto cover = [&](std::uint64_t size) -> std::expected<bool, ToolError> {
    auto covered = window.cover(pos, size);
    if (!covered) return std::unexpected(io_failure(label, covered.error()));
    return *covered;
  };
  while (pos < end) {
    std::expected<std::uint64_t, ToolError> size = read_record(window, pos, cover);
    if (!size) return std::unexpected(size.error());
    if (*size == 0) break;
    pos += *size;
    if (auto reported = progress.at(pos); !reported) return std::unexpected(reported.error());
  }
  if (auto reported = progress.done_to(end); !reported) return std::unexpected(reported.error());
  return ScanEnd{pos, end};
}

// What a record reader returns when `cover` could not make its bytes
// readable: the error, or 0 (an incomplete tail) when the file ends first.
std::expected<std::uint64_t, ToolError> tail_or_error(const std::expected<bool, ToolError>& covered) {
  if (!covered) return std::unexpected(covered.error());
  return 0;
}

}  // namespace

std::expected<ScanEnd, ToolError> scan_data_records(int fd, std::uint64_t end, std::string_view label,
                                                    const DataRecordFn& on_record, ProgressMeter* meter) {
  return scan_records(
      fd, end, label, meter,
      [&](const Window& window, std::uint64_t pos, auto& cover) -> std::expected<std::uint64_t, ToolError> {
        if (end - pos < 8) return 0;
        auto covered = cover(4);
        if (!covered || !*covered) return tail_or_error(covered);
        const std::uint64_t key_len = get_u32(window.at(pos));
        if (end - pos - 8 < key_len) return 0;
        covered = cover(8 + key_len);
        if (!covered || !*covered) return tail_or_error(covered);
        const std::uint64_t value_len = get_u32(window.at(pos + 4 + key_len));
        if (end - pos - 8 - key_len < value_len) return 0;
        const std::uint64_t size = 8 + key_len + value_len;
        covered = cover(size);
        if (!covered || !*covered) return tail_or_error(covered);
        const char* p = window.at(pos);
        const DataRecord record{pos, {p + 4, static_cast<std::size_t>(key_len)},
                                {p + 8 + key_len, static_cast<std::size_t>(value_len)},
                                {p, static_cast<std::size_t>(size)}};
        if (auto done = on_record(record); !done) return std::unexpected(done.error());
        return size;
      });
}

std::expected<ScanEnd, ToolError> scan_link_records(int fd, std::uint64_t end, std::string_view label,
                                                    const LinkRecordFn& on_record, ProgressMeter* meter) {
  return scan_records(
      fd, end, label, meter,
      [&](const Window& window, std::uint64_t pos, auto& cover) -> std::expected<std::uint64_t, ToolError> {
        // An operation byte, then four length-prefixed strings.
        std::uint64_t size = 1;
        std::uint64_t starts[4];
        std::uint64_t lengths[4];
        for (int i = 0; i < 4; ++i) {
          auto covered = cover(size + 4);
          if (!covered || !*covered) return tail_or_error(covered);
          lengths[i] = get_u32(window.at(pos + size));
          starts[i] = size + 4;
          size += 4 + lengths[i];
        }
        auto covered = cover(size);
        if (!covered || !*covered) return tail_or_error(covered);
        const std::string_view bytes(window.at(pos), static_cast<std::size_t>(size));
        auto field = [&](int i) { return bytes.substr(starts[i], lengths[i]); };
        const LinkRecord record{pos,      static_cast<std::uint8_t>(bytes[0]), field(0), field(1), field(2), field(3),
                                bytes.substr(1), bytes};
        if (auto done = on_record(record); !done) return std::unexpected(done.error());
        return size;
      });
}

// ---------------------------------------------------------------------------
// stat

double CollectionStat::dead_share() const {
  if (file_bytes == 0) return 0;
  return static_cast<double>(file_bytes - live_bytes) / static_cast<double>(file_bytes);
}

std::expected<DatabaseStat, ToolError> stat_database(const std::string& dir, const Progress& progress) {
  auto listing = list_database(dir);
  if (!listing) return std::unexpected(listing.error());
  auto opened_data = open_all_scanned(dir, listing->collections, data_file);
  if (!opened_data) return std::unexpected(opened_data.error());
  auto opened_logs = open_all_scanned(dir, listing->backlink_targets, link_file);
  if (!opened_logs) return std::unexpected(opened_logs.error());
  std::vector<OpenFile>& data = *opened_data;
  std::vector<OpenFile>& logs = *opened_logs;
  ProgressMeter meter(progress, total_size(data) + total_size(logs));

  DatabaseStat stat;
  for (std::size_t i = 0; i < data.size(); ++i) {
    // The table keeps the size of each live key's latest record.
    KeyTable latest;
    CollectionStat s{listing->collections[i], 0, 0, data[i].size, 0, 0};
    auto scanned = scan_data_records(
        data[i].fd.get(), data[i].size, data[i].name,
        [&](const DataRecord& r) -> Step {
          ++s.records;
          const std::uint64_t hash = KeyTable::hash(r.key);
          if (!r.value.empty() && static_cast<std::uint8_t>(r.value[0]) == kTombstoneByte) {
            latest.erase(r.key, hash);
          } else if (auto [size, added] = latest.insert(r.key, hash, r.bytes.size()); !added) {
            *size = r.bytes.size();
          }
          return {};
        },
        &meter);
    if (!scanned) return std::unexpected(scanned.error());
    s.tail_bytes = scanned->tail_bytes();
    s.live_keys = latest.size();
    latest.for_each_number([&](std::uint64_t& size) { s.live_bytes += size; });
    stat.collections.push_back(std::move(s));
  }
  for (std::size_t i = 0; i < logs.size(); ++i) {
    auto replay = replay_log(logs[i], nullptr, &meter);
    if (!replay) return std::unexpected(replay.error());
    stat.backlink_files.push_back(BacklinkFileStat{listing->backlink_targets[i], replay->records,
                                                   replay->listed_entries(), logs[i].size,
                                                   replay->end.tail_bytes()});
  }
  if (auto done = meter.finish(); !done) return std::unexpected(done.error());
  return stat;
}

// ---------------------------------------------------------------------------
// check

std::expected<CheckReport, ToolError> check_database(const std::string& dir, const Progress& progress) {
  auto listing = list_database(dir);
  if (!listing) return std::unexpected(listing.error());
  auto opened = open_all_scanned(dir, listing->collections, data_file);
  if (!opened) return std::unexpected(opened.error());
  std::vector<OpenFile>& data = *opened;
  ExpectedLinks expected;
  CheckReport report;
  ProblemList problems;
  ProgressMeter meter(progress, 2 * total_size(data));

  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::string& name = listing->collections[i];
    auto live = index_live_records(data[i], Inspect::Values, problems, &meter);
    if (!live) return std::unexpected(live.error());
    if (live->end.tail_bytes() > 0) problems.add(data[i].name, live->end.complete_end, tail_message(live->end));
    report.records += live->records;
    report.live_keys += live->latest.size();
    LinkCollector links(expected);
    auto walked = for_each_live_record(
        data[i], *live,
        [&](const DataRecord& r) -> Step {
          std::size_t position = 0;
          // A value that does not decode was reported by the first pass.
          if (auto value = decode(r.value, position)) links.add(name, r.key, *value);
          return {};
        },
        &meter);
    if (!walked) return std::unexpected(walked.error());
  }
  for (const auto& [target, entries] : expected) {
    if (auto valid = check_collection_name(target); !valid) {
      problems.add(link_file(target), std::nullopt,
                   std::to_string(entries.size()) + " links name a collection that cannot have a backlink file: " +
                       valid.error().text());
    }
  }

  const std::vector<std::string> targets = backlink_targets(*listing, expected);
  for (const std::string& target : targets) {
    const EntryList& wanted = expected_for(expected, target);
    const std::string name = link_file(target);
    if (!path_exists(join_path(dir, name))) {
      report.backlink_entries += compare_backlinks(name, Replay{}, wanted, problems);
      continue;
    }
    auto file = open_scanned(dir, name);
    if (!file) return std::unexpected(file.error());
    auto replay = replay_log(*file, &problems, nullptr);
    if (!replay) return std::unexpected(replay.error());
    if (replay->end.tail_bytes() > 0) problems.add(name, replay->end.complete_end, tail_message(replay->end));
    report.backlink_records += replay->records;
    report.backlink_entries += compare_backlinks(name, *replay, wanted, problems);
  }
  if (auto done = meter.finish(); !done) return std::unexpected(done.error());
  report.files = data.size() + targets.size();
  problems.move_into(report);
  return report;
}

// ---------------------------------------------------------------------------
// repair

namespace {

// Opens an existing file of the database for writing and takes its lock
// exclusively, which no other open database can hold at the same time.
std::expected<OpenFile, ToolError> open_locked(const std::string& dir, std::string name) {
  OpenFile file{std::move(name), {}, {}, 0};
  file.path = join_path(dir, file.name);
  auto fd = open_file(file.path, O_RDWR | O_NONBLOCK);
  if (!fd) return std::unexpected(io_failure(file.name, fd.error()));
  if (auto regular = require_regular_file(fd->get()); !regular) {
    return std::unexpected(io_failure(file.name, regular.error()));
  }
  if (!try_lock_exclusive(fd->get())) {
    return std::unexpected(failure(file.name + " is in use by another open database; close it and run repair again"));
  }
  auto size = file_size(fd->get());
  if (!size) return std::unexpected(io_failure(file.name, size.error()));
  file.fd = std::move(*fd);
  file.size = *size;
  return file;
}

}  // namespace

std::expected<RepairReport, ToolError> repair_database(const std::string& dir, const Notice& notice,
                                                       const Progress& progress) {
  auto listing = list_database(dir);
  if (!listing) return std::unexpected(listing.error());
  // Every lock is taken before anything changes, so a refusal leaves all as it was.
  std::vector<OpenFile> data;
  for (const std::string& name : listing->collections) {
    auto file = open_locked(dir, data_file(name));
    if (!file) return std::unexpected(file.error());
    data.push_back(std::move(*file));
  }
  std::map<std::string, OpenFile, std::less<>> logs;
  for (const std::string& target : listing->backlink_targets) {
    auto file = open_locked(dir, link_file(target));
    if (!file) return std::unexpected(file.error());
    logs.emplace(target, std::move(*file));
  }

  RepairReport report;
  ProblemList damage;
  ExpectedLinks expected;
  std::vector<ScanEnd> ends;
  ProgressMeter meter(progress, 2 * total_size(data));
  for (std::size_t i = 0; i < data.size(); ++i) {
    auto live = index_live_records(data[i], Inspect::Values, damage, &meter);
    if (!live) return std::unexpected(live.error());
    ends.push_back(live->end);
    LinkCollector links(expected);
    auto walked = for_each_live_record(
        data[i], *live,
        [&](const DataRecord& r) -> Step {
          std::size_t position = 0;
          if (auto value = decode(r.value, position)) links.add(listing->collections[i], r.key, *value);
          return {};
        },
        &meter);
    if (!walked) return std::unexpected(walked.error());
  }
  report.damaged_records = damage.count();

  const std::vector<std::string> targets = backlink_targets(*listing, expected);
  for (const std::string& target : targets) {
    if (logs.contains(target) || !path_exists(join_path(dir, link_file(target)))) continue;
    auto file = open_locked(dir, link_file(target));
    if (!file) return std::unexpected(file.error());
    logs.emplace(target, std::move(*file));
  }

  auto announce = [&](const std::string& text) -> Step {
    if (notice && !notice(text)) return std::unexpected(interrupted());
    return {};
  };
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (ends[i].tail_bytes() == 0) continue;
    if (auto told = announce(data[i].name + ": dropping the incomplete last record (" +
                             std::to_string(ends[i].tail_bytes()) + " bytes from " +
                             at_offset(ends[i].complete_end) + ")");
        !told) {
      return std::unexpected(told.error());
    }
    if (auto cut = truncate_fd(data[i].fd.get(), ends[i].complete_end); !cut) {
      return std::unexpected(io_failure(data[i].name, cut.error()));
    }
    ++report.tails_cut;
    report.tail_bytes_cut += ends[i].tail_bytes();
  }

  for (const std::string& target : targets) {
    const std::string name = link_file(target);
    const std::string path = join_path(dir, name);
    std::optional<Replay> old;
    if (auto it = logs.find(target); it != logs.end()) {
      auto replay = replay_log(it->second, nullptr, nullptr);
      if (!replay) return std::unexpected(replay.error());
      old = std::move(*replay);
    }
    const RebuiltLog log = rebuild_log(old ? &*old : nullptr, expected_for(expected, target));
    std::string text = name + ": rebuilding with " + std::to_string(log.entries) + " entries";
    if (old && old->end.tail_bytes() > 0) {
      text += ", dropping the incomplete last record (" + std::to_string(old->end.tail_bytes()) + " bytes from " +
              at_offset(old->end.complete_end) + ")";
    }
    if (log.added > 0) text += ", adding " + std::to_string(log.added) + " missing";
    if (log.dropped > 0) text += ", dropping " + std::to_string(log.dropped) + " that no record holds";
    if (auto told = announce(text); !told) return std::unexpected(told.error());
    // The new log is complete and synced before it takes the old one's place,
    // so a crash leaves one or the other, never a mixture.
    const std::string temporary = path + ".tmp";
    if (auto written = write_whole_file(temporary, log.bytes); !written) {
      ::unlink(temporary.c_str());
      return std::unexpected(io_failure(name, written.error()));
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
      const IoError error = IoError::from_errno(errno);
      ::unlink(temporary.c_str());
      return std::unexpected(io_failure(name, error));
    }
    ++report.backlink_files_rebuilt;
    report.backlink_entries_added += log.added;
    report.backlink_entries_dropped += log.dropped;
  }
  if (!targets.empty()) {
    if (auto synced = sync_directory(dir); !synced) return std::unexpected(io_failure(dir, synced.error()));
  }
  if (auto done = meter.finish(); !done) return std::unexpected(done.error());
  return report;
}

// ---------------------------------------------------------------------------
// compact

namespace {

// What compact made in the output directory, removed again unless the
// compaction completes.
class OutputDirectory {
 public:
  OutputDirectory() = default;
  OutputDirectory(const OutputDirectory&) = delete;
  OutputDirectory& operator=(const OutputDirectory&) = delete;
  ~OutputDirectory() {
    if (kept_) return;
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) ::unlink(it->c_str());
    for (auto it = directories_.rbegin(); it != directories_.rend(); ++it) ::rmdir(it->c_str());
  }

  // Accepts a missing directory (made here) or an empty one.
  Step prepare(const std::string& path) {
    path_ = path;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return std::unexpected(failure(path + " exists and is not a directory"));
      DIR* d = ::opendir(path.c_str());
      if (d == nullptr) return std::unexpected(io_failure(path, IoError::from_errno(errno)));
      bool empty = true;
      while (const dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name != "." && name != "..") empty = false;
      }
      ::closedir(d);
      if (!empty) return std::unexpected(failure(path + " is not empty; compact writes into a new or empty directory"));
      return {};
    }
    if (errno != ENOENT) return std::unexpected(io_failure(path, IoError::from_errno(errno)));
    if (::mkdir(path.c_str(), 0777) != 0) {
      return std::unexpected(io_failure("cannot create " + path, IoError::from_errno(errno)));
    }
    directories_.push_back(path);
    return {};
  }

  // Where the file `name` goes, making the subdirectories a name with "/"
  // asks for.
  std::expected<std::string, ToolError> file(std::string_view name) {
    for (std::size_t slash = name.find('/'); slash != std::string_view::npos; slash = name.find('/', slash + 1)) {
      const std::string sub = join_path(path_, name.substr(0, slash));
      if (::mkdir(sub.c_str(), 0777) == 0) {
        directories_.push_back(sub);
      } else if (errno != EEXIST) {
        return std::unexpected(io_failure("cannot create " + sub, IoError::from_errno(errno)));
      }
    }
    files_.push_back(join_path(path_, name));
    return files_.back();
  }

  void keep() { kept_ = true; }

 private:
  std::string path_;
  std::vector<std::string> files_;
  std::vector<std::string> directories_;
  bool kept_ = false;
};

ToolError refuse_damage(const std::string& file, std::uint64_t offset, const std::string& what) {
  return failure(file + " at " + at_offset(offset) + ": " + what +
                 "; compact copies only sound records (quilletdb check lists the damage)");
}

}  // namespace

std::expected<CompactReport, ToolError> compact_database(const std::string& dir, const std::string& out,
                                                         const Progress& progress) {
  auto listing = list_database(dir);
  if (!listing) return std::unexpected(listing.error());
  auto opened = open_all_scanned(dir, listing->collections, data_file);
  if (!opened) return std::unexpected(opened.error());
  std::vector<OpenFile>& data = *opened;
  OutputDirectory output;
  if (auto prepared = output.prepare(out); !prepared) return std::unexpected(prepared.error());

  CompactReport report;
  for (const std::string& target : listing->backlink_targets) {
    struct stat st;
    if (::stat(join_path(dir, link_file(target)).c_str(), &st) == 0) {
      report.bytes_read += static_cast<std::uint64_t>(st.st_size);
    }
  }
  ExpectedLinks expected;
  ProgressMeter meter(progress, 2 * total_size(data));
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::string& name = listing->collections[i];
    ProblemList problems;
    auto live = index_live_records(data[i], Inspect::KeysOnly, problems, &meter);
    if (!live) return std::unexpected(live.error());
    // A key that is not UTF-8 keeps the store from opening the source at all:
    // a copy without that record would read differently.
    if (problems.count() > 0) {
      CheckReport found;
      problems.move_into(found);
      return std::unexpected(refuse_damage(data[i].name, *found.problems[0].offset, found.problems[0].message));
    }
    report.records_read += live->records;
    report.bytes_read += data[i].size;

    auto path = output.file(data_file(name));
    if (!path) return std::unexpected(path.error());
    auto writer = FileWriter::create(*path);
    if (!writer) return std::unexpected(io_failure(*path, writer.error()));
    LinkCollector links(expected);
    auto copied = for_each_live_record(
        data[i], *live,
        [&](const DataRecord& r) -> Step {
          std::size_t position = 0;
          auto value = decode(r.value, position);
          if (!value) return std::unexpected(refuse_damage(data[i].name, r.offset, value.error().text()));
          if (position != r.value.size()) {
            return std::unexpected(refuse_damage(data[i].name, r.offset, "bytes follow the encoded value"));
          }
          links.add(name, r.key, *value);
          if (auto appended = writer->append(r.bytes); !appended) {
            return std::unexpected(io_failure(*path, appended.error()));
          }
          ++report.records_written;
          return {};
        },
        &meter);
    if (!copied) return std::unexpected(copied.error());
    if (auto finished = writer->finish(); !finished) return std::unexpected(io_failure(*path, finished.error()));
    report.bytes_written += writer->written();
    ++report.collections;
  }

  for (const auto& [target, wanted] : expected) {
    if (!check_collection_name(target)) continue;
    // The source's order of the entries is kept where its log can be read.
    std::optional<Replay> old;
    const std::string name = link_file(target);
    if (path_exists(join_path(dir, name))) {
      if (auto file = open_scanned(dir, name)) {
        if (auto replay = replay_log(*file, nullptr, nullptr)) old = std::move(*replay);
      }
    }
    const RebuiltLog log = rebuild_log(old ? &*old : nullptr, wanted);
    auto path = output.file(name);
    if (!path) return std::unexpected(path.error());
    if (auto written = write_whole_file(*path, log.bytes); !written) {
      return std::unexpected(io_failure(*path, written.error()));
    }
    report.backlink_entries += log.entries;
    report.bytes_written += log.bytes.size();
  }
  if (auto synced = sync_directory(out); !synced) return std::unexpected(io_failure(out, synced.error()));
  if (auto done = meter.finish(); !done) return std::unexpected(done.error());
  output.keep();
  return report;
}

// ---------------------------------------------------------------------------
// Reads through a read-only open

namespace {

ToolError unknown_collection(std::string_view name) { return failure("unknown collection " + quote_text(name)); }

// The collection, when it has a file.
std::expected<std::shared_ptr<GuardedCollection>, ToolError> known_collection(Database& db, std::string_view name) {
  auto guarded = db.collection(name);
  if (!guarded) return std::unexpected(failure(guarded.error().text()));
  if (!(*guarded)->collection->has_file()) return std::unexpected(unknown_collection(name));
  return std::move(*guarded);
}

}  // namespace

std::expected<std::unique_ptr<Database>, ToolError> open_read_only(const std::string& dir) {
  auto listing = list_database(dir);
  if (!listing) return std::unexpected(listing.error());
  auto db = Database::open(dir, OpenMode::ReadOnly);
  if (db) return std::move(*db);
  // The store's error does not say which file it came from.
  for (const std::string& name : listing->collections) {
    if (auto opened = Collection::open(join_path(dir, data_file(name)), OpenMode::ReadOnly); !opened) {
      return std::unexpected(failure(data_file(name) + ": " + opened.error().text() +
                                     " (quilletdb check lists the damage)"));
    }
  }
  return std::unexpected(failure("cannot open the database " + dir + ": " + db.error().text()));
}

std::vector<std::string> sorted_collection_names(const Database& db) {
  std::vector<std::string> names = db.collection_names();
  std::ranges::sort(names);
  return names;
}

std::expected<Value, ToolError> read_record(Database& db, std::string_view collection, std::string_view key) {
  auto guarded = known_collection(db, collection);
  if (!guarded) return std::unexpected(guarded.error());
  auto value = db.get(collection, key);
  if (value) return std::move(*value);
  if (value.error().is_key_not_found()) {
    return std::unexpected(failure("no record " + quote_text(key) + " in collection " + quote_text(collection)));
  }
  return std::unexpected(failure(quote_text(collection) + " " + quote_text(key) + ": " + value.error().text()));
}

std::expected<std::vector<BacklinkEntry>, ToolError> read_backlinks(Database& db, std::string_view collection,
                                                                    std::string_view key) {
  auto index = db.backlink_index(collection);
  if (!index) return std::unexpected(failure(link_file(collection) + ": " + index.error().text()));
  if (!(*index)->has_file()) {
    // A collection that is only ever linked to has a backlink file alone.
    auto guarded = known_collection(db, collection);
    if (!guarded) return std::unexpected(guarded.error());
  }
  auto entries = db.get_backlinks(collection, key);
  if (!entries) return std::unexpected(failure(entries.error().text()));
  return std::move(*entries);
}

std::expected<Value, ToolError> read_field(Database& db, std::string_view collection, std::string_view key,
                                           std::span<const std::string> path) {
  auto guarded = known_collection(db, collection);
  if (!guarded) return std::unexpected(guarded.error());
  auto value = Resolver(db).get_field(collection, key, path);
  if (!value) return std::unexpected(failure(value.error().text()));
  return std::move(*value);
}

std::expected<std::uint64_t, ToolError> dump_records(Database& db, std::optional<std::string_view> collection,
                                                     const std::function<Step(std::string_view)>& write,
                                                     const Progress& progress) {
  std::vector<std::string> names;
  if (collection) {
    if (auto known = known_collection(db, *collection); !known) return std::unexpected(known.error());
    names.emplace_back(*collection);
  } else {
    names = sorted_collection_names(db);
  }
  // Keys are listed first, under each collection's lock, and read one by one
  // afterwards; progress counts records.
  std::vector<std::vector<std::string>> keys;
  std::uint64_t total = 0;
  for (const std::string& name : names) {
    auto guarded = db.collection(name);
    if (!guarded) return std::unexpected(failure(guarded.error().text()));
    std::lock_guard lock((*guarded)->mutex);
    keys.push_back((*guarded)->collection->live_keys());
    std::ranges::sort(keys.back());
    total += keys.back().size();
  }
  ProgressMeter meter(progress, total);
  std::string chunk;
  std::uint64_t written = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    for (const std::string& key : keys[i]) {
      auto value = db.get(names[i], key);
      if (!value) {
        return std::unexpected(
            failure(quote_text(names[i]) + " " + quote_text(key) + ": " + value.error().text()));
      }
      chunk += "{\"collection\":";
      append_json_string(names[i], chunk);
      chunk += ",\"key\":";
      append_json_string(key, chunk);
      chunk += ",\"value\":";
      append_json(*value, chunk);
      chunk += "}\n";
      ++written;
      if (chunk.size() >= kBlock / 4) {
        if (auto done = write(chunk); !done) return std::unexpected(done.error());
        chunk.clear();
      }
      // One unit per record, reported in the meter's large steps.
      if (auto advanced = meter.advance(1); !advanced) return std::unexpected(advanced.error());
    }
  }
  if (!chunk.empty()) {
    if (auto done = write(chunk); !done) return std::unexpected(done.error());
  }
  if (auto done = meter.finish(); !done) return std::unexpected(done.error());
  return written;
}

// ---------------------------------------------------------------------------
// JSON

void append_json_string(std::string_view text, std::string& out) {
  out.push_back('"');
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (u < 0x20) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out.push_back(kHex[u >> 4]);
          out.push_back(kHex[u & 15]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void append_json(const Value& root, std::string& out) {
  // An explicit stack, so that the deepest value the store holds renders
  // without deep recursion.
  struct Frame {
    const Value* elements;     // an array's, or null
    const MapEntry* entries;   // a map's or a link's local values, or null
    std::size_t count;
    std::size_t next;
    std::string_view close;
  };
  std::vector<Frame> stack;
  auto open_map = [&](const Map& map, std::string_view close_plain, std::string_view close_wrapped) {
    const bool wrapped = needs_wrapping(map);
    out += wrapped ? "{\"$map\":{" : "{";
    stack.push_back(Frame{nullptr, map.entries().data(), map.size(), 0, wrapped ? close_wrapped : close_plain});
  };
  auto enter = [&](const Value& v) {
    switch (v.kind()) {
      case Kind::Null:
        out += "null";
        break;
      case Kind::Tombstone:
        out += "{\"$tombstone\":true}";
        break;
      case Kind::Bool:
        out += *v.get_if<bool>() ? "true" : "false";
        break;
      case Kind::Int:
        out += std::to_string(*v.get_if<std::int64_t>());
        break;
      case Kind::Float: {
        const double d = *v.get_if<double>();
        if (std::isnan(d)) {
          out += "{\"$float\":\"NaN\"}";
        } else if (std::isinf(d)) {
          out += d > 0 ? "{\"$float\":\"inf\"}" : "{\"$float\":\"-inf\"}";
        } else {
          out += render_float(d);
        }
        break;
      }
      case Kind::Text:
        append_json_string(*v.get_if<std::string>(), out);
        break;
      case Kind::Blob:
        out += "{\"$bytes\":\"";
        append_base64(v.get_if<Blob>()->bytes, out);
        out += "\"}";
        break;
      case Kind::Date:
        append_tagged_number("$date", v.get_if<Date>()->days, out);
        break;
      case Kind::Time:
        append_tagged_number("$time", v.get_if<Time>()->value, out);
        break;
      case Kind::DateTime:
        append_tagged_number("$datetime", v.get_if<DateTime>()->value, out);
        break;
      case Kind::Array: {
        const Array& a = *v.get_if<Array>();
        out.push_back('[');
        stack.push_back(Frame{a.data(), nullptr, a.size(), 0, "]"});
        break;
      }
      case Kind::Map:
        open_map(*v.get_if<Map>(), "}", "}}");
        break;
      case Kind::Link: {
        const Link& link = *v.get_if<Link>();
        out += "{\"$link\":";
        append_json_string(link.path, out);
        out += ",\"local\":";
        open_map(link.local, "}}", "}}}");
        break;
      }
    }
  };
  enter(root);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.count) {
      out += frame.close;
      stack.pop_back();
      continue;
    }
    if (frame.next > 0) out.push_back(',');
    const std::size_t i = frame.next++;
    const Value* child = nullptr;
    if (frame.entries != nullptr) {
      append_json_string(frame.entries[i].key, out);
      out.push_back(':');
      child = &frame.entries[i].value;
    } else {
      child = &frame.elements[i];
    }
    enter(*child);  // may grow the stack: `frame` is not used after this
  }
}

std::string to_json(const Value& value) {
  std::string out;
  append_json(value, out);
  return out;
}

}  // namespace quillet
