#!/usr/bin/env python3
"""Turns the project's table of result codes (data/result-codes.tsv) into
the C++ table the service answers with: code, export, next step, text.

usage: gen_codes.py TABLE.tsv OUT.inc   (TABLE "-" for an empty table)
"""
import sys


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main():
    source, out = sys.argv[1], sys.argv[2]
    rows = []
    if source != "-":
        with open(source, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                line = line.rstrip("\n")
                if not line or line.startswith("#"):
                    continue
                fields = line.split("\t")
                if len(fields) < 4:
                    sys.exit(f"{source}:{number}: expected 4 tab-separated "
                             f"fields, found {len(fields)}")
                code, export, step, text = fields[:4]
                rows.append((int(code, 16), export, step, text))
    with open(out, "w", encoding="utf-8") as f:
        f.write("// Generated from data/result-codes.tsv by "
                "service/gen_codes.py; do not edit.\n")
        for code, export, step, text in rows:
            f.write(f"{{0x{code:04X}, {c_string(export)}, {c_string(step)}, "
                    f"{c_string(text)}}},\n")


if __name__ == "__main__":
    main()
