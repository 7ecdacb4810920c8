#!/usr/bin/env python3
"""Generates src/value/unicode_tables.cc from the Unicode Character Database.

The quoted-text escapes of the debug rendering and of the reprs depend on
character properties. They are pinned to one Unicode version by generating
the tables once and checking the result in, so a build needs neither the data
files nor Python. To move to another version, install the data (on Debian:
`apt-get install unicode-data`), run

    python3 scripts/gen_unicode_tables.py [UCD_DIR] [OUTPUT]

(defaults: /usr/share/unicode and src/value/unicode_tables.cc next to this script)
and commit the regenerated file.

Sources:
  UnicodeData.txt            general category of every assigned code point;
                             "<..., First>"/"<..., Last>" pairs cover ranges,
                             and every code point not listed is Cn.
  DerivedCoreProperties.txt  the Grapheme_Extend property.
  extracted/DerivedGeneralCategory.txt, when present, is used only as a
  cross-check of the categories read from UnicodeData.txt.
"""

import pathlib
import re
import sys

MAX_CODE_POINT = 0x10FFFF

# Non-printable for the debug rendering: these categories, and the separator
# category Zs except the plain space.
NON_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
PRINTABLE_SEPARATOR = 0x20
# Escaped by the Python reprs: controls, format characters, unassigned.
REPR_ESCAPED_CATEGORIES = {"Cc", "Cf", "Cn"}


def fail(message):
    sys.exit(f"gen_unicode_tables: {message}")


def file_version(path):
    """The version in a data file's first line, e.g. "# Foo-15.0.0.txt"."""
    with open(path, encoding="utf-8") as f:
        first = f.readline()
    match = re.match(r"#\s*\S+-(\d+\.\d+\.\d+)\.txt", first)
    if not match:
        fail(f"no version in the first line of {path}")
    return match.group(1)


def read_categories(path):
    categories = ["Cn"] * (MAX_CODE_POINT + 1)
    range_start = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            if len(fields) < 3:
                continue
            code_point, name, category = int(fields[0], 16), fields[1], fields[2]
            if name.endswith(", First>"):
                range_start = code_point
                continue
            if name.endswith(", Last>"):
                if range_start is None:
                    fail(f"range end without start at {code_point:04X}")
                for c in range(range_start, code_point + 1):
                    categories[c] = category
                range_start = None
                continue
            categories[code_point] = category
    if range_start is not None:
        fail(f"range start without end at {range_start:04X}")
    return categories


def read_property_ranges(path, wanted):
    """Code points with property `wanted` in a "A..B ; Prop # ..." file."""
    members = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            span, prop = (part.strip() for part in data.split(";")[:2])
            if prop != wanted:
                continue
            first, _, last = span.partition("..")
            members.update(range(int(first, 16), int(last or first, 16) + 1))
    return members


def cross_check_categories(categories, path):
    """Every code point of the derived file must have the category we built."""
    seen = 0
    with open(path, encoding="utf-8") as f:
        for line in f:
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            span, category = (part.strip() for part in data.split(";")[:2])
            first, _, last = span.partition("..")
            for c in range(int(first, 16), int(last or first, 16) + 1):
                if categories[c] != category:
                    fail(f"U+{c:04X} is {categories[c]} here but {category} in {path}")
                seen += 1
    if seen != MAX_CODE_POINT + 1:
        fail(f"{path} covers {seen} code points, expected {MAX_CODE_POINT + 1}")


def to_ranges(predicate):
    ranges = []
    for c in range(MAX_CODE_POINT + 1):
        if not predicate(c):
            continue
        if ranges and ranges[-1][1] == c - 1:
            ranges[-1][1] = c
        else:
            ranges.append([c, c])
    return ranges


def format_table(name, ranges):
    lines = [f"constexpr CodePointRange {name}[] = {{"]
    row = []
    for first, last in ranges:
        row.append(f"{{0x{first:04X}, 0x{last:04X}}}")
        if len(row) == 4:
            lines.append("    " + ", ".join(row) + ",")
            row = []
    if row:
        lines.append("    " + ", ".join(row) + ",")
    lines.append("};")
    return "\n".join(lines)


LOOKUP_CODE = """\
bool contains(std::span<const CodePointRange> ranges, char32_t c) {
  // The first range that ends at or after c is the only one that can hold it.
  auto it = std::lower_bound(ranges.begin(), ranges.end(), c,
                             [](const CodePointRange& range, char32_t x) { return range.last < x; });
  return it != ranges.end() && it->first <= c;
}

}  // namespace

std::string_view version() { return kVersion; }

std::span<const CodePointRange> non_printable_ranges() { return kNonPrintable; }
std::span<const CodePointRange> grapheme_extend_ranges() { return kGraphemeExtend; }
std::span<const CodePointRange> repr_escaped_ranges() { return kReprEscaped; }

bool is_printable(char32_t c) { return c <= kMaxCodePoint && !contains(kNonPrintable, c); }
bool is_grapheme_extend(char32_t c) { return contains(kGraphemeExtend, c); }
bool is_repr_escaped(char32_t c) { return c > kMaxCodePoint || contains(kReprEscaped, c); }
"""


def generate(ucd_dir):
    unicode_data = ucd_dir / "UnicodeData.txt"
    core_properties = ucd_dir / "DerivedCoreProperties.txt"
    derived_categories = ucd_dir / "extracted" / "DerivedGeneralCategory.txt"

    version = file_version(core_properties)
    categories = read_categories(unicode_data)
    if derived_categories.exists():
        if file_version(derived_categories) != version:
            fail(f"{derived_categories} and {core_properties} are of different versions")
        cross_check_categories(categories, derived_categories)
    grapheme_extend = read_property_ranges(core_properties, "Grapheme_Extend")
    if not grapheme_extend:
        fail(f"no Grapheme_Extend entries in {core_properties}")

    non_printable = to_ranges(
        lambda c: categories[c] in NON_PRINTABLE_CATEGORIES and c != PRINTABLE_SEPARATOR)
    repr_escaped = to_ranges(lambda c: categories[c] in REPR_ESCAPED_CATEGORIES)
    extend = to_ranges(lambda c: c in grapheme_extend)

    return f"""\
// GENERATED by scripts/gen_unicode_tables.py from the Unicode Character
// Database, version {version} (UnicodeData.txt, DerivedCoreProperties.txt).
// Do not edit by hand: regenerate, and commit the result.
//
// Non-printable: general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, and Zs except
// U+0020. Grapheme extend: the Grapheme_Extend property. Repr-escaped: general
// categories Cc, Cf and Cn. Each table is sorted, its ranges are inclusive and
// disjoint.
#include "value/unicode_tables.h"

#include <algorithm>

namespace quillet::unicode {{
namespace {{

constexpr std::string_view kVersion = "{version}";
constexpr char32_t kMaxCodePoint = {hex(MAX_CODE_POINT)};

{format_table("kNonPrintable", non_printable)}

{format_table("kGraphemeExtend", extend)}

{format_table("kReprEscaped", repr_escaped)}

{LOOKUP_CODE}
}}  // namespace quillet::unicode
"""


def main(argv):
    if len(argv) > 3:
        sys.exit(__doc__)
    ucd_dir = pathlib.Path(argv[1] if len(argv) > 1 else "/usr/share/unicode")
    default_output = pathlib.Path(__file__).resolve().parent.parent / "src" / "value" / "unicode_tables.cc"
    output = pathlib.Path(argv[2]) if len(argv) > 2 else default_output
    output.write_text(generate(ucd_dir), encoding="utf-8")


if __name__ == "__main__":
    main(sys.argv)
