// Telling damage from a torn append, and finding where whole records resume
// after damage: what repair salvages and what the open consults before it
// cuts a tail.
//
// A record is valid when a writer could have written it: in a collection
// file its key is UTF-8 and its value is exactly one encoded value; in a
// backlink file its operation is add or remove and its four strings are
// UTF-8. A chain is a run of whole, valid records, one after the other.
// Reading resumes after damage at the first later offset where a chain
// starts: the chain is followed to the end of the file or to the next damage,
// from which the search starts again. The first candidate tried is where the
// damaged record's own lengths say it ends.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "format/records.h"

namespace quillet::records {

// Why a whole record is not valid, or empty when it is.
std::string fault_of(const DataRecord& record);  // REQUIRES: read with Extent::Whole
std::string fault_of(const LinkRecord& record);

// A stretch of a log where no chain resumes: [offset, offset + size).
struct Damage {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  // The tail an interrupted append leaves: the stretch ends the file, its
  // first record does not fit (or it is zeros), and no chain starts in it.
  bool torn = false;
  // What is wrong at `offset`: the first record's fault, or that it does not fit.
  std::string why;
  std::uint64_t end() const { return offset + size; }
};

// Every damaged stretch of [0, end) of the file, in file order; none when
// the file is a chain of valid records. Fails only when a read fails.
// REQUIRES: `end` is at most the file's size.
std::expected<std::vector<Damage>, Error> find_damage(int fd, Layout layout, std::uint64_t end);

// True when a chain starts somewhere in (from, end): the bytes a scan found
// torn at `from` hold whole records after resynchronising, the sign of
// damage rather than of an interrupted append.
std::expected<bool, Error> holds_records_after(int fd, Layout layout, std::uint64_t from, std::uint64_t end);

}  // namespace quillet::records
