#include "store/journal.h"

#include <cstring>
#include <fcntl.h>
#include <optional>
#include <random>
#include <unordered_map>
#include <vector>

#include "format/checksum.h"
#include "format/codec.h"

namespace quillet {

namespace {

constexpr char kHeader[8] = {'Q', 'J', 'O', 'U', 'R', 'N', 'L', '1'};
constexpr char kSealMagic[8] = {'Q', 'J', 'C', 'O', 'M', 'M', 'I', 'T'};
constexpr std::uint8_t kChunkTag = 1;
constexpr std::uint8_t kSealTag = 2;
constexpr std::size_t kTrailer = 8 + 8 + 8;  // seal offset, checksum, magic
constexpr std::size_t kCopyBlock = std::size_t{1} << 20;

void put_u64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
std::uint64_t get_u64(const char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

std::string hex(std::uint64_t v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) out[static_cast<std::size_t>(i)] = kDigits[v & 15];
  return out;
}

std::uint64_t fresh_id() {
  std::random_device device;
  for (;;) {
    const std::uint64_t id = (std::uint64_t{device()} << 32) | device();
    if (id != 0) return id;
  }
}

// One chunk as found in a journal: which log, where its records are.
struct Chunk {
  std::string log_file;
  std::uint64_t offset;  // of the records in the journal
  std::uint64_t length;
};

// A sealed journal's contents, or nullopt when it was never sealed whole.
struct Sealed {
  std::vector<Chunk> chunks;
  std::vector<JournalPart> parts;
};

std::expected<std::optional<Sealed>, Error> read_sealed(int fd) {
  auto size = file_size(fd);
  if (!size) return std::unexpected(size.error());
  if (*size < sizeof kHeader + kTrailer) return std::nullopt;
  char trailer[kTrailer];
  if (auto got = pread_exact(fd, trailer, kTrailer, *size - kTrailer); !got) return std::unexpected(got.error());
  if (std::memcmp(trailer + 16, kSealMagic, 8) != 0) return std::nullopt;
  const std::uint64_t seal_at = get_u64(trailer);
  if (seal_at < sizeof kHeader || seal_at > *size - kTrailer) return std::nullopt;
  std::string seal(static_cast<std::size_t>(*size - kTrailer - seal_at), '\0');
  if (auto got = pread_exact(fd, seal.data(), seal.size(), seal_at); !got) return std::unexpected(got.error());
  if (checksum64(seal) != get_u64(trailer + 8)) return std::nullopt;

  Sealed out;
  // The seal: tag, count, parts.
  std::size_t at = 0;
  auto need = [&](std::size_t n) { return seal.size() - at >= n; };
  if (!need(5) || static_cast<std::uint8_t>(seal[0]) != kSealTag) return std::nullopt;
  const std::uint32_t count = get_u32(seal.data() + 1);
  at = 5;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!need(4)) return std::nullopt;
    const std::uint32_t name_len = get_u32(seal.data() + at);
    at += 4;
    if (!need(std::size_t{name_len} + 16)) return std::nullopt;
    JournalPart part;
    part.log_file.assign(seal.data() + at, name_len);
    at += name_len;
    part.start = get_u64(seal.data() + at);
    part.length = get_u64(seal.data() + at + 8);
    at += 16;
    out.parts.push_back(std::move(part));
  }

  // The chunks, each checked against its checksum.
  std::string block;
  std::uint64_t pos = sizeof kHeader;
  while (pos < seal_at) {
    char head[5];
    if (seal_at - pos < 5) return std::nullopt;
    if (auto got = pread_exact(fd, head, 5, pos); !got) return std::unexpected(got.error());
    if (static_cast<std::uint8_t>(head[0]) != kChunkTag) return std::nullopt;
    const std::uint32_t name_len = get_u32(head + 1);
    if (seal_at - pos - 5 < std::uint64_t{name_len} + 16) return std::nullopt;
    std::string rest(name_len + 16, '\0');
    if (auto got = pread_exact(fd, rest.data(), rest.size(), pos + 5); !got) return std::unexpected(got.error());
    Chunk chunk{rest.substr(0, name_len), pos + 5 + rest.size(), get_u64(rest.data() + name_len)};
    const std::uint64_t sum = get_u64(rest.data() + name_len + 8);
    if (seal_at - chunk.offset < chunk.length) return std::nullopt;
    block.resize(static_cast<std::size_t>(chunk.length));
    if (auto got = pread_exact(fd, block.data(), block.size(), chunk.offset); !got) return std::unexpected(got.error());
    if (checksum64(block) != sum) return std::nullopt;
    pos = chunk.offset + chunk.length;
    out.chunks.push_back(std::move(chunk));
  }
  return out;
}

// Copies `length` bytes at `from` in the journal to `to` in the log.
std::expected<void, Error> copy_range(int journal, std::uint64_t from, int log, std::uint64_t to, std::uint64_t length) {
  std::string block;
  while (length > 0) {
    block.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyBlock)));
    if (auto got = pread_exact(journal, block.data(), block.size(), from); !got) return got;
    struct iovec iov{block.data(), block.size()};
    std::uint64_t written = 0;
    if (auto put = write_all_at(log, &iov, 1, to, "failed to write whole buffer", &written); !put) return put;
    from += block.size();
    to += block.size();
    length -= block.size();
  }
  return {};
}

