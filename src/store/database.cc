#include "store/database.h"

#include <algorithm>
#include <cerrno>
#include <unordered_set>

namespace quillet {

namespace {

// The file name's extension and stem: the text after and before its last
// ".", unless there is none or it is the name's first character.
struct NameParts {
  std::string_view stem;
  std::string_view extension;
  bool has_extension;
};

NameParts split_extension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {name, {}, false};
  return {name.substr(0, dot), name.substr(dot + 1), true};
}

// A name becomes a file name verbatim, so a name could leave the directory
// ("../x", "/etc/x") or spell one file two ways ("a//b" and "a/b", "./x" and
// "x"), which would give two Collection objects on one file that disagree.
// Only the last segment may be empty, "." or "..": its file name then gains an
// extension and stays inside the directory ("...qdb").
std::expected<void, Error> check_name(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return std::unexpected(io_error(ErrorKind::InvalidArgument, std::string(kNulInName)));
  if (name.starts_with('/')) {
    return std::unexpected(io_error(ErrorKind::InvalidArgument, "collection name " + quote_text(name) +
                                                 " is an absolute path, outside the database directory"));
  }
  std::size_t start = 0;
  for (std::size_t slash = name.find('/'); slash != std::string_view::npos; slash = name.find('/', start)) {
    std::string_view segment = name.substr(start, slash - start);
    if (segment.empty() || segment == "." || segment == "..") {
      return std::unexpected(io_error(ErrorKind::InvalidArgument, "collection name " + quote_text(name) +
                                                   " has an empty, \".\" or \"..\" directory segment"));
    }
    start = slash + 1;
  }
  return {};
}

// Hashes LinkRefs in place, so that the link difference copies no strings.
struct LinkRefPtrHash {
  std::size_t operator()(const LinkRef* r) const { return LinkRefHash{}(*r); }
};
struct LinkRefPtrEqual {
  bool operator()(const LinkRef* a, const LinkRef* b) const { return *a == *b; }
};
using LinkRefSet = std::unordered_set<const LinkRef*, LinkRefPtrHash, LinkRefPtrEqual>;

LinkRefSet set_of(const std::vector<LinkRef>& links) {
  LinkRefSet set;
  set.reserve(links.size());
  for (const LinkRef& l : links) set.insert(&l);
  return set;
}

}  // namespace

std::optional<std::string_view> database_file_stem(std::string_view file_name, std::string_view extension) {
  NameParts parts = split_extension(file_name);
  if (!parts.has_extension || !is_valid_utf8(parts.extension) || parts.extension != extension) return std::nullopt;
  if (!is_valid_utf8(parts.stem)) return std::nullopt;
  return parts.stem;
}

std::expected<void, Error> check_collection_name(std::string_view name) { return check_name(name); }

std::expected<std::unique_ptr<Database>, Error> Database::open(std::string path, OpenMode mode, SyncMode sync) {
  if (path.find('\0') != std::string::npos) return std::unexpected(io_error(ErrorKind::InvalidArgument, std::string(kNulInName)));
  if (mode == OpenMode::ReadWrite) {
    if (auto made = make_directories(path); !made) return std::unexpected(io_error(made.error()));
  }

  std::unique_ptr<Database> db(new Database(std::move(path), mode));
  if (mode == OpenMode::ReadWrite) {
    // Alone with the directory, a commit whose process died is redone
    // before any log is read.
    const std::string& dir = db->dir_path_;
    auto lock_file = LockFile::open(dir, false, [&dir] { return recover_journals_alone(dir); });
    if (!lock_file) return std::unexpected(io_error(std::move(lock_file.error())));
    db->lock_file_ = std::move(*lock_file);
    db->lock_file_->set_recovery(recover_journal);
    db->listed_changes_ = db->lock_file_->change_count();
    // Alone with the directory, no compaction can be running: its copies
    // are leftovers of one that was stopped.
    if (db->lock_file_->opened_alone()) {
      if (auto removed = remove_compaction_leftovers(db->dir_path_); !removed) {
        return std::unexpected(io_error(std::move(removed.error())));
      }
    }
  }
  if (mode == OpenMode::ReadOnly) {
    // A reader follows what writers publish through the lock file, when the
    // directory has one it can read; otherwise it reads the files as they are.
    if (auto lock_file = LockFile::open(db->dir_path_, true); lock_file && *lock_file) {
      db->lock_file_ = std::move(*lock_file);
      db->listed_changes_ = db->lock_file_->change_count();
    }
  }
  if (auto listed = db->register_listed(); !listed) return std::unexpected(std::move(listed.error()));
  if (mode == OpenMode::ReadWrite && sync == SyncMode::Full) {
    db->sync_ = sync;
    db->note_created(db->dir_path_);
    db->unsynced_directories_.push_back(db->dir_path_);
    if (auto synced = db->sync(); !synced) return std::unexpected(std::move(synced.error()));
  }
  return db;
}

