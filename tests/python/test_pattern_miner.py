import gc
import unittest

import _qel_cpp

EXAMPLE = [list("abab"), list("abba")]
EXAMPLE_RESULT = {"ab": {0: [0, 2], 1: [0]}, "ba": {0: [1], 1: [2]}}
# Holds xyab, abc, abd and pq in both sequences, so every default parameter shows in the result.
MIXED = [list("abcxyabdpq"), list("pqabdxyabc")]
MINE_SIGNATURE = "(self: _qel_cpp.PatternMiner, arg0: List[List[str]]) -> None"
MINSUP_ERROR = "minsup must be positive when max_len is 0"


def mined(miner, sequences):
    """Run mine and return the result as {key: indexes}, checking key/pattern agreement."""
    if miner.mine(sequences) is not None:
        raise AssertionError("mine returned a value")
    return summary(miner.frequent)


def summary(frequent):
    for key, motif in frequent.items():
        if key != motif.pattern:
            raise AssertionError(f"key {key!r} holds motif of {motif.pattern!r}")
    return {key: motif.indexes for key, motif in frequent.items()}


class SignatureTest(unittest.TestCase):
    def first_line(self, function):
        return function.__doc__.splitlines()[0]

    def test_pattern_miner_lines(self):
        self.assertEqual(
            self.first_line(_qel_cpp.PatternMiner.__init__),
            "__init__(self: _qel_cpp.PatternMiner, minsup: float, min_len: int = 3, "
            "max_len: int = 0, max_overlap: float = 0.9) -> None",
        )
        self.assertEqual(self.first_line(_qel_cpp.PatternMiner.mine), "mine" + MINE_SIGNATURE)
        self.assertEqual(
            self.first_line(_qel_cpp.PatternMiner.frequent.fget),
            "(self: _qel_cpp.PatternMiner) -> Dict[str, _qel_cpp.Motif]",
        )

    def test_motif_lines(self):
        results = {
            "pattern": "str", "indexes": "Dict[int, List[int]]",
            "average_occurrences": "Dict[int, List[float]]", "representative": "List[float]",
            "best_matches": "Dict[int, int]", "length": "int", "naed": "float",
        }
        for name, result in results.items():
            with self.subTest(name=name):
                self.assertEqual(self.first_line(getattr(_qel_cpp.Motif, name).fget),
                                 f"(self: _qel_cpp.Motif) -> {result}")
        self.assertEqual(self.first_line(_qel_cpp.Motif.__repr__), "__repr__(self: _qel_cpp.Motif) -> str")

    def test_module_lists_the_classes(self):
        self.assertTrue({"Motif", "PatternMiner", "sax"} <= set(dir(_qel_cpp)))


