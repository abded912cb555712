"""The README's worked sales are the files of examples/, which the test
command builds and runs: every block marked <!-- example: PATH --> is that
file as it is, and every example is shown."""
import os
import re
import unittest

ROOT = os.environ["TAVOCTL_SOURCE"]


class ReadmeExamples(unittest.TestCase):
    def test_each_marked_block_is_its_file_and_every_example_is_shown(self):
        with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        blocks = re.findall(r"<!-- example: (\S+) -->\n```[a-z]*\n(.*?)```", readme,
                            re.S)
        shown = set()
        for path, text in blocks:
            with self.subTest(path):
                with open(os.path.join(ROOT, path), encoding="utf-8") as f:
                    self.assertEqual(f.read(), text, f"README's copy of {path} differs")
                shown.add(path)
        examples = {os.path.join("examples", name)
                    for name in os.listdir(os.path.join(ROOT, "examples"))}
        self.assertEqual(examples, shown)


if __name__ == "__main__":
    unittest.main()