// Writes every chunk of the parts that `open_log` gives a descriptor for.
template <class OpenLog>
std::expected<void, Error> write_parts(int journal, const Sealed& sealed, OpenLog&& open_log) {
  std::unordered_map<std::string, std::uint64_t> next;  // log -> where its next chunk goes
  for (const JournalPart& part : sealed.parts) next.emplace(part.log_file, part.start);
  for (const Chunk& chunk : sealed.chunks) {
    auto it = next.find(chunk.log_file);
    if (it == next.end()) continue;
    const int log = open_log(chunk.log_file);
    if (log < 0) continue;
    if (auto copied = copy_range(journal, chunk.offset, log, it->second, chunk.length); !copied) return copied;
    it->second += chunk.length;
  }
  return {};
}

// Writes again every part of a sealed journal whose log still carries its
// mark (all of them: the marks go only after the journal is emptied), then
// makes them visible together.
std::expected<void, Error> redo_marked(LockFile& lock_file, std::uint64_t id, int journal, const Sealed& sealed) {
  struct Held {
    SharedLog log;
    Fd fd;
    std::uint64_t end;
  };
  std::vector<Held> held;
  std::unordered_map<std::string, std::size_t> by_file;
  auto let_go = [&] {
    for (Held& h : held) h.log.unlock();
  };
  for (const JournalPart& part : sealed.parts) {
    auto log = lock_file.log(part.log_file);
    if (!log || log->commit_mark() != id) continue;
    if (auto died = log->lock_raw(); !died) {
      let_go();
      return std::unexpected(died.error());
    }
    if (log->commit_mark() != id) {
      log->unlock();
      continue;
    }
    auto opened = open_regular_file(join_path(lock_file.dir(), part.log_file), O_WRONLY | O_CREAT);
    if (!opened) {
      log->unlock();
      let_go();
      return std::unexpected(opened.error());
    }
    by_file.emplace(part.log_file, held.size());
    held.push_back(Held{*log, std::move(*opened), part.start + part.length});
  }
  auto open_log = [&](const std::string& log_file) -> int {
    auto it = by_file.find(log_file);
    return it == by_file.end() ? -1 : held[it->second].fd.get();
  };
  auto written = write_parts(journal, sealed, open_log);
  for (Held& h : held) {
    if (written) written = sync_data(h.fd.get());
  }
  if (!written) {
    let_go();
    return written;
  }
  const std::uint64_t epoch = lock_file.next_epoch();
  for (Held& h : held) h.log.stage(h.end, epoch);
  lock_file.reach_epoch(epoch);
  for (Held& h : held) h.log.publish_staged();
  let_go();
  return {};
}

}  // namespace

std::string journal_file_name(std::uint64_t id) { return std::string(kJournalPrefix) + hex(id); }

std::expected<std::unique_ptr<Journal>, Error> Journal::create(const std::string& dir) {
  std::unique_ptr<Journal> journal(new Journal());
  for (int attempt = 0;; ++attempt) {
    journal->id_ = fresh_id();
    journal->path_ = join_path(dir, journal_file_name(journal->id_));
    auto fd = open_file(journal->path_, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd) {
      journal->fd_ = std::move(*fd);
      break;
    }
    if (fd.error().os_error() != EEXIST || attempt > 8) return std::unexpected(fd.error());
  }
  // Held for the journal's life: a journal whose lock is free was left by a
  // process that is gone.
  (void)try_lock_exclusive(journal->fd_.get());
  return journal;
}

Journal::~Journal() {
  if (!path_.empty()) (void)remove_file(path_);
}

std::expected<std::uint64_t, Error> Journal::add_chunk(std::string_view log_file, std::string_view records) {
  std::string head;
  if (size_ == 0) head.append(kHeader, sizeof kHeader);
  head.push_back(static_cast<char>(kChunkTag));
  put_u32(head, static_cast<std::uint32_t>(log_file.size()));
  head.append(log_file);
  put_u64(head, records.size());
  put_u64(head, checksum64(records));
  struct iovec iov[2] = {{head.data(), head.size()}, {const_cast<char*>(records.data()), records.size()}};
  std::uint64_t written = 0;
  if (auto put = write_all_at(fd_.get(), iov, 2, size_, "failed to write whole buffer", &written); !put) {
    return std::unexpected(put.error());
  }
  const std::uint64_t at = size_ + head.size();
  size_ += head.size() + records.size();
  return at;
}

