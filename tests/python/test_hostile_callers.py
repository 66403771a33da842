"""Python code that runs during a call, objects that change while they are read, pickle's old
protocols and requests larger than memory get a result or a clean exception, never a crash."""
import copy
import os
import pickle
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _qel_cpp
from qel import _engine

SMALL = [[0, 3, 1] * 3, [0, 3, 1] * 3]
BUSY = "{}.mine is running on this miner: __init__ and mine are refused until it returns"


def summaries(motifs):
    return [(m.pattern, m.indexes, m.best_matches, repr(m.naed), repr(m.representative)) for m in motifs]


# ---- Python code run by a handler in the middle of mine -------------------------------------

def walks():
    # Long enough to mine for a good while, so that the timer fires while mine runs.
    return np.cumsum(np.random.default_rng(1).normal(size=(100, 5000)), axis=1)


def run_handler_during(mine, started, act):
    """Calls mine() with a timer whose handler runs act() once while `started()` is true
    (the call has cleared its last results); returns mine()'s result and what act gave."""
    outcome = []

    def handler(signum, frame):
        if not outcome and started():
            try:
                outcome.append(("returned", act()))
            except Exception as error:  # what the handler saw is the test's to check
                outcome.append((type(error).__name__, str(error)))

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
    try:
        result = mine()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert outcome, "the handler never ran while mine ran"
    return result, outcome[0]


def test_a_miner_cannot_be_reinitialised_or_mined_again_while_it_mines():
    X = walks()
    expected = summaries(_qel_cpp.Miner(0.3, 2, 4).mine(X))
    for act in (lambda m: m.__init__(0.3, 2, 4), lambda m: m.__init__(0.9, 3, 5), lambda m: m.mine(SMALL)):
        miner = _qel_cpp.Miner(0.3, 2, 4)
        miner.mine(SMALL)  # a result that mine clears when it starts
        result, seen = run_handler_during(lambda: miner.mine(X), lambda: not miner.motifs,
                                          lambda: act(miner))
        assert seen == ("RuntimeError", BUSY.format("Miner"))
        assert summaries(result) == expected
        assert summaries(miner.motifs) == expected
    # An __init__ whose arguments do not convert fails as it would anywhere, and the miner
    # keeps the object that mined.
    result, seen = run_handler_during(lambda: miner.mine(X), lambda: not miner.motifs,
                                      lambda: miner.__init__("not a number", 2, 4))
    assert seen[0] == "TypeError" and "incompatible constructor arguments" in seen[1]
    assert summaries(result) == expected == summaries(miner.motifs)
    # Once mine has returned, both work again.
    miner.__init__(1.0, 1, 3)
    assert [m.pattern for m in miner.mine(SMALL)] == ["acbacbacb"]


def test_a_pattern_miner_cannot_be_reinitialised_or_mined_again_while_it_mines():
    letters = _qel_cpp.sax([(x - x.mean()) / x.std() for x in walks()], 2, 4)
    reference = _qel_cpp.PatternMiner(0.3, 3)
    reference.mine(letters)
    expected = {p: m.indexes for p, m in reference.frequent.items()}
    for act in (lambda m: m.__init__(0.3, 3), lambda m: m.__init__(1.0, 1, 2, 1.0), lambda m: m.mine([["a"]])):
        miner = _qel_cpp.PatternMiner(0.3, 3)
        miner.mine([["a", "b", "c"]] * 2)
        _, seen = run_handler_during(lambda: miner.mine(letters), lambda: not miner.frequent,
                                     lambda: act(miner))
        assert seen == ("RuntimeError", BUSY.format("PatternMiner"))
        assert {p: m.indexes for p, m in miner.frequent.items()} == expected


def test_a_handler_may_read_results_and_mine_on_another_object():
    X = walks()
    expected = summaries(_qel_cpp.Miner(0.3, 2, 4).mine(X))
    small = summaries(_qel_cpp.Miner(1.0, 1, 3).mine(SMALL))
    miner = _qel_cpp.Miner(0.3, 2, 4)
    miner.mine(SMALL)

    def act():
        other = _qel_cpp.PatternMiner(1.0, 1)
        other.mine([["a", "b"], ["a", "b"]])
        return miner.motifs, summaries(_qel_cpp.Miner(1.0, 1, 3).mine(SMALL)), sorted(other.frequent)

    result, seen = run_handler_during(lambda: miner.mine(X), lambda: not miner.motifs, act)
    assert seen == ("returned", ([], small, ["ab"]))
    assert summaries(result) == expected


