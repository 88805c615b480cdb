"""The README's Limits section: every example runs as written and prints what it shows."""
import doctest
import pathlib
import re
import sys

import velmora
from pyo3_runtime import PanicException
from quiet import stderr_discarded

README = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
SECTION = README[README.index("## Limits\n"):README.index("## Development\n")]
# Blocks are indented under their list items.
BLOCKS = [re.sub(r"(?m)^  ", "", code) for code in re.findall(r"```python\n(.*?)```", SECTION, re.DOTALL)]


def test_every_limit_example_prints_what_the_readme_shows(capsys):
    assert len(BLOCKS) == 7
    runner = doctest.DocTestRunner()
    globs = {"velmora": velmora, "PanicException": PanicException}
    with stderr_discarded():
        for number, code in enumerate(BLOCKS):
            test = doctest.DocTestParser().get_doctest(code, dict(globs), f"Limits block {number}", "README.md", 0)
            runner.run(test, out=sys.stdout.write)
    assert runner.tries >= 10
    assert runner.failures == 0, capsys.readouterr().out