void Database::note_created(const std::string& file_path) {
  if (sync_ == SyncMode::None) return;
  const std::size_t slash = file_path.rfind('/');
  std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : file_path.substr(0, slash);
  if (std::ranges::find(unsynced_directories_, parent) == unsynced_directories_.end()) {
    unsynced_directories_.push_back(std::move(parent));
  }
}

std::expected<void, Error> Database::sync() {
  for (auto& [name, guarded] : collections_) {
    std::lock_guard lock(guarded->mutex);
    if (auto synced = guarded->collection->sync(); !synced) return synced;
  }
  for (auto& [name, index] : backlink_indexes_) {
    if (auto synced = index.sync(); !synced) return std::unexpected(io_error(std::move(synced.error())));
  }
  return sync_directories();
}

std::expected<void, Error> Database::sync_directories() {
  while (!unsynced_directories_.empty()) {
    if (auto synced = fsync_directory(unsynced_directories_.back()); !synced) {
      return std::unexpected(io_error(std::move(synced.error())));
    }
    unsynced_directories_.pop_back();
  }
  return {};
}

std::expected<void, Error> Database::end_deferred_syncs() {
  syncs_deferred_ = false;
  return acknowledged({});
}

std::expected<void, Error> Database::acknowledged(std::expected<void, Error> written) {
  if (!written || sync_ == SyncMode::None || in_transaction_ || syncs_deferred_) return written;
  return sync();
}

std::expected<void, Error> Database::register_listed() {
  std::optional<Error> failed;
  auto listed = list_directory(dir_path_, [&](std::string_view file_name) {
    std::optional<std::string_view> stem = database_file_stem(file_name, "qdb");
    if (!stem || collections_.contains(*stem)) return true;
    auto share = share_of(file_name);
    if (!share) {
      failed = std::move(share.error());
      return false;
    }
    auto opened = Collection::open(join_path(dir_path_, file_name), mode_, *share, join_later());
    if (!opened) {
      failed = std::move(opened.error());
      return false;
    }
    auto guarded = std::make_shared<GuardedCollection>();
    guarded->collection = std::move(*opened);
    collections_.emplace(std::string(*stem), std::move(guarded));
    return true;
  });
  if (failed) return std::unexpected(std::move(*failed));
  if (!listed) return std::unexpected(io_error(std::move(listed.error())));
  return {};
}

std::expected<std::optional<SharedLog>, Error> Database::share_of(std::string_view file_name) {
  if (!lock_file_) return std::nullopt;
  auto log = lock_file_->log(file_name);
  if (!log) {
    // A reader claims no slot; it looks for one again later.
    if (lock_file_->read_only()) return std::nullopt;
    return std::unexpected(io_error(std::move(log.error())));
  }
  return *log;
}

LockFile* Database::join_later() const { return lock_file_ && lock_file_->read_only() ? lock_file_.get() : nullptr; }

Database::~Database() {
  // An open transaction is committed, as it always was; then the queue is
  // applied, and only then are the indexes closed. Errors cannot be
  // reported from here.
  if (in_transaction_) (void)commit();
  collections_.clear();
  std::optional<Error> ignored;
  (void)apply_pending(pending_ops_.size(), &ignored);
  backlink_indexes_.clear();
  pending_ops_.clear();
  lock_file_.reset();
}

