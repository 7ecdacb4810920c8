#include "io/lock_file.h"

#include <cerrno>
#include <cstring>
#include <cstddef>
#include <new>
#include <vector>
#include <fcntl.h>
#include <csignal>
#include <ctime>
#include <sys/mman.h>

namespace quillet {

namespace {

constexpr char kMagic[8] = {'Q', 'U', 'I', 'L', 'L', 'O', 'C', 'K'};
// Moves whenever the layout of the header or of a slot changes, so that two
// builds that disagree about it never share one file.
constexpr std::uint32_t kLayout = 3;
constexpr std::uint32_t kSlotCount = 16384;
static_assert(kSlotCount == LockFile::kSlotCountForScan);
constexpr std::size_t kHeaderSize = 4096;
constexpr std::size_t kFileSize = kHeaderSize + std::size_t{kSlotCount} * sizeof(LogSlot);

// FNV-1a: the same in every process and every build, unlike std::hash.
std::uint64_t name_hash(std::string_view name) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : name) h = (h ^ c) * 0x100000001b3ull;
  return h == 0 ? 1 : h;  // 0 marks a free slot
}

Error from_pthread(int rc) { return Error::from_errno(rc); }

// A lock file that another build laid out differently is in use: sharing it
// would mean misreading its slots. A read-only open goes on without one.
std::expected<std::unique_ptr<LockFile>, Error> foreign_layout(const std::string& path, bool read_only) {
  if (read_only) return nullptr;
  return std::unexpected(Error::invalid_argument("the lock file " + path +
                                                 " belongs to another version of the store; close the programs"
                                                 " using the directory"));
}

}  // namespace

struct LockFile::Header {
  char magic[8];
  std::uint32_t layout;
  std::uint32_t slot_count;
  std::atomic<std::uint64_t> change_count;
  // Taken to claim a free slot, which initialises the slot's write lock
  // before its name is stored.
  pthread_mutex_t claim_lock;
  pthread_mutex_t commit_lock;
  std::atomic<std::uint64_t> commit_epoch;
  std::atomic<std::uint64_t> active_journal;
  // How many large appends were noted since the reset: while none was, a
  // reset has no notes to carry over and reads no slot.
  std::atomic<std::uint64_t> large_notes_made;
};

struct LockFile::CarriedNote {
  std::uint64_t name_hash;
  std::uint64_t start;
  std::uint64_t end;
};

std::vector<LockFile::CarriedNote> LockFile::notes_to_carry(int fd, std::uint64_t size) {
  std::vector<CarriedNote> notes;
  if (size != kFileSize) return notes;
  std::vector<char> head(kHeaderSize);
  if (!pread_exact(fd, head.data(), head.size(), 0)) return notes;
  if (std::memcmp(head.data(), kMagic, sizeof kMagic) != 0) return notes;
  std::uint32_t layout = 0;
  std::memcpy(&layout, head.data() + offsetof(LockFile::Header, layout), sizeof layout);
  std::uint64_t made = 0;
  std::memcpy(&made, head.data() + offsetof(LockFile::Header, large_notes_made), sizeof made);
  if (layout != kLayout || made == 0) return notes;
  std::vector<char> slots(std::size_t{kSlotCount} * sizeof(LogSlot));
  if (!pread_exact(fd, slots.data(), slots.size(), kHeaderSize)) return notes;
  for (std::size_t i = 0; i < kSlotCount; ++i) {
    const char* slot = slots.data() + i * sizeof(LogSlot);
    CarriedNote note{};
    std::memcpy(&note.name_hash, slot + offsetof(LogSlot, name_hash), sizeof note.name_hash);
    std::memcpy(&note.start, slot + offsetof(LogSlot, large_append_start), sizeof note.start);
    std::memcpy(&note.end, slot + offsetof(LogSlot, large_append_end), sizeof note.end);
    if (note.name_hash != 0 && note.end > note.start) notes.push_back(note);
  }
  return notes;
}

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the counters are shared between processes");

LockFile::Header* LockFile::header() const {
  static_assert(sizeof(Header) <= kHeaderSize);
  return static_cast<Header*>(map_);
}
LogSlot* LockFile::slots() const {
  return reinterpret_cast<LogSlot*>(static_cast<char*>(map_) + kHeaderSize);
}

