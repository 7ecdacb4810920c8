// Tools over a database directory, the work behind the quilletdb command:
// record-by-record scanners of the two log formats, stat, check, repair and
// compact, reads through a read-only open, and the JSON rendering of values
// that the command prints.
//
// Which files a tool looks at: every <name>.qdb and <name>.qbl directly in
// the directory (the names Database::open registers), and the .qbl file of
// every collection that a live record links to. Collections whose names hold
// "/" live in subdirectories and are not seen.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/database.h"
#include "io/file.h"
#include "value/value.h"

namespace quillet {

// A tool's failure, worded for a person on one line.
struct ToolError {
  std::string message;
  const std::string& text() const { return message; }
};

// The outcome of one step of a tool: go on, or stop with this error.
using Step = std::expected<void, ToolError>;

// Told the work done so far and the total expected (bytes read, or records
// for a dump); returning false stops the operation with "interrupted".
using Progress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

// Told what repair is about to change, before it changes it; returning false
// stops the repair there with "interrupted".
using Notice = std::function<bool(const std::string& text)>;

// Reports progress to a Progress callback in steps of about 1/256 of the
// total, but at least every 4 Mi units (bytes, or records for a dump).
class ProgressMeter {
 public:
  ProgressMeter(const Progress& report, std::uint64_t total);
  // Adds `bytes` of work done; fails with "interrupted" when the callback
  // asks to stop.
  Step advance(std::uint64_t bytes);
  // Reports the end (done = total) once.
  Step finish();