std::expected<std::shared_ptr<GuardedCollection>, Error> Database::collection(std::string_view name) {
  if (auto it = collections_.find(name); it != collections_.end()) return it->second;
  if (auto valid = check_name(name); !valid) return std::unexpected(valid.error());
  std::string file_name(name);
  file_name += ".qdb";
  auto share = share_of(file_name);
  if (!share) return std::unexpected(share.error());
  const bool created = lock_file_ && mode_ == OpenMode::ReadWrite && !path_is_present(join_path(dir_path_, file_name));
  auto opened = Collection::open(join_path(dir_path_, file_name), mode_, *share, join_later());
  if (!opened) return std::unexpected(opened.error());
  auto guarded = std::make_shared<GuardedCollection>();
  guarded->collection = std::move(*opened);
  collections_.emplace(std::string(name), guarded);
  // Other databases list the directory again when they see the count move.
  if (created) {
    lock_file_->note_directory_change();
    note_created(join_path(dir_path_, file_name));
  }
  return guarded;
}

std::expected<BacklinkIndex*, Error> Database::backlink_index(std::string_view name) {
  if (auto it = backlink_indexes_.find(name); it != backlink_indexes_.end()) return &it->second;
  if (auto valid = check_name(name); !valid) return std::unexpected(valid.error());
  std::string file_name(name);
  file_name += ".qbl";
  auto share = share_of(file_name);
  if (!share) return std::unexpected(share.error());
  const std::string file_path = join_path(dir_path_, file_name);
  const bool created = sync_ == SyncMode::Full && !path_is_present(file_path);
  auto opened = BacklinkIndex::open(file_path, mode_, *share, join_later());
  if (!opened) return std::unexpected(io_error(std::move(opened.error())));
  if (created) note_created(file_path);
  auto [it, inserted] = backlink_indexes_.emplace(std::string(name), std::move(*opened));
  return &it->second;
}

std::expected<GuardedCollection*, Error> Database::registered(std::string_view name) {
  if (auto it = collections_.find(name); it != collections_.end()) return it->second.get();
  auto opened = collection(name);
  if (!opened) return std::unexpected(opened.error());
  return opened->get();
}

std::expected<Value, Error> Database::get(std::string_view collection, std::string_view key) {
  auto guarded = registered(collection);
  if (!guarded) return std::unexpected(guarded.error());
  std::lock_guard lock((*guarded)->mutex);
  if (auto fresh = (*guarded)->collection->refresh(); !fresh) return std::unexpected(fresh.error());
  return (*guarded)->collection->get(key);
}

std::expected<void, Error> Database::get_encoded(std::string_view collection, std::string_view key,
                                                        std::string& out) {
  auto guarded = registered(collection);
  if (!guarded) return std::unexpected(guarded.error());
  std::lock_guard lock((*guarded)->mutex);
  if (auto fresh = (*guarded)->collection->refresh(); !fresh) return fresh;
  return (*guarded)->collection->get_encoded(key, out);
}

std::expected<void, Error> Database::set(std::string_view collection, std::string_view key,
                                                const Value& value) {
  auto written = set_once(collection, key, value);
  if (written && autocompact_ && !in_transaction_) maybe_autocompact(collection);
  return written;
}

std::expected<void, Error> Database::set_encoded(std::string_view collection, std::string_view key,
                                                 std::string_view encoded, bool has_links) {
  std::vector<LinkRef> new_links;
  std::optional<Error> refusal;
  if (has_links && in_transaction_) {
    // The commit reads a transaction's links; here only what refuses them.
    if (link_target_collection_has_nul(encoded)) refusal = io_error(ErrorKind::InvalidArgument, std::string(kNulInName));
  } else if (has_links) {
    collect_links_encoded(encoded, new_links);
  }
  auto written =
      acknowledged(write_encoded(collection, key, encoded, std::move(new_links), has_links, std::move(refusal)));
  if (written && autocompact_ && !in_transaction_) maybe_autocompact(collection);
  return written;
}

