# The core's sources, one list for every build that compiles them (the main
# build and the fuzz build). Paths are relative to this folder.
set(QUILLET_CORE_SOURCES
  error.cc
  value/value.cc
  value/render.cc
  value/unicode_tables.cc
  format/codec.cc
  format/records.cc
  format/checksum.cc
  format/key_index.cc
  format/salvage.cc
  io/file_system.cc
  io/file.cc
  io/mapped_file.cc
  io/lock_file.cc
  io/append_log.cc
  store/key_table.cc
  store/collection.cc
  store/collection_tx.cc
  store/saved_index.cc
  store/links.cc
  store/backlinks.cc
  store/commit.cc
  store/database.cc
  store/compaction.cc
  store/journal.cc
  store/resolver.cc
  tools/progress.cc
  tools/scan.cc
  tools/listing.cc
  tools/problems.cc
  tools/live_records.cc
  tools/expected_links.cc
  tools/backlink_replay.cc
  tools/backlink_compare.cc
  tools/synced_writer.cc
  tools/output_directory.cc
  tools/stat.cc
  tools/dump.cc
  tools/check.cc
  tools/repair.cc
  tools/compact.cc
  tools/query.cc
  tools/json.cc
)
list(TRANSFORM QUILLET_CORE_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)

# The CPython layer: the sources of the _quilletdb module.
set(QUILLET_PYTHON_SOURCES
  python/backlinks.cc
  python/binder.cc
  python/convert.cc
  python/database.cc
  python/records.cc
  python/errors.cc
  python/fast.cc
  python/link.cc
  python/module.cc
  python/tombstone.cc
  python/transaction.cc
  python/tools.cc
  python/view.cc
)
list(TRANSFORM QUILLET_PYTHON_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
