"""data/result_codes.py: what it refuses in the table, and what it writes."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

import result_codes

TABLE = os.environ["TAVOCTL_RESULT_CODES"]
GOOD = "0x0000\tany\tnone\tsuccess\t-\n0x1375\tTAVO_Charge\tpay-back\tno change: pay back\tNoChange\n"


def run(table_text, *args):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "codes.tsv")
        with open(path, "w") as f:
            f.write(table_text)
        return subprocess.run(
            [sys.executable, result_codes.__file__, path, "--check", *args],
            capture_output=True, text=True)


class Refuses(unittest.TestCase):
    CASES = {
        "four columns": "0x1376\tTAVO_Charge\tretry\tx\n",
        "a space for a tab": "0x1376 TAVO_Charge\tretry\tx\tX\n",
        "lower-case hex": "0x137a\tTAVO_Charge\tretry\tx\tX\n",
        "no 0x": "1376\tTAVO_Charge\tretry\tx\tX\n",
        "unknown next": "0x1376\tTAVO_Charge\trefund\tx\tX\n",
        "empty text": "0x1376\tTAVO_Charge\tretry\t\tX\n",
        "out of order": "0x1300\tTAVO_Charge\tretry\tx\tX\n",
        "twice": "0x1375\tTAVO_Charge\tretry\tx\tX\n",
        "a name with a second value": "0x1376\tTAVO_Charge\tretry\tx\tNoChange\n",
        "not ASCII": "0x1376\tTAVO_Charge\tretry\tpay back \u00a5\tX\n",
    }

    def test_each_broken_line_with_its_line_number(self):
        self.assertEqual(0, run(GOOD).returncode, run(GOOD).stderr)
        for name, line in self.CASES.items():
            with self.subTest(name):
                r = run("# a comment\n" + GOOD + line)
                self.assertNotEqual(0, r.returncode)
                self.assertIn("codes.tsv:4:", r.stderr)

    def test_a_table_without_success_first(self):
        r = run("0x0001\tbusy\tretry\tTAVO_Open is running\t-\n")
        self.assertNotEqual(0, r.returncode)


class Writes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rows = result_codes.read_table(TABLE)

    def test_every_consumer_carries_every_code(self):
        with tempfile.TemporaryDirectory() as d:
            outs = {k: os.path.join(d, k) for k in ("h", "py", "cs")}
            subprocess.run(
                [sys.executable, result_codes.__file__, TABLE, "--c-header", outs["h"],
                 "--python", outs["py"], "--csharp", outs["cs"]], check=True)
            texts = {k: open(p).read() for k, p in outs.items()}
        found = {
            "h": re.findall(r"\{0x([0-9A-F]{4})u, TAVOCTL_NEXT_", texts["h"]),
            "py": re.findall(r"^    0x([0-9A-F]{4}): \(", texts["py"], re.M),
            "cs": re.findall(r"\{ 0x([0-9A-F]{4}), new ResultInfo", texts["cs"]),
        }
        want = [f"{r.code:04X}" for r in self.rows]
        for kind, codes in found.items():
            self.assertEqual(want, codes, kind)
        namespace = {}
        exec(texts["py"], namespace)
        charge = namespace["CODES"][0x1375]
        self.assertEqual(("TAVO_Charge", "pay-back"), charge[:2])

    def test_the_vocabulary_is_the_one_the_table_documents(self):
        with open(TABLE) as f:
            header = "".join(line for line in f if line.startswith("#"))
        documented = re.findall(r"^#\s{13}([a-z-]+)\s{2,}", header, re.M)
        self.assertEqual(result_codes.NEXT, documented)
        self.assertEqual(set(result_codes.NEXT), {r.next for r in self.rows})


if __name__ == "__main__":
    unittest.main()