std::expected<void, Error> Database::set_once(std::string_view collection, std::string_view key,
                                              const Value& value) {
  // A value that cannot be stored is refused where the write would be made,
  // after the checks that come before it; otherwise it is encoded and takes
  // the encoded path.
  std::optional<Error> refusal;
  scratch_value_.clear();
  if (auto storable = Collection::check_storable(key, value); !storable) {
    refusal = std::move(storable.error());
  } else {
    encode(value, scratch_value_);
  }
  std::vector<LinkRef> links = collect_links(value);
  const bool has_links = !links.empty();
  return acknowledged(write_encoded(collection, key, scratch_value_, std::move(links), has_links, std::move(refusal)));
}

std::expected<void, Error> Database::write_encoded(std::string_view collection, std::string_view key,
                                                          std::string_view encoded, std::vector<LinkRef> new_links,
                                                          bool may_have_links, std::optional<Error> refusal) {
  if (mode_ == OpenMode::ReadOnly) {
    return std::unexpected(io_error(ErrorKind::ReadOnly, "the database " + dir_path_ + " is open read-only"));
  }
  auto guarded = registered(collection);
  if (!guarded) return std::unexpected(guarded.error());
  Collection& target = *(*guarded)->collection;

  // A link whose target collection can never have an index file (a NUL in
  // its name) would leave its operation queued for good and every later
  // commit failing; such a value is refused before it is written.
  for (const LinkRef& l : new_links) {
    if (l.target_collection.find('\0') != std::string::npos) {
      return std::unexpected(io_error(ErrorKind::InvalidArgument, std::string(kNulInName)));
    }
  }
  if (refusal) return std::unexpected(std::move(*refusal));

  if (in_transaction_) {
    // The link difference is taken at commit, against the log as it is then.
    {
      std::lock_guard lock((*guarded)->mutex);
      const std::size_t before = target.tx_memory_bytes();
      if (auto added = target.tx_set(key, encoded, may_have_links); !added) return added;
      transaction_memory_ += target.tx_memory_bytes() - before;
    }
    return spill_if_large();
  }
  std::lock_guard lock((*guarded)->mutex);
  // Outside a transaction the old value is the key's latest record in the
  // file, read under the log's write lock, and the lock is held until the
  // backlink operations of the difference are made: no other database can
  // write the key in between, so the backlinks follow the records exactly.
  struct Unlock {
    Collection* held;
    ~Unlock() { held->unlock_writes(); }
  };
  // The key's slots in a large index are a cache miss each; they load while
  // the write lock is taken.
  const std::uint64_t hash = KeyTable::hash(key);
  target.prefetch_key(hash);
  if (auto locked = target.lock_writes(); !locked) return locked;
  Unlock unlock{&target};

  // A previous value that cannot be read counts as none: the write must not
  // fail because of the record it replaces. One written since open, while
  // no value with links was, is known to hold none without reading it.
  std::vector<LinkRef> old_links;
  if (target.replaced_value_with_links(key, hash, scratch_)) collect_links_encoded(scratch_, old_links);
  if (auto written = target.set_encoded(key, hash, encoded); !written) return written;
  if (!new_links.empty()) target.note_cached_links();

  std::size_t own_from = pending_ops_.size();
  queue_link_difference(collection, key, old_links, new_links, pending_ops_);
  if (pending_ops_.empty()) return {};

  // Outside a transaction the whole queue is applied, so operations left over
  // from an earlier failure go first and each index sees its operations in
  // the order the records were written.
  std::optional<Error> own_error;
  (void)apply_pending(own_from, &own_error);
  if (own_error) return std::unexpected(std::move(*own_error));
  return {};
}

