#!/usr/bin/env python3
"""What the Python binding's wheel must carry beside its sources: the table
of result codes generated at build time (_codes.py), the marker that its
type hints are its types (py.typed), and the repository's licence, named in
its metadata. Used on the wheel that scripts/check-bindings.sh builds and on
the one in the Windows zip (scripts/check-install.sh --zip).

usage: scripts/check-wheel.py WHEEL LICENSE
"""
import sys
import zipfile


def main():
    wheel, licence_file = sys.argv[1], sys.argv[2]
    with open(licence_file, "rb") as f:
        licence = f.read()
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        info = next((n.split("/")[0] for n in names
                     if n.endswith(".dist-info/METADATA")), None)
        if info is None:
            return "the wheel has no METADATA"
        missing = [n for n in ("tavoctl/_codes.py", "tavoctl/py.typed",
                               info + "/LICENSE") if n not in names]
        if missing:
            return f"the wheel lacks {', '.join(missing)}"
        if z.read(info + "/LICENSE") != licence:
            return f"the wheel's LICENSE is not {licence_file}"
        if "License: MIT" not in z.read(info + "/METADATA").decode():
            return "the wheel's metadata does not name the MIT licence"
    print("the wheel carries _codes.py, py.typed and LICENSE (MIT)")
    return 0


if __name__ == "__main__":
    r = main()
    if r:
        print(r)
    sys.exit(1 if r else 0)