std::expected<std::unique_ptr<LockFile>, Error> LockFile::open(
    const std::string& dir, bool read_only, const std::function<std::expected<void, Error>()>& on_reset) {
  const std::string path = join_path(dir, kLockFileName);
  auto fd = open_file(path, read_only ? O_RDONLY : (O_RDWR | O_CREAT), 0666);
  if (!fd) {
    if (read_only) return nullptr;
    return std::unexpected(fd.error());
  }
  std::unique_ptr<LockFile> file(new LockFile());
  file->fd_ = std::move(*fd);
  file->read_only_ = read_only;
  file->dir_ = dir;
  const int raw = file->fd_.get();

  // Whoever gets the exclusive lock is alone with the directory and resets
  // the file; the others wait for the shared lock until that is done.
  const bool alone = !read_only && try_lock_exclusive(raw);
  std::vector<CarriedNote> carried;
  if (alone) {
    if (auto old_size = file_size(raw)) carried = notes_to_carry(raw, *old_size);
    // Cut to nothing first, so that every byte reads as zero again.
    if (auto cut = truncate_file(raw, 0); !cut) return std::unexpected(cut.error());
    if (auto grown = truncate_file(raw, kFileSize); !grown) return std::unexpected(grown.error());
  }
  if (!alone) lock_shared(raw);
  auto size = file_size(raw);
  if (!size) return std::unexpected(size.error());
  if (*size != kFileSize) return foreign_layout(path, read_only);
  const int prot = read_only ? PROT_READ : (PROT_READ | PROT_WRITE);
  void* map = ::mmap(nullptr, kFileSize, prot, MAP_SHARED, raw, 0);
  if (map == MAP_FAILED) return std::unexpected(Error::from_errno(errno));
  file->map_ = map;
  file->map_size_ = kFileSize;
  if (alone) {
    if (auto reset = file->reset(); !reset) return std::unexpected(reset.error());
    for (const CarriedNote& note : carried) {
      auto slot = file->slot_of(note.name_hash, true);
      if (!slot) return std::unexpected(slot.error());
      SharedLog(file.get(), *slot, &file->header()->large_notes_made).note_large_append(note.start, note.end);
    }
    file->opened_alone_ = true;
    if (on_reset) {
      if (auto done = on_reset(); !done) return std::unexpected(done.error());
    }
    lock_shared(raw);
  }
  const Header* h = file->header();
  if (std::memcmp(h->magic, kMagic, sizeof kMagic) != 0 || h->layout != kLayout || h->slot_count != kSlotCount)
    return foreign_layout(path, read_only);
  return file;
}

LockFile::~LockFile() {
  if (map_) ::munmap(map_, map_size_);
}

// A process-shared robust mutex: usable from every process that maps it, and
// never left locked for good by a holder that died.
static int init_shared_mutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  const int rc = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

// The file was just cut to nothing and grown again, so every slot reads as
// free; only the header is written (the rest of the file stays sparse).
std::expected<void, Error> LockFile::reset() {
  Header* h = new (map_) Header{};
  if (int rc = init_shared_mutex(&h->claim_lock); rc != 0) return std::unexpected(from_pthread(rc));
  if (int rc = init_shared_mutex(&h->commit_lock); rc != 0) return std::unexpected(from_pthread(rc));
  h->layout = kLayout;
  h->slot_count = kSlotCount;
  h->change_count.store(1, std::memory_order_relaxed);
  // The magic goes last: a file that has it is whole.
  std::atomic_thread_fence(std::memory_order_release);
  std::memcpy(h->magic, kMagic, sizeof kMagic);
  return {};
}

std::expected<SharedLog, Error> LockFile::log(std::string_view file_name) {
  auto slot = slot_of(name_hash(file_name), !read_only_);
  if (!slot) return std::unexpected(slot.error());
  if (*slot == nullptr) return std::unexpected(Error::not_found("no slot for " + std::string(file_name)));
  return SharedLog(this, *slot, &header()->large_notes_made);
}

std::expected<LogSlot*, Error> LockFile::slot_of(std::uint64_t h, bool claim) {
  LogSlot* all = slots();
  // Slots are claimed in probe order and never given back, so the log's slot
  // comes before the first free one.
  auto find = [&]() -> LogSlot* {
    for (std::uint32_t probe = 0; probe < kSlotCount; ++probe) {
      LogSlot& slot = all[(h + probe) % kSlotCount];
      const std::uint64_t seen = slot.name_hash.load(std::memory_order_acquire);
      if (seen == h || seen == 0) return &slot;
    }
    return nullptr;
  };
  LogSlot* slot = find();
  if (slot && slot->name_hash.load(std::memory_order_acquire) == h) return slot;
  if (!claim) return nullptr;
  pthread_mutex_t* claim_lock = &header()->claim_lock;
  if (int rc = pthread_mutex_lock(claim_lock); rc == EOWNERDEAD) {
    // A claimer died: its slot's name was never stored, so it is free again.
    pthread_mutex_consistent(claim_lock);
  } else if (rc != 0) {
    return std::unexpected(from_pthread(rc));
  }
  slot = find();
  if (slot && slot->name_hash.load(std::memory_order_acquire) != h) {
    new (slot) LogSlot{};
    if (int rc = init_shared_mutex(&slot->write_lock); rc != 0) {
      pthread_mutex_unlock(claim_lock);
      return std::unexpected(from_pthread(rc));
    }
    slot->name_hash.store(h, std::memory_order_release);
  }
  pthread_mutex_unlock(claim_lock);
  if (slot) return slot;
  return std::unexpected(Error::io("the lock file has no free slot for another log (" +
                                   std::to_string(kSlotCount) + " logs)"));
}