# ---- Objects that change while they are read -------------------------------------------------

class FreshRows:
    """A sequence that makes a new row on every access (nothing else holds it), and whose
    __len__ says `claimed` however many rows there are."""

    def __init__(self, rows, claimed=None, kind=list):
        self.rows, self.claimed, self.kind = rows, claimed, kind

    def __len__(self):
        return len(self.rows) if self.claimed is None else self.claimed

    def __getitem__(self, i):
        if i >= len(self.rows):
            raise IndexError(i)
        return self.kind(self.rows[i])


class CopyingList(list):
    def __getitem__(self, i):
        return copy.deepcopy(list.__getitem__(self, i))


class Letter(str):
    pass


SERIES = [[0, 3, 1] * 3, [1, 0, 3, 1, 2, 0], [0, 3, 1] * 2]
LETTERS = [list("abcab"), list("cab"), list("bcab")]


@pytest.mark.parametrize("claimed", [None, 1, 2, 5, 0])
@pytest.mark.parametrize("kind", [list, tuple, lambda row: np.array(row, dtype=float)])
def test_series_sets_are_read_whole_through_fresh_or_lying_sequences(claimed, kind):
    expected = summaries(_qel_cpp.Miner(0.5, 1, 3, min_len=2).mine(SERIES))
    hostile = FreshRows(SERIES, claimed, kind)
    assert summaries(_qel_cpp.Miner(0.5, 1, 3, min_len=2).mine(hostile)) == expected
    assert _qel_cpp.sax(hostile, 2, 3) == _qel_cpp.sax(SERIES, 2, 3)
    assert summaries(_qel_cpp.Miner(0.5, 1, 3, min_len=2).mine(CopyingList(SERIES))) == expected
    rows = FreshRows([FreshRows(row, claimed, kind=float) for row in SERIES], claimed, kind=lambda row: row)
    assert summaries(_qel_cpp.Miner(0.5, 1, 3, min_len=2).mine(rows)) == expected


@pytest.mark.parametrize("claimed", [None, 1, 4])
def test_letters_are_read_whole_through_fresh_objects(claimed):
    reference = _qel_cpp.PatternMiner(0.5, 2)
    reference.mine(LETTERS)
    expected = {p: m.indexes for p, m in reference.frequent.items()}
    for letter in (Letter, lambda text: bytearray(text.encode()), lambda text: text.encode()):
        hostile = FreshRows([FreshRows(row, claimed, kind=letter) for row in LETTERS],
                            claimed, kind=lambda row: row)
        miner = _qel_cpp.PatternMiner(0.5, 2)
        miner.mine(hostile)
        assert {p: m.indexes for p, m in miner.frequent.items()} == expected
        miner.mine(CopyingList([[letter(c) for c in row] for row in LETTERS]))
        assert {p: m.indexes for p, m in miner.frequent.items()} == expected


def test_a_sequence_emptied_while_its_values_convert_is_read_as_it_was():
    class Emptying(float):
        def __float__(self):
            rows.clear()  # frees the row being read, were the row not held
            return float.__float__(self)

    rows = [[Emptying(v) for v in row] for row in SERIES]
    assert _qel_cpp.sax(rows, 2, 3) == _qel_cpp.sax(SERIES, 2, 3)
    rows = [[Emptying(v) for v in row] for row in SERIES]
    assert summaries(_qel_cpp.Miner(0.5, 1, 3, min_len=2).mine(rows)) == \
        summaries(_qel_cpp.Miner(0.5, 1, 3, min_len=2).mine(SERIES))


def test_a_conversion_that_changes_a_later_list_of_a_large_set_is_seen(monkeypatch):
    # Enough floats that the lists leading the set are read on several threads at once, on a
    # machine of one processor too.
    monkeypatch.setenv("QEL_THREADS", "2")
    rng = np.random.default_rng(4)
    leading = rng.normal(size=(70, 1000)).tolist()

    class Changing:
        def __float__(self):
            later[0] = 99.0
            return 0.0

    for place in (0, 35, 70):
        later = [-5.0] * 1000
        rows = leading[:place] + [[Changing()] + leading[0][1:], later] + leading[place:]
        letters = _qel_cpp.sax(rows, 1, 3)
        assert letters[place + 1][:2] == ["c", "a"], place  # converted in order: the change is read
        assert letters[:place] + letters[place + 2:] == _qel_cpp.sax(leading, 1, 3)
    # Whole numbers convert too, however many lists lead.
    assert _qel_cpp.sax([[int(v > 0) for v in row] for row in leading], 1, 3) == \
        _qel_cpp.sax([[float(v > 0) for v in row] for row in leading], 1, 3)


