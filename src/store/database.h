// Database: one directory bound to its collections (<name>.qdb) and backlink
// indexes (<name>.qbl), record reads and writes that keep the backlinks in
// step, and transactions.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/backlinks.h"
#include "store/journal.h"
#include "io/lock_file.h"
#include "store/collection.h"
#include "store/compaction.h"
#include "value/value.h"

namespace quillet {

// One queued backlink operation.
struct BlOp {
  enum class Kind : std::uint8_t { Add, Remove };
  Kind kind = Kind::Add;
  std::string target_collection;
  std::string target_key;
  BacklinkEntry entry;
};

// When a write outside a transaction is acknowledged. None: once handed to
// the operating system, so a power cut may lose it (a crashed process does
// not). Full: once its bytes, and any file name it created, are on stable
// storage (fdatasync of each log written, a sync of the directory).
enum class SyncMode : std::uint8_t { None, Full };

// A collection behind its own lock.
struct GuardedCollection {
  std::mutex mutex;
  std::unique_ptr<Collection> collection;
};

// When a collection compacts itself after a write: its file holds at least
// `min_bytes`, and at least `dead_share` of the records indexed since the
// file was opened or last compacted are overwritten or deleted ones.
struct AutoCompact {
  double dead_share = 0.5;
  std::uint64_t min_bytes = std::uint64_t{64} << 20;
};

struct InPlaceCompactReport {
  std::uint64_t files = 0;
  std::uint64_t bytes_before = 0;
  std::uint64_t bytes_after = 0;
};

// Not synchronised: the owner (the Python Database object) holds one lock
// around every call. Lock order: that lock, then at most one collection lock.
class Database {
 public:
  // Creates the directory with its parents (0777 before umask) and registers
  // every entry named <stem>.qdb (extension after the last ".", which must
  // not be the first character) whose stem is UTF-8. An entry that cannot be
  // opened as a collection, a directory named x.qdb included, fails the whole
  // open. A path holding NUL fails with "file name contained an unexpected
  // NUL byte".
  // With OpenMode::ReadOnly the directory must exist already, every file is
  // opened read-only (see Collection::open and BacklinkIndex::open) and every
  // write fails with Io before anything is touched.
  // With SyncMode::Full the directory (and its parent, as it may have just
  // been made) is synced before this returns, and every write made through
  // set or set_encoded outside a transaction syncs what it wrote.
  static std::expected<std::unique_ptr<Database>, Error> open(std::string path,
                                                                      OpenMode mode = OpenMode::ReadWrite,
                                                                      SyncMode sync = SyncMode::None);

  // Writes out and closes every collection, then applies any backlink
  // operations still queued (errors ignored), then closes the indexes.
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::string& dir_path() const { return dir_path_; }
  OpenMode mode() const { return mode_; }
  bool in_transaction() const { return in_transaction_; }
  std::size_t pending_count() const { return pending_ops_.size(); }

  // Finds or opens (creating its file) the collection `name`. Names that leave
  // the directory or spell one file two ways are refused with Io before any
  // file is touched: absolute names, and names with a segment other than the
  // last that is empty, "." or "..". A failed open registers nothing.
  std::expected<std::shared_ptr<GuardedCollection>, Error> collection(std::string_view name);

  // Finds or opens (creating and replaying its log) the index of `name`.
  // The pointer stays valid until the next call on this Database.
  std::expected<BacklinkIndex*, Error> backlink_index(std::string_view name);

  std::expected<Value, Error> get(std::string_view collection, std::string_view key);
  // The current value in its encoding, copied into `out` without decoding it.
  std::expected<void, Error> get_encoded(std::string_view collection, std::string_view key,
                                                std::string& out);

  // Writes the record, then brings the backlink indexes in step with the links
  // that disappeared (removals first) and appeared. Outside a transaction the
  // index operations join the queue and the whole queue is applied at once:
  // an operation that cannot be made stays queued with every later one for
  // the same target collection. Fails only when the record was not written or
  // one of this call's own operations stays queued.
  std::expected<void, Error> set(std::string_view collection, std::string_view key, const Value& value);