std::expected<void, Error> Journal::seal(std::span<const JournalPart> parts, bool sync) {
  std::string seal;
  if (size_ == 0) {
    if (auto put = write_all(fd_.get(), std::string_view(kHeader, sizeof kHeader), "failed to write whole buffer");
        !put) {
      return put;
    }
    size_ = sizeof kHeader;
  }
  seal.push_back(static_cast<char>(kSealTag));
  put_u32(seal, static_cast<std::uint32_t>(parts.size()));
  for (const JournalPart& part : parts) {
    put_u32(seal, static_cast<std::uint32_t>(part.log_file.size()));
    seal.append(part.log_file);
    put_u64(seal, part.start);
    put_u64(seal, part.length);
  }
  const std::uint64_t sum = checksum64(seal);
  put_u64(seal, size_);
  put_u64(seal, sum);
  seal.append(kSealMagic, sizeof kSealMagic);
  struct iovec iov{seal.data(), seal.size()};
  std::uint64_t written = 0;
  if (auto put = write_all_at(fd_.get(), &iov, 1, size_, "failed to write whole buffer", &written); !put) return put;
  size_ += seal.size();
  if (sync) return sync_data(fd_.get());
  return {};
}

std::expected<void, Error> Journal::clear(bool sync) {
  if (auto cut = cut_to(0); !cut) return cut;
  // Unsynced, a power cut could bring the seal back.
  if (sync && fd_.valid()) return sync_data(fd_.get());
  return {};
}

std::expected<void, Error> Journal::cut_to(std::uint64_t size) {
  if (size_ == size) return {};
  if (auto cut = truncate_file(fd_.get(), size); !cut) {
    // A seal must not outlive its commit: without the cut, the file goes.
    if (auto removed = remove_file(path_); !removed) return cut;
    path_.clear();
    return cut;
  }
  size_ = size;
  return {};
}

std::expected<void, Error> Journal::read(std::uint64_t offset, char* out, std::size_t size) const {
  return pread_exact(fd_.get(), out, size, offset);
}

// The names of the journals in `dir`.
static std::expected<std::vector<std::string>, Error> journal_names(const std::string& dir) {
  std::vector<std::string> names;
  auto listed = list_directory(dir, [&](std::string_view name) {
    if (name.starts_with(kJournalPrefix)) names.emplace_back(name);
    return true;
  });
  if (!listed) return std::unexpected(listed.error());
  return names;
}

std::expected<void, Error> sync_journals(const std::string& dir) {
  auto names = journal_names(dir);
  if (!names) return std::unexpected(names.error());
  for (const std::string& name : *names) {
    auto fd = open_file(join_path(dir, name), O_RDONLY);
    if (!fd) continue;  // gone meanwhile
    if (auto synced = sync_data(fd->get()); !synced) return synced;
  }
  return {};
}

std::expected<void, Error> recover_journals_alone(const std::string& dir) {
  auto names = journal_names(dir);
  if (!names) return std::unexpected(names.error());
  for (const std::string& name : *names) {
    const std::string path = join_path(dir, name);
    auto fd = open_file(path, O_RDONLY);
    if (!fd) continue;
    auto sealed = read_sealed(fd->get());
    if (!sealed) return std::unexpected(sealed.error());
    if (*sealed) {
      std::unordered_map<std::string, Fd> logs;
      auto open_log = [&](const std::string& log_file) -> int {
        auto [it, added] = logs.try_emplace(log_file);
        if (added) {
          auto opened = open_regular_file(join_path(dir, log_file), O_WRONLY | O_CREAT);
          if (opened) it->second = std::move(*opened);
        }
        return it->second.get();
      };
      if (auto written = write_parts(fd->get(), **sealed, open_log); !written) return written;
      // The journal goes only once its records are on stable storage.
      for (auto& [log_file, log] : logs) {
        if (!log.valid()) return std::unexpected(Error::io("cannot open " + log_file + " to redo a commit"));
        if (auto synced = sync_data(log.get()); !synced) return synced;
      }
    }
    if (auto removed = remove_file(path); !removed) return removed;
  }
  return {};
}

std::expected<void, Error> recover_journal(LockFile& lock_file, std::uint64_t id) {
  const std::string path = join_path(lock_file.dir(), journal_file_name(id));
  std::optional<std::optional<Sealed>> sealed;
  Fd fd;
  if (auto opened = open_file(path, O_RDONLY); opened) {
    fd = std::move(*opened);
    auto read = read_sealed(fd.get());
    if (!read) return std::unexpected(read.error());
    sealed = std::move(*read);
  }

  if (sealed && *sealed) {
    if (auto redone = redo_marked(lock_file, id, fd.get(), **sealed); !redone) return redone;
  } else {
    // Never sealed (nothing of it reached a log), or emptied after every
    // part was in place and visible: a visible stage is published, any
    // other is dropped, and the marks go.
    lock_file.for_each_marked(id, [&](SharedLog log) {
      if (auto died = log.lock_raw(); !died) return;
      if (log.commit_mark() == id) {
        if (log.stage_visible()) {
          log.publish_staged();
        } else {
          log.drop_stage();
        }
      }
      log.unlock();
    });
  }
  if (lock_file.active_journal() == id) lock_file.set_active_journal(0);
  if (fd.valid()) (void)remove_file(path);
  return {};
}

}  // namespace quillet
