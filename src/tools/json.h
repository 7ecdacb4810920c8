// JSON rendering of values, one line:
//   null, true, false, integers and floats as JSON numbers (a float always
//   shows a "." or an exponent); NaN and the infinities as {"$float": "NaN"},
//   {"$float": "inf"}, {"$float": "-inf"}; text as a JSON string; arrays as
//   arrays; maps as objects in their order, wrapped as {"$map": {...}} when
//   any key starts with "$"; bytes as {"$bytes": "<base64>"}; links as
//   {"$link": path, "local": <map>}; a tombstone as {"$tombstone": true};
//   dates, times and date-times as {"$date": n}, {"$time": n},
//   {"$datetime": n}.
#pragma once

#include <string>
#include <string_view>

#include "value/value.h"

namespace quillet {

void append_json(const Value& value, std::string& out);
std::string to_json(const Value& value);
void append_json_string(std::string_view text, std::string& out);

}  // namespace quillet
