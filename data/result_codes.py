#!/usr/bin/env python3
"""Reads data/result-codes.tsv, checks it, and writes what is made from it.

    result_codes.py TABLE --c-header OUT     tavoctl_text.h (C and C++)
    result_codes.py TABLE --python OUT       the Python binding's table
    result_codes.py TABLE --csharp OUT       the C# binding's table
    result_codes.py TABLE --reasons OUT      the library's reason names
    result_codes.py TABLE --check            only check the table

The table's own header comment describes its five columns. A line that
breaks the format stops the build with the line number, so a code added by
hand cannot reach the consumers half-written.
"""
import argparse
import json
import re
import sys
from typing import NamedTuple

# The `next` column's vocabulary, in the order of the generated enums.
NEXT = [
    "none",
    "retry",
    "poll",
    "pay-back",
    "read-board",
    "reopen",
    "fix-call",
    "service",
]


class Row(NamedTuple):
    code: int
    export: str
    next: str
    text: str
    reason: str

    @property
    def message(self) -> str:
        """The text as every consumer shows it."""
        return self.text if self.code == 0 else f"{self.export}: {self.text}"


def reason_base(code, reason):
    """The name of a reason and the low byte it stands for (the base of a
    NAME+n or NAME-n), or None for "-"."""
    m = re.fullmatch(r"([A-Za-z0-9]+)(?:([+-])([0-9]+))?", reason)
    if reason == "-" or not m:
        return None
    n = int(m.group(3) or 0)
    return m.group(1), ((code & 0xFF) - (n if m.group(2) == "+" else -n)) & 0xFF


def read_table(path):
    rows = []
    bases = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            where = f"{path}:{number}"
            fields = line.split("\t")
            if len(fields) != 5:
                sys.exit(f"{where}: {len(fields)} columns, not 5 (tab-separated)")
            code, export, next_, text, reason = fields
            if not re.fullmatch(r"-|[A-Z][A-Za-z0-9]*([+-][0-9]+)?", reason):
                sys.exit(f"{where}: reason {reason!r} is not Name, Name+n, Name-n or -")
            if not re.fullmatch(r"0x[0-9A-F]{4}", code):
                sys.exit(f"{where}: code {code!r} is not 0xNNNN (upper-case hex)")
            if next_ not in NEXT:
                sys.exit(f"{where}: next {next_!r} is not one of {', '.join(NEXT)}")
            if not export.strip() or not text.strip() or not line.isascii():
                sys.exit(f"{where}: empty export or text, or not plain ASCII")
            value = int(code, 16)
            base = reason_base(value, reason)
            if base is not None and bases.setdefault(base[0], base[1]) != base[1]:
                sys.exit(f"{where}: reason {reason} gives {base[0]} the value "
                         f"0x{base[1]:02X}, elsewhere 0x{bases[base[0]]:02X}")
            if rows and value <= rows[-1].code:
                sys.exit(f"{where}: {code} is not above the code before it")
            rows.append(Row(value, export, next_, text, reason))
    if not rows or rows[0].code != 0:
        sys.exit(f"{path}: the table must start with 0x0000")
    return rows


def reason_values(rows):
    """Each reason name with the low byte it stands for; read_table has
    made sure that a name has one value."""
    return dict(filter(None, (reason_base(r.code, r.reason) for r in rows)))


def reasons_header(rows):
    values = reason_values(rows)
    members = "\n".join(
        f"    {n} = 0x{v:02X}," for n, v in sorted(values.items(), key=lambda nv: (nv[1], nv[0]))
    )
    return f"""\
// The reasons of the library's result codes by name: the low byte of a code,
// which the high byte (the function number) completes. Generated from
// data/result-codes.tsv by data/result_codes.py: edit the table, not this.
#ifndef TAVOCTL_REASONS_H
#define TAVOCTL_REASONS_H

#include <cstdint>

struct Reason {{
  enum : uint8_t {{
{members}
  }};
}};

#endif  // TAVOCTL_REASONS_H
"""


def c_string(s):
    return json.dumps(s, ensure_ascii=True)


