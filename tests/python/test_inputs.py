"""What the module accepts: NumPy arrays beside lists, letters as str or bytes, and objects
whose __init__ never ran or ran twice."""
import pytest

import _qel_cpp

np = pytest.importorskip("numpy")

SERIES = [[0.0, 3.5, 1.25, -2.0, 7.0, 7.0, 1.0, 0.5], [1.0, 1.0, 4.0, 4.0, 8.0, 8.0, 4.0, 4.0]]


def measures(motifs):
    return [(m.pattern, m.indexes, m.best_matches, m.length, m.naed, m.representative) for m in motifs]


def as_lists(array):
    return [[float(v) for v in row] for row in array]


@pytest.mark.parametrize("dtype", ["float64", "float32", "float16", "longdouble", "int8", "uint8",
                                   "int16", "uint32", "int64", "uint64", ">f8", ">i4", "bool"])
def test_arrays_give_what_their_values_as_lists_give(dtype):
    array = (np.array(SERIES) * (1 if dtype != "bool" else 0.2)).astype(dtype)
    lists = as_lists(array)
    assert _qel_cpp.sax(array, 2, 5) == _qel_cpp.sax(lists, 2, 5)
    for form in (array, list(array), np.asfortranarray(array)):
        got = _qel_cpp.Miner(1.0, 2, 5, min_len=1).mine(form)
        assert measures(got) == measures(_qel_cpp.Miner(1.0, 2, 5, min_len=1).mine(lists))


class Real(float):
    """A float that is not exactly a float: read through the general path."""


@pytest.mark.parametrize("series", [
    [[float(v) for v in SERIES[0]], SERIES[1]],                      # exact floats, read in place
    [SERIES[0][:3] + [int(SERIES[0][3])] + SERIES[0][4:], SERIES[1]],  # an int among floats
    [[Real(v) for v in SERIES[0]], SERIES[1]],                       # float subclass items
    [SERIES[0][:6] + [True] + SERIES[0][7:], SERIES[1]],                # a bool for the 1.0
    [tuple(SERIES[0]), SERIES[1]],                                   # not a list
    [type("Points", (list,), {})(SERIES[0]), SERIES[1]],             # a list subclass
])
def test_every_spelling_of_the_same_numbers_mines_alike(series):
    want = measures(_qel_cpp.Miner(1.0, 2, 3, 2).mine(SERIES))
    assert measures(_qel_cpp.Miner(1.0, 2, 3, 2).mine(series)) == want
    assert _qel_cpp.sax(series, 2, 3) == _qel_cpp.sax(SERIES, 2, 3)


def test_a_list_with_a_value_that_is_no_number_is_refused_after_floats():
    with pytest.raises(TypeError):
        _qel_cpp.Miner(1.0, 2, 3, 2).mine([[0.5, 1.5, "2.5", 3.5], [1.0, 2.0, 3.0, 4.0]])


def test_strided_and_read_only_views_and_ragged_sets():
    base = np.arange(60.0).reshape(6, 10) % 7
    view = base[::2, ::3]
    view.flags.writeable = False
    assert _qel_cpp.sax(view, 1, 4) == _qel_cpp.sax(as_lists(view), 1, 4)
    ragged = [np.array([1.0, 5.0, 2.0]), np.arange(7, dtype=np.int32), [3, 1], np.empty(0)]
    assert _qel_cpp.sax(ragged, 2, 3) == _qel_cpp.sax([as_lists([r])[0] for r in ragged], 2, 3)
    assert _qel_cpp.sax(np.empty((0, 5)), 2, 3) == []
    assert _qel_cpp.sax(np.empty((2, 0)), 2, 3) == [[], []]


def test_the_callers_array_is_left_as_it_was():
    array = np.array(SERIES)
    before = array.copy()
    _qel_cpp.Miner(1.0, 2, 5).mine(array)
    assert (array == before).all()


@pytest.mark.parametrize("bad, named", [
    (np.zeros((2, 3, 4)), "3-D array"),
    (np.zeros(5), "1-D array"),
    (np.zeros((2, 3), dtype=complex), "complex numbers"),
    (np.array([[1, None]], dtype=object), "Python objects"),
    (np.array([["ab", "c"]]), "strings"),
    (np.array([[b"ab"]]), "strings"),
    ([np.zeros((2, 2))], "2-D array"),
    ([np.zeros(3, dtype=complex)], "complex numbers"),
])
def test_unusable_arrays_are_refused_naming_what_was_expected(bad, named):
    for call in (lambda: _qel_cpp.sax(bad, 2, 3), lambda: _qel_cpp.Miner(1.0, 2, 3).mine(bad)):
        with pytest.raises(TypeError, match=named):
            call()


def test_signature_lines_stay_those_of_lists():
    assert _qel_cpp.sax.__doc__.splitlines()[0] == \
        "sax(ts: List[List[float]], seglen: int, alphabet: int) -> List[List[str]]"
    assert _qel_cpp.Miner.mine.__doc__.splitlines()[0] == \
        "mine(self: _qel_cpp.Miner, arg0: List[List[float]]) -> List[_qel_cpp.Motif]"


@pytest.mark.parametrize("item, error, message", [
    (b"\xc3\xa9", ValueError, "multi-character"),
    (b"\xc0\x80", ValueError, "multi-character"),
    (bytearray(b"ab"), ValueError, "multi-character"),
    (b"", ValueError, "empty string"),
    ("\ud800", ValueError, "not in range"),
    ("\u0100", ValueError, "not in range"),
    (None, ValueError, "None"),
    (1, TypeError, "incompatible function arguments"),
])
def test_letters_are_single_bytes_or_characters(item, error, message):
    with pytest.raises(error, match=message):
        _qel_cpp.PatternMiner(1.0, min_len=1).mine([[item], ["a"]])


def test_byte_and_character_letters_are_the_same_letter():
    miner = _qel_cpp.PatternMiner(1.0, min_len=1)
    miner.mine([[b"\xe9", b"\x00"], ["\xe9", "\x00"], [bytearray(b"\xe9"), "\x00"]])
    assert list(miner.frequent) == ["\xe9\x00"]


@pytest.mark.parametrize("use", [
    lambda m: m.mine([[1.0, 2.0, 3.0, 4.0]]),
    lambda m: m.motifs,
])
def test_a_miner_whose_init_never_ran_is_refused(use):
    with pytest.raises(TypeError, match="__init__ was never called"):
        use(_qel_cpp.Miner.__new__(_qel_cpp.Miner))


def test_other_objects_whose_init_never_ran_are_refused():
    miner = _qel_cpp.PatternMiner.__new__(_qel_cpp.PatternMiner)
    motif = _qel_cpp.Motif.__new__(_qel_cpp.Motif)
    for use in (lambda: miner.mine([list("abc")]), lambda: miner.frequent,
                lambda: motif.pattern, lambda: motif.naed, lambda: repr(motif)):
        with pytest.raises(TypeError, match="__init__ was never called"):
            use()


def test_init_again_takes_the_new_parameters_and_forgets_the_last_results():
    miner = _qel_cpp.Miner(1.0, 2, 5, min_len=1)
    assert miner.mine(SERIES)
    miner.__init__(1.0, 2, 5, min_len=100)
    assert miner.motifs == []
    assert miner.mine(SERIES) == []
    patterns = _qel_cpp.PatternMiner(1.0, min_len=1)
    patterns.mine([list("ab")])
    patterns.__init__(1.0, min_len=3)
    assert patterns.frequent == {}
    patterns.mine([list("ab")])
    assert patterns.frequent == {}
