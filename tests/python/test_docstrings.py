"""The Examples in the public docstrings run as written."""
import doctest
import importlib
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


@pytest.mark.parametrize("name", ["qel.motifs", "qel.features", "qel.frames", "qel.plot", "qel.writing"])
def test_examples(name, tmp_path, monkeypatch):
    if name == "qel.frames":
        pytest.importorskip("pandas")
    monkeypatch.chdir(tmp_path)
    result = doctest.testmod(importlib.import_module(name), optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0