class PatternMinerTest(unittest.TestCase):
    def test_worked_example(self):
        miner = _qel_cpp.PatternMiner(1.0, min_len=2)
        self.assertEqual(miner.frequent, {})
        self.assertEqual(mined(miner, EXAMPLE), EXAMPLE_RESULT)
        self.assertEqual(list(miner.frequent), ["ab", "ba"])

    def test_other_sequence_forms_are_accepted(self):
        forms = {
            "tuples": (tuple("abab"), tuple("abba")),
            "bytes items": [[b"a", b"b", b"a", b"b"], [bytearray(b"a"), "b", b"b", "a"]],
        }
        for name, sequences in forms.items():
            with self.subTest(name):
                self.assertEqual(mined(_qel_cpp.PatternMiner(1.0, min_len=2), sequences), EXAMPLE_RESULT)

    def test_defaults_and_keywords(self):
        expected = {"abc": {0: [0], 1: [7]}, "abd": {0: [5], 1: [2]}, "xyab": {0: [3], 1: [5]}}
        miners = [
            _qel_cpp.PatternMiner(1.0),
            _qel_cpp.PatternMiner(1.0, 3, 0, 0.9),
            _qel_cpp.PatternMiner(max_overlap=0.9, max_len=0, min_len=3, minsup=1.0),
            _qel_cpp.PatternMiner(1, max_overlap=0.9),
        ]
        for index, miner in enumerate(miners):
            with self.subTest(index=index):
                self.assertEqual(mined(miner, MIXED), expected)
        # Each parameter changes the result when moved away from its default.
        self.assertIn("pq", mined(_qel_cpp.PatternMiner(1.0, min_len=2), MIXED))
        self.assertEqual(set(mined(_qel_cpp.PatternMiner(1.0, max_len=3), MIXED)), {"abc", "abd", "xya", "yab"})
        self.assertEqual(set(mined(_qel_cpp.PatternMiner(1.0, max_overlap=0.5), MIXED)), {"xyab"})
        self.assertEqual(set(mined(_qel_cpp.PatternMiner(1.0, max_overlap=1), MIXED)),
                         {"abc", "abd", "xya", "xyab", "yab"})

    def test_empty_input(self):
        for sequences in ([], [[], []]):
            with self.subTest(sequences=sequences):
                self.assertEqual(mined(_qel_cpp.PatternMiner(0.5, min_len=1), sequences), {})

    def test_max_len_level_is_filtered(self):
        self.assertEqual(mined(_qel_cpp.PatternMiner(1.0, 3, 1), [list("ab")] * 2), {})
        for max_len in (1, -4):
            with self.subTest(max_len=max_len):
                self.assertEqual(mined(_qel_cpp.PatternMiner(1.0, 1, max_len, 0.9), [list("ab")] * 2),
                                 {"a": {0: [0], 1: [0]}, "b": {0: [1], 1: [1]}})
        # The top level removes what it contains: aaa holds aa and a.
        self.assertEqual(mined(_qel_cpp.PatternMiner(1.0, 1, 3), [list("aaaa")]), {"aaa": {0: [0, 1]}})

    def test_second_mine_starts_fresh(self):
        other = [list("xyzxy"), list("zxyz")]
        for first in (EXAMPLE, other, MIXED):
            with self.subTest(first=first):
                miner = _qel_cpp.PatternMiner(1.0, min_len=2)
                miner.mine(first)
                self.assertEqual(mined(miner, other), mined(_qel_cpp.PatternMiner(1.0, min_len=2), other))
                self.assertEqual(mined(miner, EXAMPLE), EXAMPLE_RESULT)

    def test_non_positive_minsup_needs_max_len(self):
        for minsup in (0, 0.0, -0.5, float("nan")):
            with self.subTest(minsup=minsup):
                miner = _qel_cpp.PatternMiner(minsup, 1)
                with self.assertRaises(ValueError) as caught:
                    miner.mine(EXAMPLE)
                self.assertEqual(str(caught.exception), MINSUP_ERROR)
                self.assertEqual(miner.frequent, {})
                # With a length limit it works: a pattern is frequent once it occurs at all.
                self.assertEqual(mined(_qel_cpp.PatternMiner(minsup, 1, 2), [list("ab")]),
                                 {"ab": {0: [0]}})

    def test_latin1_letters(self):
        letters = ["a", "\xff", "\x80", "\xe9"]
        miner = _qel_cpp.PatternMiner(1.0, 1, 1)
        miner.mine([letters, letters[::-1]])
        # Letters are ordered as signed bytes: everything above 0x7F comes before 'a'.
        self.assertEqual(list(miner.frequent), ["\x80", "\xe9", "\xff", "a"])
        self.assertEqual(repr(miner.frequent["\xe9"]), "Motif('\xe9')")
        miner = _qel_cpp.PatternMiner(1.0, 2)
        self.assertEqual(mined(miner, [[b"\xe9", b"a"], ["\xe9", "a"]]), {"\xe9a": {0: [0], 1: [0]}})
        self.assertEqual(str(miner.frequent["\xe9a"]), "Motif('\xe9a')")

    def test_refused_construction(self):
        refused = [
            ((), {}), ((), {"min_len": 2}), ((1.0, 2.0), {}), ((1.0,), {"max_len": 2.0}),
            ((1.0,), {"min_len": 2**31}), ((1.0,), {"max_len": -2**31 - 1}), ((1.0,), {"size": 3}),
        ]
        for args, kwargs in refused:
            with self.subTest(args=args, kwargs=kwargs), self.assertRaises(TypeError):
                _qel_cpp.PatternMiner(*args, **kwargs)

    def test_refused_mine_leaves_state(self):
        type_errors = [
            "abab", b"abab", ["abab", "abba"], [list("ab"), b"ab"], [[1]], [["a", 2.5]],
            [[["a"]]], None,
        ]
        value_errors = {
            "Cannot convert empty string to a character": [[""]],
            "Expected a character, but multi-character string found": [["a", "ab"], [b"ab"]],
            "Character code point not in range(0x100)": [["\u0100"], ["\u20ac"]],
            "Cannot convert None to a character": [["a", None]],
        }
        miner = _qel_cpp.PatternMiner(1.0, min_len=2)
        for state in ({}, EXAMPLE_RESULT):
            for argument in type_errors:
                with self.subTest(argument=argument), self.assertRaises(TypeError) as caught:
                    miner.mine(argument)
                self.assertIn(MINE_SIGNATURE, str(caught.exception))
                self.assertEqual(summary(miner.frequent), state)
            for message, items in value_errors.items():
                for item in items:
                    with self.subTest(item=item), self.assertRaises(ValueError) as caught:
                        miner.mine([list("ab"), item])
                    self.assertEqual(str(caught.exception), message)
                    self.assertEqual(summary(miner.frequent), state)
            with self.assertRaises(TypeError):
                miner.mine(arg0=EXAMPLE)
            with self.assertRaises(TypeError):
                miner.mine()
            miner.mine(EXAMPLE)
        self.assertEqual(summary(miner.frequent), EXAMPLE_RESULT)