  // The same with the value already encoded. REQUIRES: `encoded` is one whole
  // value as `encode` writes it, within the nesting and length limits, and
  // holds no link unless `has_links` (which spares looking for them).
  std::expected<void, Error> set_encoded(std::string_view collection, std::string_view key,
                                                std::string_view encoded, bool has_links = true);

  std::expected<std::vector<BacklinkEntry>, Error> get_backlinks(std::string_view collection,
                                                                         std::string_view key);
  // The same in place, valid until the next call on this database, with the
  // index's stamp (BacklinkIndex::stamp): a caller that kept what it made of
  // the entries seen under a stamp may use it again while the stamp holds.
  struct BacklinksSeen {
    const std::vector<BacklinkEntry>* entries;
    std::uint64_t stamp;
  };
  std::expected<BacklinksSeen, Error> backlinks_seen(std::string_view collection, std::string_view key);

  // begin: writes join the transaction: nothing reaches a log before commit,
  // and reads of this database see them over the logs' records. A begin
  // while a transaction is open keeps it.
  void begin();
  // Makes the transaction land whole: its records, the backlink operations
  // of its link differences (taken from each key's latest record in the log,
  // under the logs' write locks) and any operations still queued. They are
  // sealed in the journal first, then written to the logs and made visible
  // to every other database at once. On failure nothing of it is visible and
  // the transaction stays open, to be committed again or rolled back.
  // `keep_going`, when given, is asked before the seal; false fails the
  // commit as above (kind Io, "interrupted"). Outside a transaction, applies
  // the queued backlink operations.
  std::expected<void, Error> commit(const std::function<bool()>& keep_going = {});
  // Discards the open transaction's records; operations queued by earlier
  // failures stay queued.
  void rollback();

  // Puts every record and backlink record this database wrote so far, and
  // the names of the files it created, on stable storage; in either mode.
  // Records buffered by an open transaction are not written yet and stay
  // buffered. Syncs only the logs written or cut since their last sync.
  // Errors are Io.
  std::expected<void, Error> sync();
  SyncMode sync_mode() const { return sync_; }
  // A call that makes several writes (set_many) defers their syncs while it
  // holds the database, then ends the deferral, which syncs once what they
  // wrote (in SyncMode::Full).
  void defer_syncs() { syncs_deferred_ = true; }
  std::expected<void, Error> end_deferred_syncs();
  // Syncs the directories that gained a file name since the last sync.
  std::expected<void, Error> sync_directories();

  // The logs that compacting `name` rewrites (its .qdb, and its .qbl when
  // that exists), or those of every collection of the directory when
  // `name` is nullopt; each is opened (or followed) here first. The targets
  // need neither this Database nor its lock: compact_log them while other
  // calls go on. ReadOnly error for a read-only open.
  std::expected<std::vector<CompactionTarget>, Error> compaction_targets(std::optional<std::string_view> name);
  // compaction_targets, then compact_log of each, in this thread.
  std::expected<InPlaceCompactReport, Error> compact(std::optional<std::string_view> name);

  // Off (nullopt) by default. Checked after each write outside a
  // transaction and after each commit, from counts kept in memory; the
  // compaction runs in the writing call, and its failure is not the
  // write's.
  void set_autocompact(std::optional<AutoCompact> rule) { autocompact_ = rule; }

  // Registered collection names, in no particular order.
  std::vector<std::string> collection_names() const;
  // Registers the collections other databases created since the last look
  // (a failure to open one leaves it for the call that uses it).
  void register_new_collections();

 private:
  explicit Database(std::string dir_path, OpenMode mode) : dir_path_(std::move(dir_path)), mode_(mode) {}

  // Applies pending_ops_ in order. An operation that cannot be made stays
  // queued with every later one for the same target collection; the others
  // are made. Returns the first error met; when an operation at or after
  // position `own_from` stays queued, `*own_error` (if given) receives the
  // error that held it back. Uses no collection lock.
  std::expected<void, Error> apply_pending(std::size_t own_from, std::optional<Error>* own_error,
                                          const std::function<bool()>& keep_going = {});

  // set without the autocompact check.
  std::expected<void, Error> set_once(std::string_view collection, std::string_view key, const Value& value);

