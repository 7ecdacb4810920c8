// Database::commit and its steps: a transaction lands in every log at once.
//
// Under the directory's commit lock, the commit takes the write lock of every
// log it writes (collections by name, then backlink logs by name, the order
// every writer follows), reads what others appended, takes the link
// difference of each key it wrote against the key's latest record, and
// writes every record (data and backlink) to its journal, marking each log
// with the journal's id. The seal makes it a commit: from then on a crash
// leaves it to be redone. The records are written to the logs, staged as the
// logs' new ends under a new epoch, and the epoch is moved: every other
// database sees the whole commit from that store on. The journal is emptied
// before the marks go and the locks are let go, so that no journal is ever
// redone over records written after it.
#include <algorithm>
#include <map>

#include "store/database.h"

namespace quillet {

struct Database::CommitPlan {
  struct DataLog {
    std::string name;
    GuardedCollection* guarded;
    std::unique_lock<std::mutex> guard{};
    bool locked = false;
    bool written = false;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
  };
  struct LinkLog {
    std::string name;
    BacklinkIndex* index = nullptr;
    bool locked = false;
    bool written = false;
    std::string records;
    std::vector<BacklinkIndex::Change> changes;  // what `records` hold, for the index once written
    std::uint64_t start = 0;
  };
  std::vector<DataLog> data;
  std::vector<LinkLog> links;
  std::vector<BlOp> ops;  // the transaction's own, after those queued before
  std::optional<std::uint64_t> journal_mark;  // the journal's size before this commit
  bool sealed = false;