class MotifTest(unittest.TestCase):
    def setUp(self):
        self.miner = _qel_cpp.PatternMiner(1.0, min_len=2)
        self.miner.mine(EXAMPLE)

    def test_not_constructible(self):
        with self.assertRaises(TypeError) as caught:
            _qel_cpp.Motif()
        self.assertEqual(str(caught.exception), "_qel_cpp.Motif: No constructor defined!")

    def test_unmapped_values(self):
        for key, motif in self.miner.frequent.items():
            with self.subTest(key=key):
                self.assertEqual((motif.length, motif.naed), (0, 0.0))
                self.assertIsInstance(motif.naed, float)
                self.assertEqual((motif.representative, motif.average_occurrences, motif.best_matches),
                                 ([], {}, {}))
                self.assertEqual((repr(motif), str(motif)), (f"Motif('{key}')",) * 2)

    def test_every_read_is_a_new_object(self):
        first, second = self.miner.frequent, self.miner.frequent
        self.assertIsNot(first, second)
        self.assertIsNot(first["ab"], second["ab"])
        del first["ba"]
        self.assertEqual(list(self.miner.frequent), ["ab", "ba"])
        motif = second["ab"]
        for name in ("indexes", "average_occurrences", "representative", "best_matches"):
            with self.subTest(name=name):
                self.assertIsNot(getattr(motif, name), getattr(motif, name))
        indexes = motif.indexes
        indexes[0].append(7)
        indexes[9] = [1]
        self.assertEqual(motif.indexes, EXAMPLE_RESULT["ab"])
        motif.representative.append(1.0)
        self.assertEqual(motif.representative, [])

    def test_properties_are_read_only(self):
        motif = self.miner.frequent["ab"]
        for target, name in [(motif, "pattern"), (motif, "indexes"), (motif, "naed"), (motif, "length"),
                             (self.miner, "frequent"), (motif, "extra")]:
            with self.subTest(name=name):
                with self.assertRaises(AttributeError):
                    setattr(target, name, {})
                with self.assertRaises(AttributeError):
                    delattr(target, name)
        self.assertEqual((motif.pattern, motif.indexes), ("ab", EXAMPLE_RESULT["ab"]))

    def test_motifs_outlive_their_miner(self):
        frequent = self.miner.frequent
        del self.miner
        gc.collect()
        self.assertEqual(summary(frequent), EXAMPLE_RESULT)
        self.assertEqual(repr(frequent["ba"]), "Motif('ba')")


if __name__ == "__main__":
    unittest.main()
