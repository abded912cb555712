"""Builds the package with its table of result codes, generated from
data/result-codes.tsv by data/result_codes.py (the same table the C helper
and the tool are made from), and the repository's licence. pyproject.toml
holds the rest."""
import os
import shutil
import subprocess
import sys

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))


class BuildWithCodes(build_py):
    def run(self):
        super().run()
        out = os.path.join(self.build_lib, "tavoctl", "_codes.py")
        subprocess.run(
            [sys.executable, os.path.join(REPO, "data", "result_codes.py"),
             os.path.join(REPO, "data", "result-codes.tsv"), "--python", out],
            check=True)


# The licence is the repository's one file: copied beside this one for the
# wheel's and the sdist's metadata (a copy, not a link, which a Windows
# checkout may not keep).
if os.path.exists(os.path.join(REPO, "LICENSE")):
    shutil.copyfile(os.path.join(REPO, "LICENSE"), os.path.join(HERE, "LICENSE"))

setup(cmdclass={"build_py": BuildWithCodes})