  // The body of set and set_encoded: reads the old value's links, writes the
  // record (or returns `refusal`, the reason the value cannot be stored, at
  // that point), then queues (and outside a transaction applies) the index
  // operations of the link difference. In a transaction `new_links` may be
  // left empty: the commit reads the links of a value that may have some.
  std::expected<void, Error> write_encoded(std::string_view collection, std::string_view key,
                                           std::string_view encoded, std::vector<LinkRef> new_links,
                                           bool may_have_links, std::optional<Error> refusal);

  // Queues the backlink operations that take the links of `key` from
  // `old_links` to `new_links`: removals first, then additions.
  static void queue_link_difference(std::string_view collection, std::string_view key,
                                    const std::vector<LinkRef>& old_links, const std::vector<LinkRef>& new_links,
                                    std::vector<BlOp>& out);
  // The commit's steps, under the commit lock.
  struct CommitPlan;
  std::expected<void, Error> plan_commit(CommitPlan& plan);
  std::expected<void, Error> write_commit(CommitPlan& plan);
  void finish_commit(CommitPlan& plan, bool landed);
  // Moves the records of the open transaction from memory to the journal
  // once they pass kTransactionMemory.
  std::expected<void, Error> spill_if_large();
  std::expected<Journal*, Error> journal();

  std::string dir_path_;
  std::unique_ptr<Journal> journal_;
  std::size_t transaction_memory_ = 0;  // bytes of records held in memory by the transaction
  std::string scratch_;        // the previous value's encoding during set
  std::string scratch_value_;  // the new value's encoding during set
  std::vector<BlOp> pending_ops_;
  // Looked up by string_view, so that finding a registered name builds no string.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept { return KeyTable::hash(name); }
  };
  template <class T>
  using ByName = std::unordered_map<std::string, T, NameHash, std::equal_to<>>;

  // The registered collection `name`, opening it on first use; the pointer
  // stays valid for the life of this Database (registration is permanent).
  std::expected<GuardedCollection*, Error> registered(std::string_view name);

  ByName<std::shared_ptr<GuardedCollection>> collections_;
  ByName<BacklinkIndex> backlink_indexes_;
  // The directory's lock file (null for a read-only open): every log opened
  // for writing joins it. Declared before the logs' owners would be wrong:
  // the logs hold its slots, so it is destroyed after them (members go in
  // reverse order; see the destructor).
  std::shared_ptr<LockFile> lock_file_;
  std::optional<AutoCompact> autocompact_;
  // Compacts `name` when the autocompact rule says so.
  void maybe_autocompact(std::string_view name);
  std::uint64_t listed_changes_ = 0;  // the lock file's change count at the last listing
  // The slot of `file_name` in the lock file, or none for a read-only open.
  // The read-only lock file, for a reader's logs that have no slot there yet.
  LockFile* join_later() const;
  std::expected<std::optional<SharedLog>, Error> share_of(std::string_view file_name);
  // Registers every <name>.qdb of the directory not registered yet.
  std::expected<void, Error> register_listed();
  bool in_transaction_ = false;
  OpenMode mode_ = OpenMode::ReadWrite;
  SyncMode sync_ = SyncMode::None;
  bool syncs_deferred_ = false;
  // Directories that gained a file name not yet synced.
  std::vector<std::string> unsynced_directories_;
  void note_created(const std::string& file_path);
  // What a write returns: in SyncMode::Full, outside a transaction and
  // deferral, only once synced.
  std::expected<void, Error> acknowledged(std::expected<void, Error> written);
};

// Record bytes a transaction holds in memory before they move to its
// journal; the bound on its memory beyond the keys' index entries.
inline constexpr std::size_t kTransactionMemory = std::size_t{16} << 20;

// The collection a directory entry stands for: the stem of a file named
// <stem>.<extension> (the extension being what follows the last ".", which
// must not be the name's first character), when both are UTF-8; nullopt for
// every other entry. `open` registers the entries with extension "qdb".
std::optional<std::string_view> database_file_stem(std::string_view file_name, std::string_view extension);

// Refuses, with the Io error `collection` and `backlink_index` give, a name
// that holds NUL, is absolute, or has an empty, "." or ".." segment other
// than its last.
std::expected<void, Error> check_collection_name(std::string_view name);

}  // namespace quillet
