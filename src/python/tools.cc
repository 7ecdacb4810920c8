// The support API of the quilletdb command: module functions with a leading
// underscore over the core's tools unit. Each one opens what it needs itself
// (read-only, except _repair and _compact), so none of them touches a
// Database object or its lock, and Python callbacks may run freely.
//
// Failures raise the module's Error (a RuntimeError), or CorruptionError or
// ReadOnlyError by the error's kind, with the tool's one-line text. A callback that
// raises stops the work at the next step, and its exception propagates;
// KeyboardInterrupt is noticed at every progress step too.
#include "python/classes.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "python/binder.h"
#include "python/errors.h"
#include "store/links.h"
#include "tools/check.h"
#include "tools/compact.h"
#include "tools/dump.h"
#include "tools/json.h"
#include "tools/query.h"
#include "tools/repair.h"
#include "tools/stat.h"

namespace quillet::py {
namespace {

constexpr const char* kPathParams[] = {"path"};
constexpr const char* kCheckParams[] = {"path", "progress"};
constexpr const char* kRepairParams[] = {"path", "notice", "progress", "dry_run"};
constexpr const char* kCompactParams[] = {"path", "out", "progress", "skip_damaged"};
constexpr const char* kDumpParams[] = {"path", "collection", "write", "progress", "skip_damaged"};
constexpr const char* kRecordParams[] = {"path", "collection", "key"};
constexpr const char* kResolveParams[] = {"path", "collection", "key", "fields"};
constexpr Signature kStat{"_stat()", kPathParams, 1};
constexpr Signature kCheck{"_check()", kCheckParams, 1};
constexpr Signature kRepair{"_repair()", kRepairParams, 1};
constexpr Signature kCompact{"_compact()", kCompactParams, 2};
constexpr Signature kDump{"_dump_records()", kDumpParams, 3};
constexpr Signature kGet{"_get()", kRecordParams, 3};
constexpr Signature kBacklinks{"_backlinks()", kRecordParams, 3};
constexpr Signature kResolve{"_resolve()", kResolveParams, 4};
constexpr Signature kLinks{"_links()", kCheckParams, 1};

PyObject* text_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Raises the tool's error through the module's one mapping, unless a
// callback's own exception is already set. No tool is a get: a missing record
// is the module's Error like any other failure, never a KeyError.
PyObject* raise_tool_error(const Error& error) {
  if (PyErr_Occurred()) return nullptr;
  return raise_core_error(error, ErrorSite::Write);
}

// An optional callback parameter: absent (null) or None gives null.
bool bind_callback(const char* param, PyObject* object, PyObject*& callback) {
  callback = object == Py_None ? nullptr : object;
  if (callback != nullptr && !PyCallable_Check(callback)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %R is not callable", param, callback);
    return false;
  }
  return true;
}

// Binds (path, progress=None), the parameters of _check() and _links().
bool bind_path_progress(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        std::string_view& path, PyObject*& progress) {
  PyObject* bound[2];
  return bind_arguments(sig, args, nargs, kwnames, bound) && bind_text("path", bound[0], path) &&
         bind_callback("progress", bound[1], progress);
}

// Calls `callback` (when given) with done and total, after letting signal
// handlers run; false, with the exception set, stops the work.
Progress progress_of(PyObject* callback) {
  return [callback](std::uint64_t done, std::uint64_t total) {
    if (PyErr_CheckSignals() < 0) return false;
    if (callback == nullptr) return true;
    PyRef result = PyRef::steal(PyObject_CallFunction(callback, "KK", static_cast<unsigned long long>(done),
                                                      static_cast<unsigned long long>(total)));
    return static_cast<bool>(result);
  };
}

// Calls `callback` with one str; false, with the exception set, when it raised.
bool call_with_text(PyObject* callback, std::string_view text) {
  PyRef argument = PyRef::steal(text_object(text));
  if (!argument) return false;
  PyRef result = PyRef::steal(PyObject_CallOneArg(callback, argument.get()));
  return static_cast<bool>(result);
}

// Builds a dict from name/value pairs whose values are new references (or
// null after a failure, which fails the whole dict).
PyObject* dict_of(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  PyRef dict = PyRef::steal(PyDict_New());
  bool ok = static_cast<bool>(dict);
  for (const auto& [name, value] : items) {
    PyRef owned = PyRef::steal(value);
    ok = ok && owned && PyDict_SetItemString(dict.get(), name, owned.get()) == 0;
  }
  return ok ? dict.release() : nullptr;
}

PyObject* number(std::uint64_t n) { return PyLong_FromUnsignedLongLong(n); }

// Appends a new reference to `list`; false (releasing it) on failure.
bool append_new(PyObject* list, PyObject* item) {
  PyRef owned = PyRef::steal(item);
  return owned && PyList_Append(list, owned.get()) == 0;
}

// An optional flag parameter: absent is false; false with the exception set
// when its truth cannot be told.
bool bind_flag(PyObject* object, bool& flag) {
  const int truth = object == nullptr ? 0 : PyObject_IsTrue(object);
  flag = truth == 1;
  return truth >= 0;
}

PyObject* text_list(const std::vector<std::string>& texts) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const std::string& text : texts) {
    if (!append_new(list.get(), text_object(text))) return nullptr;
  }
  return list.release();
}