def test_a_sequence_that_fails_part_way_fails_the_call():
    class Failing(FreshRows):
        def __getitem__(self, i):
            if i == 1:
                raise RuntimeError("row 1 is not there")
            return super().__getitem__(i)

    with pytest.raises(RuntimeError, match="row 1 is not there"):
        _qel_cpp.Miner(0.5, 1, 3).mine(Failing(SERIES))


@pytest.mark.parametrize("claimed", [None, 1, 5])
def test_a_partition_reads_fresh_arrays_whole(claimed):
    arrays = [np.array(row, dtype=float) for row in SERIES]
    part = _engine.Partition(FreshRows(arrays, claimed, kind=lambda a: a.copy()), 2, 3)
    assert part.letters == _engine.Partition(arrays, 2, 3).letters
    assert part.size == 3


# ---- pickle -----------------------------------------------------------------------------------

def objects():
    miner = _qel_cpp.Miner(1.0, 1, 3)
    motif = miner.mine(SMALL)[0]
    patterns = _qel_cpp.PatternMiner(1.0)
    return [motif, miner, patterns, _qel_cpp.Miner.__new__(_qel_cpp.Miner)]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_every_pickle_protocol_refuses_the_modules_objects(protocol):
    for obj in objects():
        name = type(obj).__name__
        with pytest.raises(TypeError, match=f"cannot pickle '_qel_cpp.{name}' object"):
            pickle.dumps(obj, protocol)
    with pytest.raises(TypeError, match="cannot pickle '_qel_cpp.Motif' object"):
        copy.copy(objects()[0])


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_every_pickle_protocol_copies_a_partition(protocol):
    part = _engine.Partition([np.array([0.0, 3, 1, 0]), np.array([5.0, 1])], 2, 3)
    again = pickle.loads(pickle.dumps(part, protocol))
    assert (again.size, again.seglen, again.letters) == (2, 2, part.letters)
    assert repr(again.series) == repr(part.series)


# ---- Requests larger than memory -------------------------------------------------------------

# The child runs with 4 GB of address space, and AddressSanitizer refuses any one allocation
# above 4 GB: should the check fail, no request really reaches 16 GB.
CHILD = textwrap.dedent("""
    import os, resource, sys
    import numpy as np
    import _qel_cpp
    from qel import _engine
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
    seglen = 2 ** 31 - 1
    for call in (
        lambda: _qel_cpp.Miner(1.0, seglen, 3, min_len=1).mine([[0, 3, 1, 0]] * 2),
        lambda: _engine.average_sums(_engine.Partition([np.arange(4.0)], seglen, 3), [b"b"]),
        # 10,000 series hold 'b', each needing an average of 10**6 points: 80 GB in all.
        lambda: _engine.details([_engine.Partition([np.array([0.0, 3, 1, 0])] * 10000, 10 ** 6, 3)], [0], [b"b"],
                                [[0.0] * 10 ** 6]),
    ):
        try:
            call()
            print("returned")
        except MemoryError as error:
            print(error)
    print([m.pattern for m in _qel_cpp.Miner(1.0, 1, 3).mine(%r)])
""" % (SMALL,))


def test_a_request_larger_than_memory_is_a_memory_error_naming_its_size():
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":max_allocation_size=4294967296:allocator_may_return_null=1"
    result = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 4, result.stdout
    # One motif, 'b', of 2**31 - 1 points in two series: its representative and two averages
    # are kept, four per-point sums are worked in, two distances found.
    assert lines[0].startswith("mapping 1 motif (seglen 2147483647) needs 120.3 GB (120259084256 bytes) of "
                               "memory, more than the ")
    # Sums and counts per point returned, four per point worked in.
    assert lines[1].startswith("averaging the occurrences of 1 pattern needs 103.1 GB (103079215056 bytes)")
    assert lines[2].startswith("the details of 1 pattern needs 80.0 GB (80032000000 bytes)")
    for line in lines[:3]:
        assert line.endswith(" there is"), line
    assert lines[3] == "['acbacbacb']"
