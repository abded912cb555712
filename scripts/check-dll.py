#!/usr/bin/env python3
"""Checks a built tavoctl.dll against what applications and the driver
expect of it, reading the DLL with objdump:

  exports   only TAVO_ functions, each under its plain name at its ordinal
            (with --require-all, all twenty of them);
  calls     on i686 every export is __stdcall: each of its ret instructions
            pops the arguments, 4 bytes for each argument in tavoctl.h;
  driver    FTD2XX.DLL is imported by ordinal only, exactly the thirteen
            ordinals below, and no FT_ function is imported by name;
  runtime   the only other DLLs imported are Windows system DLLs (no
            libstdc++, libgcc or winpthread beside the DLL);
  version   a VERSIONINFO resource naming tavoctl and the project version;
  shipping  the DLL is stripped (no symbol table, no debug sections) and at
            most 64 KiB (--max-size). The calling-convention check reads the
            symbols of the unstripped DLL kept beside it (DLL.debug, or
            --unstripped), after checking that its code is the same.

It also checks that src/api/tavoctl.def and src/api/ftd2xx.def agree with
the tables below, and the argument sizes in tavoctl.def with tavoctl.h.

usage: check-dll.py [--require-all] [--max-size BYTES] [--unstripped DLL]
                    DLL {i686|x86_64}
Exits 0 when every check passes, 1 otherwise.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The export table: ordinal -> name. Applications bind to these ordinals.
EXPORTS = {
    1: "TAVO_Open",
    2: "TAVO_Close",
    3: "TAVO_Reset",
    4: "TAVO_ClearBackup",
    5: "TAVO_GetPCBData",
    6: "TAVO_GetTAVOData",
    7: "TAVO_GetBackupData",
    8: "TAVO_TradeBegin",
    9: "TAVO_TradeEnd",
    10: "TAVO_AcceptEx",
    11: "TAVO_Accept",
    12: "TAVO_Charge",
    13: "TAVO_PayBack",
    14: "TAVO_PayOut",
    15: "TAVO_7SegDot",
    16: "TAVO_7SegNum",
    17: "TAVO_7SegPtn",
    18: "TAVO_BuzzCtrl",
    19: "TAVO_OutputPort",
    20: "TAVO_UserCnt",
}

# What the DLL takes from the D2XX driver: ordinal -> name.
DRIVER_DLL = "ftd2xx.dll"
DRIVER_IMPORTS = {
    28: "FT_ListDevices",
    1: "FT_Open",
    6: "FT_ResetDevice",
    61: "FT_GetDeviceInfo",
    7: "FT_SetBaudRate",
    8: "FT_SetDataCharacteristics",
    9: "FT_SetFlowControl",
    15: "FT_SetChars",
    17: "FT_SetTimeouts",
    2: "FT_Close",
    16: "FT_Purge",
    4: "FT_Write",
    3: "FT_Read",
}

# DLLs that every Windows installation has. Anything else besides the
# driver would have to be shipped with the library.
SYSTEM_DLLS = {
    "kernel32.dll",
    "kernelbase.dll",
    "ntdll.dll",
    "msvcrt.dll",
    "ucrtbase.dll",
    "user32.dll",
    "advapi32.dll",
}
SYSTEM_DLL_PREFIXES = ("api-ms-win-",)
MINGW_RUNTIME = re.compile(r"^(libstdc\+\+|libgcc|libwinpthread|libssp|"
                           r"libgomp|libquadmath|libatomic)", re.I)

FORMATS = {"i686": "pei-i386", "x86_64": "pei-x86-64"}


class Report:
    def __init__(self):
        self.failures = 0

    def ok(self, what):
        print(f"  ok    {what}")

    def fail(self, what, details=()):
        self.failures += 1
        print(f"  FAIL  {what}")
        for line in details:
            print(f"          {line}")

    def check(self, cond, what, details=()):
        if cond:
            self.ok(what)
        else:
            self.fail(what, details)


def objdump_for(arch):
    triple = {"i686": "i686-w64-mingw32", "x86_64": "x86_64-w64-mingw32"}[arch]
    for name in (f"{triple}-objdump", "objdump"):
        path = shutil.which(name)
        if path:
            return path
    sys.exit("check-dll: no objdump found (install binutils-mingw-w64)")


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True,
                          text=True).stdout


# ------------------------------------------------------------ the sources

def header_arg_counts():
    """Export name -> number of arguments, from the prototypes in tavoctl.h."""
    with open(os.path.join(ROOT, "include", "tavoctl.h")) as f:
        text = f.read()
    counts = {}
    for m in re.finditer(r"\bTAVO_CALL\s+(TAVO_\w+)\s*\(([^)]*)\)\s*;", text):
        args = " ".join(m.group(2).split())
        counts[m.group(1)] = 0 if args in ("", "void") else args.count(",") + 1
    return counts


def def_entries(path):
    """(name, decoration or None, ordinal) for each entry of a .def file."""
    entries = []
    in_exports = False
    with open(path) as f:
        for line in f:
            line = line.split(";", 1)[0].strip()
            if not line:
                continue
            if line.upper() == "EXPORTS":
                in_exports = True
                continue
            if not in_exports:
                continue
            m = re.match(r"^(\w+)(?:@(\d+))?\s+@(\d+)(\s+NONAME)?$", line)
            if not m:
                entries.append((line, None, None))
                continue
            size = int(m.group(2)) if m.group(2) else None
            entries.append((m.group(1), size, int(m.group(3))))
    return entries


def check_sources(rep, arg_counts):
    print("sources")
    exports = def_entries(os.path.join(ROOT, "src", "api", "tavoctl.def"))
    bad = []
    for name, size, ordinal in exports:
        if EXPORTS.get(ordinal) != name:
            bad.append(f"{name} @{ordinal} is not in the export table")
        elif name in arg_counts and size != 4 * arg_counts[name]:
            bad.append(f"{name}@{size}: tavoctl.h gives "
                       f"{arg_counts[name]} arguments")
    listed = {ordinal for _, _, ordinal in exports}
    for ordinal, name in sorted(EXPORTS.items()):
        if ordinal not in listed:
            bad.append(f"{name} @{ordinal} is missing")
    rep.check(not bad, "src/api/tavoctl.def matches the export table", bad)

    imports = def_entries(os.path.join(ROOT, "src", "api", "ftd2xx.def"))
    got = {ordinal: name for name, _, ordinal in imports}
    rep.check(got == DRIVER_IMPORTS and len(imports) == len(DRIVER_IMPORTS),
              "src/api/ftd2xx.def matches the driver ordinals",
              [f"listed: {sorted(got.items())}"])


# -------------------------------------------------------------- the DLL

def parse_exports(text):
    """ordinal -> name, plus the set of ordinals in the address table."""
    base = 1
    m = re.search(r"^Ordinal Base\s+(\d+)", text, re.M)
    if m:
        base = int(m.group(1))
    addresses = set()
    section = text.split("Export Address Table -- Ordinal Base", 1)
    if len(section) == 2:
        for m in re.finditer(r"^\s*\[\s*\d+\]\s+\+base\[\s*(\d+)\]\s+[0-9a-f]+"
                             r"\s+Export RVA", section[1], re.M):
            addresses.add(int(m.group(1)))
    names = {}
    part = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(part) == 2:
        for line in part[1].splitlines()[1:]:
            # Newer objdump: "[   0] +base[   1] name"; older: "[   0] name"
            # with the index into the address table (ordinal - base).
            m = re.match(r"^\s*\[\s*(\d+)\]\s+\+base\[\s*(\d+)\]\s+(\S+)$", line)
            if m:
                names[int(m.group(2))] = m.group(3)
                continue
            m = re.match(r"^\s*\[\s*(\d+)\]\s+(\S+)$", line)
            if m:
                names[int(m.group(1)) + base] = m.group(2)
                continue
            if line.strip() == "":
                if names:
                    break
                continue
            break
    return names, addresses, base


def parse_imports(text):
    """DLL name -> list of (ordinal or None, name or None)."""
    start = text.find("The Import Tables")
    if start < 0:
        return {}
    end = len(text)
    for marker in ("There is an export table", "The Export Tables",
                   "PE File Base Relocations", "The .rsrc Resource"):
        pos = text.find(marker, start)
        if 0 <= pos < end:
            end = pos
    imports = {}
    current = None
    for line in text[start:end].splitlines():
        m = re.match(r"^\s*DLL Name:\s*(\S+)", line)
        if m:
            current = m.group(1)
            imports.setdefault(current, [])
            continue
        # A directory entry (" rva<TAB>rva rva ...") opens the next DLL.
        if re.match(r"^ [0-9a-f]{8}\s+[0-9a-f]{8}\s+[0-9a-f]{8}\s", line):
            current = None
            continue
        if current is None or re.match(r"^\s*vma:", line):
            continue
        # By ordinal: the thunk has its top bit set and the ordinal in the
        # low 16 bits; objdump prints "<none>" for the name.
        m = re.match(r"^\s+([0-9a-f]{8}|[0-9a-f]{16})\s+\S+\s+<none>\s*$",
                     line)
        if m:
            imports[current].append((int(m.group(1), 16) & 0xFFFF, None))
            continue
        # By name: hint-name table address, hint, name.
        m = re.match(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)", line)
        if m:
            imports[current].append((None, m.group(1)))
    return imports


def check_exports(rep, names, addresses, base, require_all):
    print("exports")
    rep.check(base == 1, "ordinal base is 1", [f"base {base}"])
    wrong = []
    for ordinal, name in sorted(names.items()):
        if EXPORTS.get(ordinal) != name:
            want = EXPORTS.get(ordinal, "nothing")
            wrong.append(f"@{ordinal} {name} (the table has {want} there)")
    rep.check(not wrong, "every export is a TAVO_ function at its ordinal",
              wrong)
    unnamed = sorted(addresses - set(names))
    rep.check(not unnamed, "no export without a name",
              [f"ordinals {unnamed}"])
    missing = [f"@{o} {n}" for o, n in sorted(EXPORTS.items())
               if names.get(o) != n]
    if require_all:
        rep.check(not missing, f"all {len(EXPORTS)} exports present", missing)
    else:
        print(f"  note  {len(EXPORTS) - len(missing)} of {len(EXPORTS)} "
              f"exports present" + (f"; missing {', '.join(missing)}"
                                    if missing else ""))


def check_imports(rep, imports):
    print("imports")
    driver = [v for k, v in imports.items() if k.lower() == DRIVER_DLL]
    entries = [e for v in driver for e in v]
    by_name = [n for o, n in entries if n is not None]
    ordinals = sorted(o for o, n in entries if o is not None)
    rep.check(len(driver) == 1, "FTD2XX.DLL imported once",
              [f"import tables: {len(driver)}"])
    rep.check(not by_name, "FTD2XX.DLL imported by ordinal only",
              [f"by name: {by_name}"])
    rep.check(ordinals == sorted(DRIVER_IMPORTS),
              f"FTD2XX.DLL ordinals are exactly the {len(DRIVER_IMPORTS)} "
              "driver functions",
              [f"imported: {ordinals}", f"expected: {sorted(DRIVER_IMPORTS)}"])
    named_ft = [f"{dll}!{n}" for dll, v in imports.items()
                for _, n in v if n and n.startswith("FT_")]
    rep.check(not named_ft, "no FT_ function imported by name", named_ft)

    runtime = [d for d in imports if MINGW_RUNTIME.match(d)]
    rep.check(not runtime, "no MinGW runtime DLL imported", runtime)
    others = [d for d in imports
              if d.lower() != DRIVER_DLL and d.lower() not in SYSTEM_DLLS
              and not d.lower().startswith(SYSTEM_DLL_PREFIXES)
              and d not in runtime]
    rep.check(not others, "only Windows system DLLs besides FTD2XX.DLL",
              others)
    print(f"  note  imports from: {', '.join(imports)}")


def check_stdcall(rep, objdump, dll, names, image_base, rvas, arg_counts):
    """On i686, every ret of an exported function must pop its arguments."""
    print("calling convention")
    text = run([objdump, "-d", "--no-show-raw-insn", dll])
    # Split the disassembly at the symbol labels ("6740... <_TAVO_Open@4>:")
    # and note in each block how it returns: the operand of each ret, and
    # the targets of jumps to the start of another function (tail calls).
    rets, tails, starts = {}, {}, {}
    label = None
    for line in text.splitlines():
        m = re.match(r"^([0-9a-f]+) <([^>]+)>:$", line)
        if m:
            label = m.group(2)
            rets.setdefault(label, [])
            tails.setdefault(label, [])
            starts.setdefault(int(m.group(1), 16), label)
            continue
        if label is None:
            continue
        m = re.match(r"^\s*[0-9a-f]+:\s+ret[lw]?\b\s*(\S*)", line)
        if m:
            rets[label].append(m.group(1))
            continue
        m = re.match(r"^\s*[0-9a-f]+:\s+jmp[l]?\s+[0-9a-f]+ <([^>+]+)>", line)
        if m and m.group(1) != label:
            tails[label].append(m.group(1))
    if not starts:
        rep.fail("disassembly has symbols", ["the DLL was stripped; check "
                                             "an unstripped build"])
        return

    def pops(label, seen):
        """Bytes popped on each way out of the function at label."""
        if label in seen:
            return []
        seen.add(label)
        out = [int(op.lstrip("$"), 16) if op else 0 for op in rets[label]]
        # Parts of the function that the compiler moved out of line.
        for other in rets:
            if other.startswith(label + "."):
                out += pops(other, seen)
        for target in tails[label]:
            if target.startswith(label + "."):
                continue
            decorated = re.search(r"@(\d+)$", target)
            if rets.get(target) or tails.get(target) or not decorated:
                out += pops(target, seen)
            else:
                # An import thunk or other __stdcall function whose body we
                # cannot see: its name says what it pops.
                out.append(int(decorated.group(1)))
        return out

    bad = []
    for ordinal, name in sorted(names.items()):
        if name not in arg_counts:
            bad.append(f"{name}: no prototype in tavoctl.h")
            continue
        want = 4 * arg_counts[name]
        label = starts.get(image_base + rvas.get(ordinal, -1))
        if label is None:
            bad.append(f"{name}: no function starts at its export address")
            continue
        found = pops(label, set())
        if not found:
            bad.append(f"{name} ({label}): no ret found")
        for n in sorted(set(found)):
            if n != want:
                bad.append(f"{name} ({label}): returns popping {n} bytes, "
                           f"{arg_counts[name]} arguments need {want}")
    rep.check(not bad, f"all {len(names)} exports are __stdcall with the "
              "argument sizes of tavoctl.h", bad)


def section_names(objdump, dll):
    return re.findall(r"^\s*\d+\s+(\S+)\s", run([objdump, "-h", dll]), re.M)


def has_symbols(objdump, dll):
    table = run([objdump, "-t", dll]).split("SYMBOL TABLE:", 1)
    return len(table) == 2 and re.search(r"^\[\s*\d+\]", table[1], re.M)


def section_bytes(objdump, dll, name):
    try:
        text = run([objdump, "-s", "-j", name, dll])
    except subprocess.CalledProcessError:
        return None
    return [line for line in text.splitlines() if line.startswith(" ")]


def check_shipping(rep, objdump, dll, max_size):
    """The DLL that ships: stripped, and no larger than it needs to be."""
    print("shipping")
    size = os.path.getsize(dll)
    rep.check(size <= max_size,
              f"size {size} bytes ({size / 1024:.1f} KiB), at most "
              f"{max_size} ({max_size / 1024:g} KiB)",
              ["a DLL with debug sections or symbols is ten times larger"])
    debug = [n for n in section_names(objdump, dll)
             if n.startswith((".debug", ".zdebug"))]
    rep.check(not debug, "no debug sections", debug)
    rep.check(not has_symbols(objdump, dll), "no symbol table")


def symbol_source(rep, objdump, dll, unstripped):
    """The DLL whose symbols the calling-convention check reads: the DLL
    itself when it has them, else the unstripped one beside it, provided it
    holds the same code."""
    if has_symbols(objdump, dll):
        return dll
    path = unstripped or dll + ".debug"
    if not os.path.exists(path):
        rep.fail("unstripped DLL beside the stripped one", [f"{path} missing"])
        return None
    same = section_bytes(objdump, dll, ".text") == \
        section_bytes(objdump, path, ".text")
    rep.check(same, f"{os.path.basename(path)} has the same code",
              ["it is not the DLL this one was stripped from"])
    return path if same else None


def resource_bytes(objdump, dll):
    try:
        text = run([objdump, "-s", "-j", ".rsrc", dll])
    except subprocess.CalledProcessError:
        return b""
    data = bytearray()
    for line in text.splitlines():
        m = re.match(r"^ [0-9a-f]+ ((?:[0-9a-f]{2,8} ){1,4})", line + " ")
        if m:
            data += bytes.fromhex(m.group(1).replace(" ", ""))
    return bytes(data)


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        m = re.search(r"project\(\s*tavoctl\s+VERSION\s+([0-9.]+)", f.read())
    return m.group(1) if m else None


def check_version(rep, objdump, dll):
    print("version")
    sections = run([objdump, "-h", dll])
    rep.check(re.search(r"^\s*\d+\s+\.rsrc\s", sections, re.M) is not None,
              "resource section .rsrc present")
    data = resource_bytes(objdump, dll)
    version = project_version()

    def has(key, value):
        return (key + "\0").encode("utf-16-le") in data and \
               value.encode("utf-16-le") in data

    rep.check(b"V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0" in data,
              "VERSIONINFO resource present")
    rep.check(has("ProductName", "tavoctl"), 'ProductName "tavoctl"')
    rep.check(version is not None and has("ProductVersion", version),
              f'ProductVersion "{version}" (from CMakeLists.txt)')


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("dll")
    ap.add_argument("arch", choices=sorted(FORMATS))
    ap.add_argument("--require-all", action="store_true",
                    default=os.environ.get("TAVOCTL_REQUIRE_ALL") == "1",
                    help="demand all twenty exports (also "
                         "TAVOCTL_REQUIRE_ALL=1)")
    ap.add_argument("--max-size", type=int, default=64 * 1024,
                    help="largest DLL size in bytes (default 64 KiB)")
    ap.add_argument("--unstripped",
                    help="the DLL before stripping (default DLL.debug)")
    args = ap.parse_args()

    objdump = objdump_for(args.arch)
    rep = Report()
    print(f"check-dll: {args.dll} ({args.arch})")

    arg_counts = header_arg_counts()
    check_sources(rep, arg_counts)

    headers = run([objdump, "-p", args.dll])
    fmt = re.search(r"file format (\S+)", headers)
    if not fmt or fmt.group(1) != FORMATS[args.arch]:
        rep.fail(f"file format is {FORMATS[args.arch]}",
                 [f"found {fmt.group(1) if fmt else 'none'}"])
        print("check-dll: FAILED")
        return 1
    m = re.search(r"^Characteristics\s+0x([0-9a-f]+)", headers, re.M)
    is_dll = bool(m) and int(m.group(1), 16) & 0x2000 != 0
    rep.check(is_dll, "the file is a DLL")
    m = re.search(r"^Name\s+[0-9a-f]+\s+(\S+)", headers, re.M)
    rep.check(bool(m) and m.group(1).lower() == "tavoctl.dll",
              "export table names tavoctl.dll",
              [f"found {m.group(1) if m else 'no export table'}"])

    names, addresses, base = parse_exports(headers)
    check_exports(rep, names, addresses, base, args.require_all)
    check_imports(rep, parse_imports(headers))

    if args.arch == "i686":
        image_base = int(re.search(r"^ImageBase\s+([0-9a-f]+)", headers,
                                   re.M).group(1), 16)
        rvas = {}
        for m in re.finditer(r"^\s*\[\s*\d+\]\s+\+base\[\s*(\d+)\]\s+"
                             r"([0-9a-f]+)\s+Export RVA", headers, re.M):
            rvas[int(m.group(1))] = int(m.group(2), 16)
        source = symbol_source(rep, objdump, args.dll, args.unstripped)
        if source:
            check_stdcall(rep, objdump, source, names, image_base, rvas,
                          arg_counts)

    check_version(rep, objdump, args.dll)
    check_shipping(rep, objdump, args.dll, args.max_size)

    if rep.failures:
        print(f"check-dll: FAILED ({rep.failures} checks)")
        return 1
    print("check-dll: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