// The damaged stretches a tool carried on past, as (file, offset, size) tuples.
PyObject* skipped_list(const std::vector<Skipped>& skipped) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const Skipped& s : skipped) {
    PyRef file = PyRef::steal(text_object(s.file));
    PyRef offset = PyRef::steal(number(s.offset));
    PyRef size = PyRef::steal(number(s.size));
    if (!file || !offset || !size) return nullptr;
    if (!append_new(list.get(), PyTuple_Pack(3, file.get(), offset.get(), size.get()))) return nullptr;
  }
  return list.release();
}

PyObject* tool_stat(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1];
  std::string_view path;
  if (!bind_arguments(kStat, args, nargs, kwnames, bound) || !bind_text("path", bound[0], path)) return nullptr;
  auto stat = stat_database(std::string(path), progress_of(nullptr));
  if (!stat) return raise_tool_error(stat.error());
  PyRef collections = PyRef::steal(PyList_New(0));
  PyRef backlink_files = PyRef::steal(PyList_New(0));
  if (!collections || !backlink_files) return nullptr;
  for (const CollectionStat& c : stat->collections) {
    if (!append_new(collections.get(), dict_of({{"name", text_object(c.name)},
                                                 {"live_keys", number(c.live_keys)},
                                                 {"records", number(c.records)},
                                                 {"file_bytes", number(c.file_bytes)},
                                                 {"live_bytes", number(c.live_bytes)},
                                                 {"tail_bytes", number(c.tail_bytes)},
                                                 {"dead_share", PyFloat_FromDouble(c.dead_share())}}))) {
      return nullptr;
    }
  }
  for (const BacklinkFileStat& b : stat->backlink_files) {
    if (!append_new(backlink_files.get(), dict_of({{"name", text_object(b.name)},
                                                    {"records", number(b.records)},
                                                    {"live_entries", number(b.live_entries)},
                                                    {"file_bytes", number(b.file_bytes)},
                                                    {"tail_bytes", number(b.tail_bytes)}}))) {
      return nullptr;
    }
  }
  return dict_of({{"collections", collections.release()}, {"backlink_files", backlink_files.release()}});
}

PyObject* problem_tuple(const Problem& p) {
  PyRef file = PyRef::steal(text_object(p.file));
  PyRef offset = PyRef::steal(p.offset ? number(*p.offset) : Py_NewRef(Py_None));
  PyRef message = PyRef::steal(text_object(p.message));
  if (!file || !offset || !message) return nullptr;
  return PyTuple_Pack(3, file.get(), offset.get(), message.get());
}

PyObject* tool_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string_view path;
  PyObject* progress = nullptr;
  if (!bind_path_progress(kCheck, args, nargs, kwnames, path, progress)) return nullptr;
  auto report = check_database(std::string(path), progress_of(progress));
  if (!report) return raise_tool_error(report.error());
  PyRef problems = PyRef::steal(PyList_New(0));
  if (!problems) return nullptr;
  for (const Problem& p : report->problems) {
    if (!append_new(problems.get(), problem_tuple(p))) return nullptr;
  }
  return dict_of({{"sound", PyBool_FromLong(report->sound())},
                  {"problems", problems.release()},
                  {"problems_omitted", number(report->problems_omitted)},
                  {"files", number(report->files)},
                  {"records", number(report->records)},
                  {"live_keys", number(report->live_keys)},
                  {"backlink_records", number(report->backlink_records)},
                  {"backlink_entries", number(report->backlink_entries)},
                  {"side_files", text_list(report->side_files)}});
}