void Database::queue_link_difference(std::string_view collection, std::string_view key,
                                     const std::vector<LinkRef>& old_links, const std::vector<LinkRef>& new_links,
                                     std::vector<BlOp>& out) {
  if (old_links.empty() && new_links.empty()) return;
  auto queue = [&](BlOp::Kind kind, const LinkRef& l) {
    out.push_back(BlOp{kind, l.target_collection, l.target_key,
                       BacklinkEntry{std::string(collection), std::string(key), l.source_path}});
  };
  // A value holds each (target, path) once, so a side without the other is
  // its own difference; a few links are compared directly.
  constexpr std::size_t kFewLinks = 8;
  if (old_links.size() <= kFewLinks && new_links.size() <= kFewLinks) {
    auto in = [](const std::vector<LinkRef>& links, const LinkRef& l) {
      return std::ranges::find(links, l) != links.end();
    };
    for (const LinkRef& l : old_links) {
      if (!in(new_links, l)) queue(BlOp::Kind::Remove, l);
    }
    for (const LinkRef& l : new_links) {
      if (!in(old_links, l)) queue(BlOp::Kind::Add, l);
    }
    return;
  }
  LinkRefSet old_set = set_of(old_links);
  LinkRefSet new_set = set_of(new_links);
  for (const LinkRef& l : old_links) {
    if (!new_set.contains(&l)) queue(BlOp::Kind::Remove, l);
  }
  for (const LinkRef& l : new_links) {
    if (!old_set.contains(&l)) queue(BlOp::Kind::Add, l);
  }
}

std::expected<std::vector<BacklinkEntry>, Error> Database::get_backlinks(std::string_view collection,
                                                                                 std::string_view key) {
  auto seen = backlinks_seen(collection, key);
  if (!seen) return std::unexpected(std::move(seen.error()));
  return *seen->entries;
}

std::expected<Database::BacklinksSeen, Error> Database::backlinks_seen(std::string_view collection,
                                                                      std::string_view key) {
  auto index = backlink_index(collection);
  if (!index) return std::unexpected(index.error());
  if (auto fresh = (*index)->refresh(); !fresh) return std::unexpected(io_error(std::move(fresh.error())));
  return BacklinksSeen{&(*index)->entries_of(key), (*index)->stamp()};
}

void Database::begin() { in_transaction_ = true; }

void Database::rollback() {
  for (auto& [name, guarded] : collections_) {
    std::lock_guard lock(guarded->mutex);
    guarded->collection->tx_discard();
  }
  if (journal_) (void)journal_->clear();
  transaction_memory_ = 0;
  in_transaction_ = false;
}

std::expected<Journal*, Error> Database::journal() {
  if (!journal_) {
    auto created = Journal::create(dir_path_);
    if (!created) return std::unexpected(io_error(std::move(created.error())));
    journal_ = std::move(*created);
    // A redo after a power cut must find it.
    if (sync_ == SyncMode::Full) {
      if (auto synced = fsync_directory(dir_path_); !synced) return std::unexpected(io_error(std::move(synced.error())));
    }
  }
  return journal_.get();
}

std::expected<void, Error> Database::spill_if_large() {
  if (transaction_memory_ <= kTransactionMemory) return {};
  auto into = journal();
  if (!into) return std::unexpected(into.error());
  for (auto& [name, guarded] : collections_) {
    std::lock_guard lock(guarded->mutex);
    if (auto spilled = guarded->collection->tx_spill(**into, name + ".qdb"); !spilled) return spilled;
  }
  transaction_memory_ = 0;
  return {};
}

std::expected<std::vector<CompactionTarget>, Error> Database::compaction_targets(
    std::optional<std::string_view> name) {
  if (mode_ == OpenMode::ReadOnly) {
    return std::unexpected(io_error(ErrorKind::ReadOnly, "the database " + dir_path_ + " is open read-only"));
  }
  std::vector<std::string> names;
  if (name) {
    names.emplace_back(*name);
  } else {
    register_new_collections();
    names = collection_names();
  }
  std::vector<CompactionTarget> targets;
  for (const std::string& n : names) {
    auto guarded = registered(n);
    if (!guarded) return std::unexpected(guarded.error());
    {
      // Settles a replacement that a process which died left unfinished.
      std::lock_guard lock((*guarded)->mutex);
      if (auto fresh = (*guarded)->collection->refresh(); !fresh) return std::unexpected(fresh.error());
    }
    auto data = share_of(n + ".qdb");
    if (!data) return std::unexpected(data.error());
    targets.push_back({CompactionTarget::Kind::Records, (*guarded)->collection->path(), **data, lock_file_});
    const std::string links_file = n + ".qbl";
    if (!path_is_present(join_path(dir_path_, links_file))) continue;
    auto index = backlink_index(n);
    if (!index) return std::unexpected(index.error());
    if (auto fresh = (*index)->refresh(); !fresh) return std::unexpected(io_error(std::move(fresh.error())));
    auto links = share_of(links_file);
    if (!links) return std::unexpected(links.error());
    targets.push_back({CompactionTarget::Kind::Backlinks, join_path(dir_path_, links_file), **links, lock_file_});
  }
  return targets;
}