 private:
  const Progress& report_;
  std::uint64_t total_;
  std::uint64_t step_;
  std::uint64_t done_ = 0;
  std::uint64_t reported_ = 0;
};

// ---------------------------------------------------------------------------
// Scanners. A record's views point into the scanner's buffer and are valid
// only during the callback that receives it.

// One whole record of a collection file, as it lies in the file.
struct DataRecord {
  std::uint64_t offset = 0;
  std::string_view key;
  std::string_view value;  // the encoded value: V bytes, possibly none
  std::string_view bytes;  // the whole record, header included
};

// One whole record of a backlink file.
struct LinkRecord {
  std::uint64_t offset = 0;
  std::uint8_t op = 0;
  std::string_view target_key;
  std::string_view source_collection;
  std::string_view source_key;
  std::string_view source_path;
  std::string_view body;   // the four length-prefixed strings, as in the file
  std::string_view bytes;  // the whole record, operation byte included
};

// Where a scan stopped: whole records end at `complete_end`, and the bytes
// from there to `end` are an incomplete last record.
struct ScanEnd {
  std::uint64_t complete_end = 0;
  std::uint64_t end = 0;
  std::uint64_t tail_bytes() const { return end - complete_end; }
};

using DataRecordFn = std::function<Step(const DataRecord&)>;
using LinkRecordFn = std::function<Step(const LinkRecord&)>;

// Opens `path` for reading only (never creating it) and takes the shared
// lock, so that no database cuts the file while it is scanned. Refuses
// anything that is not a regular file.
std::expected<Fd, IoError> open_for_scan(const std::string& path);

// Calls `on_record` for every whole record of [0, end) of the open file, in
// file order, stopping at the first error it returns. A record is whole when
// its declared lengths fit in what is left before `end`, exactly as the store
// frames it when it opens the file; whatever follows the last whole record is
// the incomplete tail. `label` names the file in errors. `meter` may be null.
std::expected<ScanEnd, ToolError> scan_data_records(int fd, std::uint64_t end, std::string_view label,
                                                    const DataRecordFn& on_record, ProgressMeter* meter = nullptr);
std::expected<ScanEnd, ToolError> scan_link_records(int fd, std::uint64_t end, std::string_view label,
                                                    const LinkRecordFn& on_record, ProgressMeter* meter = nullptr);

// ---------------------------------------------------------------------------
// stat: what the files hold. Reads every record once; judges nothing.

struct CollectionStat {
  std::string name;
  std::uint64_t live_keys = 0;
  std::uint64_t records = 0;
  std::uint64_t file_bytes = 0;
  std::uint64_t live_bytes = 0;  // the latest records of the live keys
  std::uint64_t tail_bytes = 0;  // an incomplete last record
  // The share of the file that compaction would drop.
  double dead_share() const;
};

struct BacklinkFileStat {
  std::string name;  // the target collection
  std::uint64_t records = 0;
  std::uint64_t live_entries = 0;  // entries the replay lists
  std::uint64_t file_bytes = 0;
  std::uint64_t tail_bytes = 0;
};

struct DatabaseStat {
  std::vector<CollectionStat> collections;      // by name
  std::vector<BacklinkFileStat> backlink_files;  // by name
};

std::expected<DatabaseStat, ToolError> stat_database(const std::string& dir, const Progress& progress = {});

// ---------------------------------------------------------------------------
// check: reads and decodes every record of every file, replays every backlink
// file and compares the backlinks with those the live records call for.
// Changes nothing. Backlinks are compared as sets of distinct entries per
// target key: the store may list one entry twice, which reads the same.

struct Problem {
  std::string file;  // relative to the database directory
  std::optional<std::uint64_t> offset;
  std::string message;
};

struct CheckReport {
  // The first kMaxProblems problems, in the order found; the rest are counted.
  std::vector<Problem> problems;
  std::uint64_t problems_omitted = 0;
  std::uint64_t files = 0;
  std::uint64_t records = 0;
  std::uint64_t live_keys = 0;
  std::uint64_t backlink_records = 0;
  std::uint64_t backlink_entries = 0;  // entries the live records call for
  bool sound() const { return problems.empty() && problems_omitted == 0; }
};

inline constexpr std::size_t kMaxProblems = 1000;

std::expected<CheckReport, ToolError> check_database(const std::string& dir, const Progress& progress = {});

// ---------------------------------------------------------------------------
// repair: refuses unless it can lock every file of the database exclusively
// (no other open database holds any of them). Then cuts every incomplete last
// record, whatever its length, and rebuilds every backlink file from the live
// records: written to <name>.qbl.tmp, synced, and renamed over <name>.qbl.
// Entries that were already listed keep their order; missing ones follow.
// Every change is announced through `notice` before it is made. Records that
// do not decode are left as they are (check still reports them).

struct RepairReport {
  std::uint64_t tails_cut = 0;
  std::uint64_t tail_bytes_cut = 0;
  std::uint64_t backlink_files_rebuilt = 0;
  std::uint64_t backlink_entries_added = 0;    // missing before the repair
  std::uint64_t backlink_entries_dropped = 0;  // listed before, called for by no record
  std::uint64_t damaged_records = 0;           // left for a person to look at
};

std::expected<RepairReport, ToolError> repair_database(const std::string& dir, const Notice& notice,
                                                       const Progress& progress = {});

// ---------------------------------------------------------------------------
// compact: writes the live records of every collection (each one's latest
// record, byte for byte, in file order) and backlink files rebuilt from them
// into `out`, which must not exist (its parent must) or be an empty
// directory. The source is only read. Refuses a source with a record that
// check would report among the live ones; on any failure the files made in
// `out` are removed again.

struct CompactReport {
  std::uint64_t collections = 0;
  std::uint64_t records_read = 0;
  std::uint64_t records_written = 0;
  std::uint64_t backlink_entries = 0;
  std::uint64_t bytes_read = 0;     // the source's collection and backlink files
  std::uint64_t bytes_written = 0;
};

std::expected<CompactReport, ToolError> compact_database(const std::string& dir, const std::string& out,
                                                         const Progress& progress = {});

// ---------------------------------------------------------------------------
// Reads through a read-only open (OpenMode::ReadOnly): nothing is created,
// cut or written. A collection is unknown when it has no .qdb file (nor,
// for backlinks, a .qbl file).

std::expected<std::unique_ptr<Database>, ToolError> open_read_only(const std::string& dir);

std::vector<std::string> sorted_collection_names(const Database& db);

std::expected<Value, ToolError> read_record(Database& db, std::string_view collection, std::string_view key);
std::expected<std::vector<BacklinkEntry>, ToolError> read_backlinks(Database& db, std::string_view collection,
                                                                    std::string_view key);
std::expected<Value, ToolError> read_field(Database& db, std::string_view collection, std::string_view key,
                                           std::span<const std::string> path);

// Writes every live record of `collection` (of every collection when
// nullopt), collections and keys in sorted order, as JSON Lines
// {"collection": ..., "key": ..., "value": ...}, handing `write` chunks of
// whole lines. Returns how many records were written.
std::expected<std::uint64_t, ToolError> dump_records(Database& db, std::optional<std::string_view> collection,
                                                     const std::function<Step(std::string_view)>& write,
                                                     const Progress& progress = {});

// ---------------------------------------------------------------------------
// JSON rendering of values, one line:
//   null, true, false, integers and floats as JSON numbers (a float always
//   shows a "." or an exponent); NaN and the infinities as {"$float": "NaN"},
//   {"$float": "inf"}, {"$float": "-inf"}; text as a JSON string; arrays as
//   arrays; maps as objects in their order, wrapped as {"$map": {...}} when
//   any key starts with "$"; bytes as {"$bytes": "<base64>"}; links as
//   {"$link": path, "local": <map>}; a tombstone as {"$tombstone": true};
//   dates, times and date-times as {"$date": n}, {"$time": n},
//   {"$datetime": n}.

void append_json(const Value& value, std::string& out);
std::string to_json(const Value& value);
void append_json_string(std::string_view text, std::string& out);

}  // namespace quillet