PyObject* tool_repair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[4];
  std::string_view path;
  PyObject* notice = nullptr;
  PyObject* progress = nullptr;
  RepairOptions options;
  if (!bind_arguments(kRepair, args, nargs, kwnames, bound) || !bind_text("path", bound[0], path) ||
      !bind_callback("notice", bound[1], notice) || !bind_callback("progress", bound[2], progress) ||
      !bind_flag(bound[3], options.dry_run)) {
    return nullptr;
  }
  Notice tell = [notice](const std::string& text) { return notice == nullptr || call_with_text(notice, text); };
  auto report = repair_database(std::string(path), tell, progress_of(progress), options);
  if (!report) return raise_tool_error(report.error());
  return dict_of({{"tails_cut", number(report->tails_cut)},
                  {"tail_bytes_cut", number(report->tail_bytes_cut)},
                  {"backlink_files_rebuilt", number(report->backlink_files_rebuilt)},
                  {"backlink_entries_added", number(report->backlink_entries_added)},
                  {"backlink_entries_dropped", number(report->backlink_entries_dropped)},
                  {"damaged_stretches", number(report->damaged_stretches)},
                  {"damaged_bytes", number(report->damaged_bytes)},
                  {"side_files", text_list(report->side_files)}});
}

PyObject* tool_compact(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[4];
  std::string_view path;
  std::string_view out;
  PyObject* progress = nullptr;
  bool skip_damaged = false;
  if (!bind_arguments(kCompact, args, nargs, kwnames, bound) || !bind_text("path", bound[0], path) ||
      !bind_text("out", bound[1], out) || !bind_callback("progress", bound[2], progress) ||
      !bind_flag(bound[3], skip_damaged)) {
    return nullptr;
  }
  auto report = compact_database(std::string(path), std::string(out), progress_of(progress), skip_damaged);
  if (!report) return raise_tool_error(report.error());
  return dict_of({{"collections", number(report->collections)},
                  {"records_read", number(report->records_read)},
                  {"records_written", number(report->records_written)},
                  {"backlink_entries", number(report->backlink_entries)},
                  {"bytes_read", number(report->bytes_read)},
                  {"bytes_written", number(report->bytes_written)},
                  {"skipped", skipped_list(report->skipped)}});
}

PyObject* tool_dump_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[5];
  std::string_view path;
  std::optional<std::string_view> collection;
  bool skip_damaged = false;
  PyObject* write = nullptr;
  PyObject* progress = nullptr;
  if (!bind_arguments(kDump, args, nargs, kwnames, bound) || !bind_text("path", bound[0], path)) return nullptr;
  if (bound[1] != Py_None) {
    std::string_view name;
    if (!bind_text("collection", bound[1], name)) return nullptr;
    collection = name;
  }
  if (!bind_callback("write", bound[2], write) || !bind_callback("progress", bound[3], progress) ||
      !bind_flag(bound[4], skip_damaged)) {
    return nullptr;
  }
  if (write == nullptr) {
    PyErr_SetString(PyExc_TypeError, "argument 'write': None is not callable");
    return nullptr;
  }
  auto chunk_out = [write](std::string_view chunk) -> Step {
    if (!call_with_text(write, chunk)) return std::unexpected(Error::io("write failed"));
    return {};
  };
  auto report = dump_records(std::string(path), collection, chunk_out, progress_of(progress), skip_damaged);
  if (!report) return raise_tool_error(report.error());
  return dict_of({{"records", number(report->records)}, {"skipped", skipped_list(report->skipped)}});
}

// A read of one record: the database opened read-only, and which record.
struct RecordQuery {
  std::unique_ptr<Database> db;
  std::string_view collection;
  std::string_view key;
};

// Binds path, collection and key (and fields, when asked for, as the fourth
// parameter), then opens the database; false with the exception set.
bool start_record_query(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        RecordQuery& query, std::vector<std::string>* fields = nullptr) {
  PyObject* bound[4] = {};
  std::string_view path;
  if (!bind_arguments(sig, args, nargs, kwnames, std::span(bound, sig.params.size())) ||
      !bind_text("path", bound[0], path) || !bind_text("collection", bound[1], query.collection) ||
      !bind_text("key", bound[2], query.key) || (fields && !bind_text_list("fields", bound[3], *fields))) {
    return false;
  }
  auto db = open_read_only(std::string(path));
  if (!db) {
    raise_tool_error(db.error());
    return false;
  }
  query.db = std::move(*db);
  return true;
}

PyObject* tool_get(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  RecordQuery query;
  if (!start_record_query(kGet, args, nargs, kwnames, query)) return nullptr;
  auto value = read_record(*query.db, query.collection, query.key);
  if (!value) return raise_tool_error(value.error());
  return text_object(to_json(*value));
}

