// Short cuts between Python objects and encoded values for the shapes most
// programs store: exact built-in types, nested a few levels. They skip the
// intermediate Value tree. Whatever they do not handle they leave, without
// side effects, to the general conversion in convert.h, so results and errors
// are exactly the general conversion's.
#pragma once

#include "python/pyref.h"

#include <string>
#include <string_view>

namespace quillet::py {

// Encodes `object` into `out` (replacing its contents) and tells whether it
// wrote any link. False, with no Python error set, when the object is left to
// py_to_value.
bool encode_common(PyObject* object, std::string& out, bool& has_links);

enum class FastDecode { Done, Failed, LeftToGeneral };

// Builds the object for one encoded value into `*result`. Failed: a Python
// error is set (memory, recursion). LeftToGeneral: nothing is set; the caller
// decodes with the general path, which also reports any decoding error.
FastDecode decode_common(std::string_view encoded, PyObject** result);

}  // namespace quillet::py