def c_header(rows):
    enum = "\n".join(
        f"  TAVOCTL_NEXT_{n.upper().replace('-', '_')} = {i}," for i, n in enumerate(NEXT)
    )
    names = ", ".join(c_string(n) for n in NEXT)
    table = "\n".join(
        f"      {{0x{r.code:04X}u, TAVOCTL_NEXT_{r.next.upper().replace('-', '_')}, "
        f"{c_string(r.export)},\n       {c_string(r.text)}}},"
        for r in rows
    )
    return f"""\
/* tavoctl_text.h: every result code of the TAVO_ exports in words, and what
 * the application should do next. Generated from data/result-codes.tsv by
 * data/result_codes.py: edit the table, not this file.
 *
 * Header-only, C99 or C++: nothing here is exported by the library, and it
 * needs neither the library nor a driver.
 *
 *   const tavoctl_result *r = tavoctl_result_find(code);
 *   if (r && r->next == TAVOCTL_NEXT_POLL) ...
 *   char line[256];
 *   tavoctl_result_message(code, line, sizeof line);
 *     -> "TAVO_Charge: the change that would remain cannot be paid ..."
 */
#ifndef TAVOCTL_TEXT_H
#define TAVOCTL_TEXT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {{
#endif

/* What the application does after a code (the table's `next` column). */
typedef enum tavoctl_next {{
{enum}
}} tavoctl_next;

typedef struct tavoctl_result {{
  uint16_t code;
  tavoctl_next next;
  /* The export that returns the code, or the shared step inside several
   * exports that produces it ("acceptance control", "note follow-up"),
   * "busy" for the busy codes and "any" for 0x0000. */
  const char *source;
  /* The meaning, then what to do next. */
  const char *text;
}} tavoctl_result;

/* Every code, ascending; `*count` receives their number. */
static inline const tavoctl_result *tavoctl_result_table(size_t *count) {{
  static const tavoctl_result table[] = {{
{table}
  }};
  *count = sizeof table / sizeof table[0];
  return table;
}}

/* The entry of `code`, or NULL for a code that no export returns. */
static inline const tavoctl_result *tavoctl_result_find(uint32_t code) {{
  size_t count = 0, low = 0, high;
  const tavoctl_result *table = tavoctl_result_table(&count);
  high = count;
  while (low < high) {{
    size_t mid = low + (high - low) / 2;
    if (table[mid].code == code) return &table[mid];
    if (table[mid].code < code) {{
      low = mid + 1;
    }} else {{
      high = mid;
    }}
  }}
  return NULL;
}}

/* The `next` keyword as the table writes it ("pay-back"). */
static inline const char *tavoctl_next_name(tavoctl_next next) {{
  static const char *const names[] = {{{names}}};
  return (unsigned)next < sizeof names / sizeof names[0] ? names[next] : "?";
}}

/* "SOURCE: TEXT" ("success" for 0, "unknown result code 0xNNNN" for a code
 * no export returns) into `buffer`, cut to `size`; returns `buffer`. */
static inline char *tavoctl_result_message(uint32_t code, char *buffer,
                                           size_t size) {{
  const tavoctl_result *r = tavoctl_result_find(code);
  if (size == 0) return buffer;
  if (!r) {{
    snprintf(buffer, size, "unknown result code 0x%04lX",
             (unsigned long)code);
  }} else if (r->code == 0) {{
    snprintf(buffer, size, "%s", r->text);
  }} else {{
    snprintf(buffer, size, "%s: %s", r->source, r->text);
  }}
  return buffer;
}}

#ifdef __cplusplus
}}
#endif

#endif /* TAVOCTL_TEXT_H */
"""


def python_module(rows):
    lines = [
        '"""Every result code of the TAVO_ exports: (export, next, text).',
        "",
        "Generated from data/result-codes.tsv by data/result_codes.py.",
        '"""',
        "",
        f"NEXT = {NEXT!r}",
        "",
        "CODES = {",
    ]
    lines += [f"    0x{r.code:04X}: ({r.export!r}, {r.next!r}, {r.text!r})," for r in rows]
    lines.append("}")
    return "\n".join(lines) + "\n"


def csharp_class(rows):
    def pascal(n):
        return "".join(p.capitalize() for p in n.split("-"))

    members = ",\n".join(f"        {pascal(n)} = {i}" for i, n in enumerate(NEXT))
    entries = "\n".join(
        f"            {{ 0x{r.code:04X}, new ResultInfo(0x{r.code:04X}, "
        f"{c_string(r.export)}, Next.{pascal(r.next)}, {c_string(r.text)}) }},"
        for r in rows
    )
    return f"""\
// Every result code of the TAVO_ exports in words. Generated from
// data/result-codes.tsv by data/result_codes.py: edit the table, not this.
using System.Collections.Generic;

namespace Tavoctl
{{
    /// <summary>What the application does after a result code.</summary>
    public enum Next
    {{
{members}
    }}

    /// <summary>One line of the table of result codes.</summary>
    public sealed class ResultInfo
    {{
        internal ResultInfo(int code, string source, Next next, string text)
        {{
            Code = code;
            Source = source;
            Next = next;
            Text = text;
        }}

        public int Code {{ get; private set; }}
        /// <summary>The export, or the shared step that produced the code.</summary>
        public string Source {{ get; private set; }}
        public Next Next {{ get; private set; }}
        public string Text {{ get; private set; }}
        public string Message {{ get {{ return Code == 0 ? Text : Source + ": " + Text; }} }}
    }}

    public static class ResultCodes
    {{
        public static readonly IDictionary<int, ResultInfo> All = new Dictionary<int, ResultInfo>
        {{
{entries}
        }};

        /// <summary>The entry of a code, or null for one no export returns.</summary>
        public static ResultInfo Find(int code)
        {{
            ResultInfo info;
            return All.TryGetValue(code, out info) ? info : null;
        }}

        public static string Message(int code)
        {{
            ResultInfo info = Find(code);
            return info != null ? info.Message : string.Format("unknown result code 0x{{0:X4}}", code & 0xFFFF);
        }}
    }}
}}
"""


def write(path, text):
    # Rewritten only when it changes, so a build does not recompile for nothing.
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("table")
    p.add_argument("--c-header")
    p.add_argument("--python")
    p.add_argument("--csharp")
    p.add_argument("--reasons")
    p.add_argument("--check", action="store_true")
    a = p.parse_args()
    rows = read_table(a.table)
    if a.c_header:
        write(a.c_header, c_header(rows))
    if a.python:
        write(a.python, python_module(rows))
    if a.csharp:
        write(a.csharp, csharp_class(rows))
    if a.reasons:
        write(a.reasons, reasons_header(rows))
    if a.check:
        print(f"{a.table}: {len(rows)} codes")


if __name__ == "__main__":
    main()
