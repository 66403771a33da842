"""The Examples in the public docstrings run as written."""
import doctest
import importlib
import pytest


@pytest.mark.parametrize("name", ["qel.motifs", "qel.features", "qel.frames", "qel.inputs", "qel.plot", "qel.writing"])
def test_examples(name, tmp_path, monkeypatch):
    if name in ("qel.frames", "qel.inputs"):
        pytest.importorskip("pandas")
    monkeypatch.chdir(tmp_path)
    result = doctest.testmod(importlib.import_module(name), optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0
