// Conversion between Python objects and values, in both directions.
//
// Inwards an object is tested in this order, the first match deciding: None,
// Tombstone, Link (both by their exact class), bool (exact), then int, float,
// str, bytes, list and dict or any subclass of them; everything else is
// refused with TypeError "cannot convert {type name} to a QuilletDB value".
// Outwards Date, Time and DateTime come back as plain ints.
//
// Map order: maps keep insertion order, so a dict read back has the order it
// was written in. When two keys of one dict have the same text (possible with
// str subclasses that override equality), the entry sits at the first key's
// position and holds the last key's value.
//
// Nesting: every list, dict and link level is counted against kMaxNesting
// (RecursionError "value nested deeper than the limit of 10000 levels"), and
// every list and dict level also against the interpreter's recursion limit
// (RecursionError "maximum recursion depth exceeded while converting a value"),
// so deep or self-containing data raises RecursionError in both directions.
// The depth alone is compared, not the caller's own frames, so the outcome is
// the same on every interpreter version.
//
// All four functions run with the GIL held, never release it and never touch
// a database. On failure they return null / nullopt with the Python error set.
#pragma once

#include "python/pyref.h"

#include <optional>

#include "value/value.h"

namespace quillet::py {

std::optional<Value> py_to_value(PyObject* object);

// How many levels of lists and dicts a conversion starting now admits: the
// lower of kMaxNesting and the interpreter's recursion limit.
std::size_t conversion_depth_limit();

// REQUIRES: `dict` is a dict or a subclass. A key that is not a str raises
// "'{type}' object cannot be converted to 'PyString'".
std::optional<Map> py_dict_to_map(PyObject* dict);

// Consumes the value (links are moved into the new Link objects).
PyObject* value_to_py(Value&& value);

// Leaves `map` untouched; returns a new dict.
PyObject* map_to_py(const Map& map);

}  // namespace quillet::py
