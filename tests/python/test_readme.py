"""The examples in README.md run as written."""
import doctest
import os
import re
import shlex
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
README = os.path.abspath(os.path.join(HERE, "..", "..", "README.md"))
DATA = os.path.abspath(os.path.join(HERE, "..", "..", "..", "shared", "data"))

from qel import cli  # noqa: E402


class FencedParser(doctest.DocTestParser):
    """Reads Markdown: a closing code fence ends an expected output like a blank line does."""

    def parse(self, string, name="<string>"):
        return super().parse(re.sub(r"^```.*$", "", string, flags=re.M), name)


def test_readme_examples(tmp_path, monkeypatch):
    # The examples write pictures into the folder they run in.
    monkeypatch.chdir(tmp_path)
    with open(README, encoding="utf-8") as f:
        text = f.read()
    test = FencedParser().get_doctest(text, {}, "README.md", README, 0)
    assert test.examples, "README.md holds no example"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0, f"{runner.failures} README example(s) failed; see the output above"


def readme_commands():
    """Every `qel mine ...` line of the README's indented command blocks, as arguments."""
    with open(README, encoding="utf-8") as f:
        lines = f.read().splitlines()
    commands = []
    for line in lines:
        if line.startswith("    qel mine"):
            commands.append(shlex.split(line.split("#", 1)[0])[1:])
    return commands


@pytest.mark.parametrize("arguments", readme_commands(), ids=" ".join)
def test_readme_commands(arguments, tmp_path, monkeypatch, capsys):
    """Each runs as written in a folder holding the data sets it names (those of ../shared/data)."""
    outputs = {value for option, value in zip(arguments, arguments[1:]) if option in ("--json", "--plot")}
    inputs = [name for name in arguments[1:] if not name.startswith("-") and name not in outputs
              and not name.isdigit()]
    for name in inputs:
        if not os.path.exists(os.path.join(DATA, name)):
            pytest.skip(f"{name} is not beside the project")
        os.symlink(os.path.join(DATA, name), tmp_path / name)
    monkeypatch.chdir(tmp_path)
    status = cli.main(["mine", *arguments[1:]] if arguments[:1] == ["mine"] else arguments)
    out, err = capsys.readouterr()
    assert status == 0, err
    assert "rank" in out
    for path in outputs:
        assert os.path.getsize(path) > 0