void LockFile::for_each_marked(std::uint64_t journal_id, const std::function<void(SharedLog)>& f) {
  LogSlot* all = slots();
  for (std::uint32_t i = 0; i < kSlotCount; ++i) {
    if (all[i].name_hash.load(std::memory_order_acquire) == 0) continue;
    if (all[i].commit_journal.load(std::memory_order_acquire) == journal_id) {
      f(SharedLog(this, &all[i], &header()->large_notes_made));
    }
  }
}

std::uint64_t LockFile::change_count() const { return header()->change_count.load(std::memory_order_acquire); }

void LockFile::note_directory_change() { header()->change_count.fetch_add(1, std::memory_order_acq_rel); }

namespace {

// The futex word of a glibc mutex: the holder's thread id and two flags.
constexpr std::uint32_t kFutexWaiters = 0x80000000u;
constexpr std::uint32_t kFutexOwnerDied = 0x40000000u;
constexpr std::uint32_t kFutexTidMask = 0x3fffffffu;

// The kernel marks a robust mutex whose holder died, and wakes a waiter. It
// cannot when the holder's list of held robust mutexes was unreadable at its
// exit, and a wake-up can be missed; then the lock would be held by nobody
// for good. A waiter that has waited a while looks at the holder itself and,
// when that thread is gone, marks the lock as the kernel would have.
void mark_if_holder_gone(pthread_mutex_t* mutex) {
  auto* word = reinterpret_cast<std::atomic<std::uint32_t>*>(&mutex->__data.__lock);
  std::uint32_t seen = word->load(std::memory_order_acquire);
  const auto holder = static_cast<pid_t>(seen & kFutexTidMask);
  if (holder == 0 || (seen & kFutexOwnerDied) != 0) return;
  if (::kill(holder, 0) == 0 || errno != ESRCH) return;
  word->compare_exchange_strong(seen, (seen & kFutexWaiters) | kFutexOwnerDied, std::memory_order_acq_rel);
}

}  // namespace

// The wait for a lock, robust against a holder that died: see mark_if_holder_gone.
static std::expected<bool, Error> lock_robust(pthread_mutex_t* mutex) {
  if (const int rc = pthread_mutex_trylock(mutex); rc == 0) {
    return false;
  } else if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(mutex);
    return true;
  }
  for (;;) {
    timespec deadline;
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += 200'000'000;
    if (deadline.tv_nsec >= 1'000'000'000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1'000'000'000;
    }
    const int rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
    if (rc == 0) return false;
    if (rc == EOWNERDEAD) {
      pthread_mutex_consistent(mutex);
      return true;
    }
    if (rc != ETIMEDOUT) return std::unexpected(from_pthread(rc));
    mark_if_holder_gone(mutex);
  }
}

std::expected<bool, Error> SharedLog::lock_raw() { return lock_robust(&slot_->write_lock); }

std::expected<bool, Error> SharedLog::lock() {
  for (;;) {
    auto died = lock_raw();
    if (!died) return died;
    const std::uint64_t mark = commit_mark();
    if (mark == 0) return died;
    // The committer that held this lock died while applying its journal:
    // nothing may be written here before the journal is redone, which takes
    // the commit lock and this lock again, so this one is let go first.
    unlock();
    auto recovered = file_->recover_from_mark(mark);
    if (!recovered) return std::unexpected(recovered.error());
    if (!*recovered) {
      timespec pause{0, 1'000'000};
      ::nanosleep(&pause, nullptr);
    }
  }
}

void SharedLog::unlock() { pthread_mutex_unlock(&slot_->write_lock); }

void SharedLog::publish(std::uint64_t end) { slot_->end_plus_one.store(end + 1, std::memory_order_release); }