  template <class F>
  void for_each_log(F&& f) {
    for (DataLog& d : data) {
      if (d.locked) f(*d.guarded->collection->shared_log());
    }
    for (LinkLog& l : links) {
      if (l.locked) f(*l.index->shared_log());
    }
  }
};

std::expected<void, Error> Database::commit(const std::function<bool()>& keep_going) {
  if (!in_transaction_) {
    if (pending_ops_.empty()) return {};
    return apply_pending(pending_ops_.size(), nullptr, keep_going);
  }
  CommitPlan plan;
  for (auto& [name, guarded] : collections_) {
    if (guarded->collection->has_tx()) plan.data.push_back({name, guarded.get()});
  }
  if (plan.data.empty() && pending_ops_.empty()) {
    rollback();
    return {};
  }
  if (mode_ == OpenMode::ReadOnly || !lock_file_) {
    return std::unexpected(io_error(ErrorKind::ReadOnly, "the database " + dir_path_ + " is open read-only"));
  }
  std::sort(plan.data.begin(), plan.data.end(), [](const auto& a, const auto& b) { return a.name < b.name; });

  if (auto locked = lock_file_->lock_commit(); !locked) return std::unexpected(io_error(std::move(locked.error())));
  auto result = plan_commit(plan);
  if (result && keep_going && !keep_going()) result = std::unexpected(io_error(ErrorKind::Io, "interrupted"));
  if (result) result = write_commit(plan);
  finish_commit(plan, result.has_value());
  if (result && autocompact_) {
    for (const CommitPlan::DataLog& d : plan.data) maybe_autocompact(d.name);
  }
  return result;
}

std::expected<void, Error> Database::plan_commit(CommitPlan& plan) {
  std::vector<LinkRef> old_links;
  std::vector<LinkRef> new_links;
  for (CommitPlan::DataLog& d : plan.data) {
    d.guard = std::unique_lock(d.guarded->mutex);
    Collection& c = *d.guarded->collection;
    if (auto locked = c.lock_writes(); !locked) return locked;
    d.locked = true;
    d.start = c.log_end();
    d.length = c.tx_bytes();
    // Each key's link difference, between its latest record in the log and
    // the transaction's last value for it.
    std::optional<Error> failed;
    auto walked = c.for_each_tx_key([&](std::string_view key, std::optional<std::string_view> value, bool links) {
      if (failed) return;
      new_links.clear();
      old_links.clear();
      if (value && links) collect_links_encoded(*value, new_links);
      const std::uint64_t hash = KeyTable::hash(key);
      if (!c.cached_without_links(key, hash)) {
        auto found = c.committed_encoded(key, hash, scratch_);
        if (!found) {
          failed = std::move(found.error());
          return;
        }
        if (*found) collect_links_encoded(scratch_, old_links);
      }
      queue_link_difference(d.name, key, old_links, new_links, plan.ops);
    });
    if (!walked) return walked;
    if (failed) return std::unexpected(std::move(*failed));
  }

  // The backlink logs, in name order, with their records built.
  // Each log's operations keep their order. Runs of operations on one log
  // are usual, so the last log's list is tried before the map.
  std::map<std::string_view, std::vector<const BlOp*>> by_log;
  std::pair<const std::string_view, std::vector<const BlOp*>>* last = nullptr;
  auto sort_in = [&](const BlOp& op) {
    if (last == nullptr || last->first != op.target_collection) last = &*by_log.try_emplace(op.target_collection).first;
    last->second.push_back(&op);
  };
  for (const BlOp& op : pending_ops_) sort_in(op);
  for (const BlOp& op : plan.ops) sort_in(op);
  std::vector<BacklinkIndex::Change> changes;
  for (const auto& [target, ops] : by_log) {
    changes.clear();
    changes.reserve(ops.size());
    for (const BlOp* op : ops) {
      changes.push_back({op->kind == BlOp::Kind::Add ? BacklinkIndex::Op::Add : BacklinkIndex::Op::Remove,
                         op->target_key, &op->entry});
    }
    auto index = backlink_index(target);
    if (!index) return std::unexpected(index.error());
    CommitPlan::LinkLog& l = plan.links.emplace_back();
    l.name = target;
    l.index = *index;
    if (auto locked = l.index->lock_writes(); !locked) return std::unexpected(io_error(std::move(locked.error())));
    l.locked = true;
    l.start = l.index->log_end();
    if (auto built = BacklinkIndex::build_records(changes, l.records); !built) {
      return std::unexpected(io_error(std::move(built.error())));
    }
    l.changes = changes;
  }
  return {};
}

std::expected<void, Error> Database::write_commit(CommitPlan& plan) {
  auto into = journal();
  if (!into) return std::unexpected(into.error());
  Journal& j = **into;
  plan.journal_mark = j.size();
  std::vector<JournalPart> parts;
  for (CommitPlan::DataLog& d : plan.data) {
    const std::string file = d.name + ".qdb";
    if (auto added = d.guarded->collection->tx_journal_memory(j, file); !added) return added;
    parts.push_back({file, d.start, d.length});
  }
  for (CommitPlan::LinkLog& l : plan.links) {
    const std::string file = l.name + ".qbl";
    if (auto added = j.add_chunk(file, l.records); !added) return std::unexpected(io_error(std::move(added.error())));
    parts.push_back({file, l.start, l.records.size()});
  }
  lock_file_->set_active_journal(j.id());
  plan.for_each_log([&](SharedLog& log) { log.mark_commit(j.id()); });
  const bool sync = sync_ == SyncMode::Full;
  if (auto sealed = j.seal(parts, sync); !sealed) return std::unexpected(io_error(std::move(sealed.error())));
  plan.sealed = true;

  for (CommitPlan::DataLog& d : plan.data) {
    auto written = d.guarded->collection->write_tx(j);
    if (!written) return std::unexpected(written.error());
    d.written = true;
  }
  for (CommitPlan::LinkLog& l : plan.links) {
    if (auto written = l.index->write_at_end(l.records); !written) return std::unexpected(io_error(std::move(written.error())));
    l.written = true;
  }
  // With sync the journal goes only once the logs hold the commit on
  // stable storage; it is emptied before the commit becomes visible.
  if (sync) {
    for (CommitPlan::DataLog& d : plan.data) {
      if (auto synced = d.guarded->collection->sync(); !synced) return synced;
    }
    for (CommitPlan::LinkLog& l : plan.links) {
      if (auto synced = l.index->sync(); !synced) return std::unexpected(io_error(std::move(synced.error())));
    }
    if (auto synced = sync_directories(); !synced) return synced;
  }
  const std::uint64_t epoch = lock_file_->next_epoch();
  for (CommitPlan::DataLog& d : plan.data) d.guarded->collection->shared_log()->stage(d.start + d.length, epoch);
  for (CommitPlan::LinkLog& l : plan.links) l.index->shared_log()->stage(l.start + l.records.size(), epoch);
  // The commit becomes visible everywhere at once.
  lock_file_->reach_epoch(epoch);
  return {};
}

void Database::finish_commit(CommitPlan& plan, bool landed) {
  if (landed) {
    (void)journal_->clear(sync_ == SyncMode::Full);
    plan.for_each_log([](SharedLog& log) { log.publish_staged(); });
    for (CommitPlan::DataLog& d : plan.data) d.guarded->collection->tx_landed();
    for (CommitPlan::LinkLog& l : plan.links) l.index->landed(l.changes, l.records.size());
  } else {
    // Nothing of it may stay: what reached a log is cut, the seal goes, and
    // the records spilled before stay in the journal for the next attempt.
    for (CommitPlan::DataLog& d : plan.data) {
      if (d.written) d.guarded->collection->abandon_tx_write();
    }
    for (CommitPlan::LinkLog& l : plan.links) {
      if (l.written) l.index->abandon_write();
    }
    if (journal_ && plan.journal_mark) (void)journal_->cut_to(*plan.journal_mark);
    plan.for_each_log([](SharedLog& log) { log.drop_stage(); });
  }
  lock_file_->set_active_journal(0);
  for (CommitPlan::LinkLog& l : plan.links) {
    if (l.locked) l.index->unlock_writes();
  }
  for (CommitPlan::DataLog& d : plan.data) {
    if (d.locked) d.guarded->collection->unlock_writes();
  }
  lock_file_->unlock_commit();
  if (!landed) return;

  for (CommitPlan::DataLog& d : plan.data) d.guard.unlock();
  for (auto& [name, guarded] : collections_) {
    std::lock_guard lock(guarded->mutex);
    guarded->collection->tx_discard();
  }
  pending_ops_.clear();
  transaction_memory_ = 0;
  in_transaction_ = false;
}

}  // namespace quillet