std::expected<InPlaceCompactReport, Error> Database::compact(std::optional<std::string_view> name) {
  auto targets = compaction_targets(name);
  if (!targets) return std::unexpected(targets.error());
  InPlaceCompactReport report;
  for (const CompactionTarget& target : *targets) {
    auto done = compact_log(target);
    if (!done) return std::unexpected(io_error(std::move(done.error())));
    ++report.files;
    report.bytes_before += done->bytes_before;
    report.bytes_after += done->bytes_after;
  }
  return report;
}

void Database::maybe_autocompact(std::string_view name) {
  auto it = collections_.find(name);
  if (it == collections_.end()) return;
  bool due = false;
  {
    std::lock_guard lock(it->second->mutex);
    const Collection& c = *it->second->collection;
    const std::uint64_t records = c.records_seen();
    const std::uint64_t live = c.index_size();
    due = c.end_offset() >= autocompact_->min_bytes && records > 0 &&
          static_cast<double>(records - std::min(live, records)) >=
              autocompact_->dead_share * static_cast<double>(records);
  }
  if (due) (void)compact(name);
}

void Database::register_new_collections() {
  if (!lock_file_ || lock_file_->change_count() == listed_changes_) return;
  listed_changes_ = lock_file_->change_count();
  (void)register_listed();
}

std::vector<std::string> Database::collection_names() const {
  std::vector<std::string> names;
  names.reserve(collections_.size());
  for (const auto& [name, guarded] : collections_) names.push_back(name);
  return names;
}

std::expected<void, Error> Database::apply_pending(std::size_t own_from, std::optional<Error>* own_error,
                                                   const std::function<bool()>& keep_going) {
  // The queue is applied per target collection, each index receiving its
  // operations in queue order and in as few writes as it can. Once an
  // operation for a target fails, it and every later operation for that
  // target stay queued; other targets go on.
  std::vector<std::string_view> targets;  // in order of first appearance
  std::unordered_map<std::string_view, std::vector<std::size_t>> positions;
  for (std::size_t i = 0; i < pending_ops_.size(); ++i) {
    auto [it, added] = positions.try_emplace(pending_ops_[i].target_collection);
    if (added) targets.push_back(it->first);
    it->second.push_back(i);
  }

  // For each operation left queued, the error that stopped its target.
  std::vector<const Error*> stopped(pending_ops_.size(), nullptr);
  std::vector<Error> errors;
  errors.reserve(targets.size());
  std::vector<BacklinkIndex::Change> changes;
  for (std::string_view target : targets) {
    const std::vector<std::size_t>& queued = positions[target];
    std::size_t made = 0;
    auto index = backlink_index(target);
    if (!index) {
      errors.push_back(std::move(index.error()));
    } else {
      changes.clear();
      for (std::size_t i : queued) {
        const BlOp& op = pending_ops_[i];
        changes.push_back({op.kind == BlOp::Kind::Add ? BacklinkIndex::Op::Add : BacklinkIndex::Op::Remove,
                           op.target_key, &op.entry});
      }
      auto applied = (*index)->apply(changes, made, keep_going);
      if (applied) continue;
      errors.push_back(io_error(std::move(applied.error())));
    }
    for (std::size_t k = made; k < queued.size(); ++k) stopped[queued[k]] = &errors.back();
  }

  std::optional<Error> first_error;
  std::vector<BlOp> kept;
  for (std::size_t i = 0; i < pending_ops_.size(); ++i) {
    if (stopped[i] == nullptr) continue;
    if (!first_error) first_error = *stopped[i];
    if (own_error && i >= own_from && !*own_error) *own_error = *stopped[i];
    kept.push_back(std::move(pending_ops_[i]));
  }
  pending_ops_ = std::move(kept);
  if (first_error) return std::unexpected(std::move(*first_error));
  return {};
}

}  // namespace quillet
