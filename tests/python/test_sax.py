import os
import shutil
import subprocess
import sys
import unittest

import _qel_cpp

ONE_TO_EIGHT = [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0]
LENGTH_ERROR = "cannot create std::vector larger than max_size()"


class ModuleTest(unittest.TestCase):
    def test_module_has_no_docstring(self):
        self.assertIsNone(_qel_cpp.__doc__)

    def test_sax_signature_line(self):
        self.assertEqual(
            _qel_cpp.sax.__doc__.splitlines()[0],
            "sax(ts: List[List[float]], seglen: int, alphabet: int) -> List[List[str]]",
        )

    def test_import_under_another_interpreter_fails(self):
        other = next(
            (path for path in (shutil.which(name) for name in ("python3", "python3.11", "python3.12"))
             if path and not os.path.samefile(path, sys.executable)),
            None,
        )
        if other is None:
            self.skipTest("no second Python interpreter on this machine")
        version = subprocess.run(
            [other, "-c", "import sys; print(sys.version_info[:2] == (3, 9))"],
            capture_output=True, text=True, check=True,
        ).stdout.strip()
        if version == "True":
            self.skipTest("the second interpreter is 3.9 as well")
        load = (
            "import importlib.machinery, importlib.util, sys\n"
            "path = sys.argv[1]\n"
            "loader = importlib.machinery.ExtensionFileLoader('_qel_cpp', path)\n"
            "found = importlib.util.spec_from_file_location('_qel_cpp', path, loader=loader)\n"
            "try:\n"
            "    importlib.util.module_from_spec(found)\n"
            "except ImportError as error:\n"
            "    print('ImportError:', error)\n"
            "else:\n"
            "    print('loaded')\n"
        )
        result = subprocess.run(
            [other, "-c", load, _qel_cpp.__file__], capture_output=True, text=True
        )
        self.assertIn("ImportError:", result.stdout, result.stderr)
        self.assertIn("3.9", result.stdout)


class SaxTest(unittest.TestCase):
    def test_values_are_discretised_unnormalised(self):
        self.assertEqual(_qel_cpp.sax([ONE_TO_EIGHT], 4, 3), [["c", "c"]])

    def test_trailing_segment_is_divided_by_full_length(self):
        deviation = 5.25 ** 0.5
        normalised = [(x - 4.5) / deviation for x in ONE_TO_EIGHT]
        self.assertEqual(_qel_cpp.sax([normalised], 3, 10), [["b", "f", "i"]])

    def test_positional_keyword_and_mixed_calls_agree(self):
        expected = [["c", "c"]]
        self.assertEqual(_qel_cpp.sax(ts=[ONE_TO_EIGHT], seglen=4, alphabet=3), expected)
        self.assertEqual(_qel_cpp.sax([ONE_TO_EIGHT], alphabet=3, seglen=4), expected)
        self.assertEqual(_qel_cpp.sax(alphabet=3, seglen=4, ts=[ONE_TO_EIGHT]), expected)

    def test_tuples_and_ints_are_accepted(self):
        self.assertEqual(_qel_cpp.sax(((1, 2, 3, 4, 5, 6, 7, 8),), 4, 3), [["c", "c"]])

    def test_result_is_one_character_strings_one_list_per_series(self):
        result = _qel_cpp.sax([ONE_TO_EIGHT, [], [-9.0] * 5], 2, 4)
        self.assertEqual(len(result), 3)
        self.assertEqual(result[1], [])
        for row in result:
            for letter in row:
                self.assertIsInstance(letter, str)
                self.assertEqual(len(letter), 1)

    def test_callers_list_is_unchanged(self):
        ts = [list(ONE_TO_EIGHT), [5.0, 5.0]]
        copy = [list(series) for series in ts]
        _qel_cpp.sax(ts, 3, 5)
        self.assertEqual(ts, copy)

    def test_empty_set_gives_empty_result(self):
        self.assertEqual(_qel_cpp.sax([], 4, 3), [])
        self.assertEqual(_qel_cpp.sax([], 0, 3), [])

    def test_refused_arguments_raise_type_error(self):
        refused = [
            ("abc", 4, 3),
            (b"abc", 4, 3),
            (["abc"], 4, 3),
            ([b"ab"], 4, 3),
            ([["x"]], 4, 3),
            ([ONE_TO_EIGHT], 4.0, 3),
            ([ONE_TO_EIGHT], 4, 3.0),
            ([ONE_TO_EIGHT], 2147483648, 3),
            ([ONE_TO_EIGHT], -2147483649, 3),
            ([ONE_TO_EIGHT], 4, None),
        ]
        for args in refused:
            with self.subTest(args=args), self.assertRaises(TypeError) as caught:
                _qel_cpp.sax(*args)
            self.assertIn("(ts: List[List[float]], seglen: int, alphabet: int) -> List[List[str]]", str(caught.exception))
        with self.assertRaises(TypeError):
            _qel_cpp.sax([ONE_TO_EIGHT], 4)
        with self.assertRaises(TypeError):
            _qel_cpp.sax([ONE_TO_EIGHT], 4, 3, size=2)

    def test_unusable_segment_length_is_value_error(self):
        for ts, seglen in (([ONE_TO_EIGHT], 0), ([[]], 0), ([ONE_TO_EIGHT], -3)):
            with self.subTest(ts=ts, seglen=seglen), self.assertRaises(ValueError) as caught:
                _qel_cpp.sax(ts, seglen, 3)
            self.assertEqual(str(caught.exception), LENGTH_ERROR)
        self.assertEqual(_qel_cpp.sax([[1.0, 2.0]], -3, 3), [[]])

    def test_alphabet_outside_table_is_value_error(self):
        for alphabet in (-1, 11, 2147483647):
            for ts in ([], [ONE_TO_EIGHT]):
                with self.subTest(alphabet=alphabet, ts=ts), self.assertRaises(ValueError) as caught:
                    _qel_cpp.sax(ts, 4, alphabet)
                self.assertEqual(str(caught.exception), f"alphabet must be between 0 and 10, got {alphabet}")

    def test_nan_and_infinity_values(self):
        nan, inf = float("nan"), float("inf")
        self.assertEqual(_qel_cpp.sax([[nan, 1.0, inf, 1.0, -inf, 1.0]], 2, 4), [["a", "d", "a"]])


if __name__ == "__main__":
    unittest.main()