PyObject* tool_resolve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  RecordQuery query;
  std::vector<std::string> fields;
  if (!start_record_query(kResolve, args, nargs, kwnames, query, &fields)) return nullptr;
  auto value = read_field(*query.db, query.collection, query.key, fields);
  if (!value) return raise_tool_error(value.error());
  return text_object(to_json(*value));
}

PyObject* tool_backlinks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  RecordQuery query;
  if (!start_record_query(kBacklinks, args, nargs, kwnames, query)) return nullptr;
  auto entries = read_backlinks(*query.db, query.collection, query.key);
  if (!entries) return raise_tool_error(entries.error());
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const BacklinkEntry& e : *entries) {
    if (!append_new(list.get(), dict_of({{"source_collection", text_object(e.source_collection)},
                                          {"source_key", text_object(e.source_key)},
                                          {"source_path", text_object(e.source_path)}}))) {
      return nullptr;
    }
  }
  return list.release();
}

// One row of the links table: source collection, key and path, then target
// collection and key.
PyObject* link_row(std::string_view collection, std::string_view key, const LinkRef& link) {
  PyRef row[] = {PyRef::steal(text_object(collection)), PyRef::steal(text_object(key)),
                 PyRef::steal(text_object(link.source_path)), PyRef::steal(text_object(link.target_collection)),
                 PyRef::steal(text_object(link.target_key))};
  for (const PyRef& field : row) {
    if (!field) return nullptr;
  }
  return PyTuple_Pack(5, row[0].get(), row[1].get(), row[2].get(), row[3].get(), row[4].get());
}

// Every link of every live record, collections and keys in sorted order (as
// the dump lists them), each record's links depth first.
PyObject* tool_links(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string_view path;
  PyObject* progress = nullptr;
  if (!bind_path_progress(kLinks, args, nargs, kwnames, path, progress)) return nullptr;
  auto db = open_read_only(std::string(path));
  if (!db) return raise_tool_error(db.error());
  PyRef rows = PyRef::steal(PyList_New(0));
  if (!rows) return nullptr;
  Progress report = progress_of(progress);
  std::vector<std::string> names = sorted_collection_names(**db);
  for (std::size_t done = 0; done < names.size(); ++done) {
    if (!report(done, names.size())) return nullptr;
    const std::string& name = names[done];
    auto guarded = (*db)->collection(name);
    if (!guarded) return raise_tool_error(guarded.error());
    std::vector<std::string> keys;
    {
      std::lock_guard lock((*guarded)->mutex);
      keys = (*guarded)->collection->live_keys();
    }
    std::ranges::sort(keys);
    for (const std::string& key : keys) {
      auto value = (*db)->get(name, key);
      if (!value) {
        return raise_tool_error(value.error().in_context(quote_text(name) + " " + quote_text(key)));
      }
      for (const LinkRef& link : collect_links(*value)) {
        if (!append_new(rows.get(), link_row(name, key, link))) return nullptr;
      }
    }
  }
  if (!report(names.size(), names.size())) return nullptr;
  return rows.release();
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

// Added to the module by its initialisation (module.cc).
PyMethodDef tool_functions[] = {
    {"_stat", as_method(guarded<tool_stat>), kFastcall, "_stat(path)\n--\n\n"},
    {"_check", as_method(guarded<tool_check>), kFastcall, "_check(path, progress=None)\n--\n\n"},
    {"_repair", as_method(guarded<tool_repair>), kFastcall, "_repair(path, notice=None, progress=None, dry_run=False)\n--\n\n"},
    {"_compact", as_method(guarded<tool_compact>), kFastcall, "_compact(path, out, progress=None, skip_damaged=False)\n--\n\n"},
    {"_dump_records", as_method(guarded<tool_dump_records>), kFastcall,
     "_dump_records(path, collection, write, progress=None, skip_damaged=False)\n--\n\n"},
    {"_get", as_method(guarded<tool_get>), kFastcall, "_get(path, collection, key)\n--\n\n"},
    {"_resolve", as_method(guarded<tool_resolve>), kFastcall, "_resolve(path, collection, key, fields)\n--\n\n"},
    {"_backlinks", as_method(guarded<tool_backlinks>), kFastcall, "_backlinks(path, collection, key)\n--\n\n"},
    {"_links", as_method(guarded<tool_links>), kFastcall, "_links(path, progress=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quillet::py