std::uint64_t SharedLog::published_end() const {
  for (;;) {
    const std::uint64_t epoch = slot_->pending_epoch.load(std::memory_order_acquire);
    if (epoch == 0) break;
    const std::uint64_t end = slot_->pending_end.load(std::memory_order_acquire);
    const bool visible = epoch <= file_->epoch();
    // The stage may have been published and another set meanwhile; the
    // epochs only grow, so an unchanged one means `end` belongs to it.
    if (slot_->pending_epoch.load(std::memory_order_acquire) != epoch) continue;
    if (visible) return end;
    break;
  }
  const std::uint64_t raw = slot_->end_plus_one.load(std::memory_order_acquire);
  return raw == 0 ? LogSlot::kUnknownEnd : raw - 1;
}

void SharedLog::stage(std::uint64_t end, std::uint64_t epoch) {
  slot_->pending_end.store(end, std::memory_order_release);
  slot_->pending_epoch.store(epoch, std::memory_order_release);
}

void SharedLog::publish_staged() {
  if (slot_->pending_epoch.load(std::memory_order_acquire) != 0) {
    publish(slot_->pending_end.load(std::memory_order_acquire));
    slot_->pending_epoch.store(0, std::memory_order_release);
  }
  slot_->commit_journal.store(0, std::memory_order_release);
}

bool SharedLog::stage_visible() const {
  const std::uint64_t epoch = slot_->pending_epoch.load(std::memory_order_acquire);
  return epoch != 0 && epoch <= file_->epoch();
}

void SharedLog::drop_stage() {
  slot_->pending_epoch.store(0, std::memory_order_release);
  slot_->commit_journal.store(0, std::memory_order_release);
}

std::expected<void, Error> LockFile::lock_commit() {
  auto died = lock_robust(&header()->commit_lock);
  if (!died) return std::unexpected(died.error());
  holding_commit_ = true;
  if (*died) {
    if (auto redone = recover_after_dead_holder(); !redone) {
      unlock_commit();
      return redone;
    }
  }
  return {};
}

std::expected<bool, Error> LockFile::try_lock_commit() {
  const int rc = pthread_mutex_trylock(&header()->commit_lock);
  if (rc == EBUSY) return false;
  if (rc != 0 && rc != EOWNERDEAD) return std::unexpected(from_pthread(rc));
  if (rc == EOWNERDEAD) pthread_mutex_consistent(&header()->commit_lock);
  holding_commit_ = true;
  if (rc == EOWNERDEAD) {
    if (auto redone = recover_after_dead_holder(); !redone) {
      unlock_commit();
      return std::unexpected(redone.error());
    }
  }
  return true;
}

void LockFile::unlock_commit() {
  holding_commit_ = false;
  pthread_mutex_unlock(&header()->commit_lock);
}

std::expected<void, Error> LockFile::recover_after_dead_holder() {
  const std::uint64_t id = active_journal();
  if (id == 0 || !recovery_) return {};
  return recovery_(*this, id);
}

std::expected<bool, Error> LockFile::recover_from_mark(std::uint64_t journal_id) {
  if (holding_commit_) {
    // This process holds the commit lock itself (the mark was found by its
    // own commit or redo): redo here.
    if (!recovery_) return true;
    if (auto redone = recovery_(*this, journal_id); !redone) return std::unexpected(redone.error());
    return true;
  }
  auto locked = try_lock_commit();
  if (!locked || !*locked) return locked;
  std::expected<void, Error> redone;
  // Taking the lock may have redone it already; a mark left is redone now.
  if (recovery_) redone = recovery_(*this, journal_id);
  unlock_commit();
  if (!redone) return std::unexpected(redone.error());
  return true;
}

void LockFile::set_active_journal(std::uint64_t id) { header()->active_journal.store(id, std::memory_order_release); }
std::uint64_t LockFile::active_journal() const { return header()->active_journal.load(std::memory_order_acquire); }
std::uint64_t LockFile::next_epoch() const { return header()->commit_epoch.load(std::memory_order_acquire) + 1; }
void LockFile::reach_epoch(std::uint64_t epoch) { header()->commit_epoch.store(epoch, std::memory_order_release); }
std::uint64_t LockFile::epoch() const { return header()->commit_epoch.load(std::memory_order_acquire); }

void SharedLog::note_large_append(std::uint64_t start, std::uint64_t end) {
  if (end != 0) notes_made_->fetch_add(1, std::memory_order_relaxed);
  slot_->large_append_end.store(end, std::memory_order_relaxed);
  slot_->large_append_start.store(start, std::memory_order_release);
}

bool SharedLog::large_append_covers(std::uint64_t start, std::uint64_t end) const {
  const std::uint64_t noted_end = slot_->large_append_end.load(std::memory_order_acquire);
  const std::uint64_t noted_start = large_append_start();
  return noted_end > noted_start && noted_start <= start && end <= noted_end;
}

}  // namespace quillet
