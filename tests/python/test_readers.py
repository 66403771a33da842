"""The file readers: what each format gives, padding, labels, and the mistakes they report."""
import math
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))

from qel.errors import UsageError  # noqa: E402
from qel.readers import combine, read_series  # noqa: E402

DATA = os.path.join(HERE, "data")


def data(name):
    return os.path.join(DATA, name)


class TempFiles(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def write(self, name, text):
        path = os.path.join(self.folder.name, name)
        with open(path, "w", newline="") as stream:
            stream.write(text)
        return path

    def assertFails(self, path, *parts, **options):
        with self.assertRaises(UsageError) as caught:
            read_series(path, **options)
        message = str(caught.exception)
        self.assertNotIn("\n", message)
        for part in parts:
            self.assertIn(part, message)


class FormatsTest(TempFiles):
    def test_ucr_text_has_labels_first_and_loses_its_nan_padding(self):
        file = read_series(data("ucr_labelled"))
        self.assertEqual(file.label_column, "first")
        self.assertEqual(file.labels, ["1", "2", "1", "2", "1", "2"])
        self.assertEqual(file.series[1], [float(10 + i) for i in range(8)])
        self.assertEqual(file.series[5], [50.0, 51.0, 52.0, 53.0, 54.0])

    def test_label_column_none_keeps_the_first_column_as_values(self):
        file = read_series(data("ucr_labelled"), label_column="none")
        self.assertIsNone(file.labels)
        self.assertEqual(file.series[0][:2], [1.0, 0.0])

    def test_csv_rows_may_differ_in_length(self):
        file = read_series(data("plain.csv"))
        self.assertEqual(file.series, [[1, 2, 3, 4, 5, 6], [7, 8, 9, 10], [11, 12, 13, 14]])
        self.assertIsNone(file.labels)

    def test_csv_is_never_labelled_by_guess_but_can_be_told(self):
        path = self.write("labelled.csv", "1,0.5,0.7\n2,0.1,0.2\n")
        self.assertIsNone(read_series(path).labels)
        self.assertEqual(read_series(path, label_column="first").labels, ["1", "2"])
        self.assertEqual(read_series(path, label_column="last").series, [[1, 0.5], [2, 0.1]])

    def test_ucr_named_file_with_fractional_first_column_has_no_labels(self):
        path = self.write("NOLABEL_TRAIN", "0.5 1 2\n1.5 3 4\n")
        self.assertEqual(read_series(path).series, [[0.5, 1, 2], [1.5, 3, 4]])

    def test_semicolons_separate_when_the_first_line_uses_them(self):
        self.assertEqual(read_series(self.write("semi.csv", "1;2;3\n4;5\n")).series, [[1, 2, 3], [4, 5]])

    def test_tab_separated_with_trailing_empty_padding(self):
        path = self.write("set.tsv", "1\t0.5\t0.6\t0.7\n2\t0.1\t0.2\t\n")
        file = read_series(path)
        self.assertEqual(file.labels, ["1", "2"])
        self.assertEqual(file.series, [[0.5, 0.6, 0.7], [0.1, 0.2]])

    def test_arff_class_is_the_last_attribute(self):
        file = read_series(data("small.arff"))
        self.assertEqual(file.labels, ["1", "-1", "1"])
        self.assertEqual(file.series, [[0.5, 1.5, 2.5, 3.5], [-1, -2, -3, -4], [4, 5]])

    def test_timestamped_csv_is_one_series_of_its_value_column(self):
        file = read_series(data("timestamped.csv"))
        self.assertEqual(file.layout, "columns")
        self.assertEqual(len(file.series), 1)
        self.assertEqual(file.series[0][:3], [100.0, 101.0, 102.0])
        self.assertEqual(len(file.series[0]), 20)

    def test_column_option_picks_by_name_or_number(self):
        path = self.write("two.csv", "time,a,b\nx,1,10\ny,2,20\n")
        self.assertEqual(read_series(path).series, [[1, 2], [10, 20]])
        self.assertEqual(read_series(path, column="b").series, [[10, 20]])
        self.assertEqual(read_series(path, column="2").series, [[1, 2]])

    def test_one_value_per_line_is_one_series(self):
        file = read_series(data("one_per_line.txt"))
        self.assertEqual(file.series, [[float((i * 7) % 11) for i in range(24)]])

    def test_npy_one_and_two_dimensional(self):
        try:
            import numpy
        except ImportError:
            self.skipTest("NumPy is not installed")
        one = os.path.join(self.folder.name, "one.npy")
        numpy.save(one, numpy.arange(5, dtype=numpy.int32))
        self.assertEqual(read_series(one).series, [[0, 1, 2, 3, 4]])
        two = os.path.join(self.folder.name, "two.npy")
        numpy.save(two, numpy.array([[1, 0.5, 0.25, math.nan], [2, 1.0, 2.0, 3.0]]))
        self.assertEqual(read_series(two).series, [[1, 0.5, 0.25], [2, 1, 2, 3]])
        self.assertEqual(read_series(two, label_column="first").labels, ["1", "2"])
        gap = os.path.join(self.folder.name, "gap.npy")
        numpy.save(gap, numpy.array([[1.0, math.nan, 3.0]]))
        self.assertFails(gap, "row 0, column 1", "inside a series")
        cube = os.path.join(self.folder.name, "cube.npy")
        numpy.save(cube, numpy.zeros((2, 2, 2)))
        self.assertFails(cube, "3-D")
        text = os.path.join(self.folder.name, "text.npy")
        numpy.save(text, numpy.array(["a", "b"]))
        self.assertFails(text, "expected numbers")


def npy_file(path, header, data=b"", version=(1, 0)):
    """An .npy file as written by hand: magic, `header` padded as NumPy pads it, then `data`."""
    text = (header + " " * (-(len(header) + 11) % 64) + "\n").encode("latin1")
    size = len(text).to_bytes(2 if version == (1, 0) else 4, "little")
    with open(path, "wb") as stream:
        stream.write(b"\x93NUMPY" + bytes(version) + size + text + data)
    return path


class NpyTest(TempFiles):
    def setUp(self):
        super().setUp()
        try:
            import numpy
        except ImportError:
            self.skipTest("NumPy is not installed")
        self.numpy = numpy

    def path(self, name):
        return os.path.join(self.folder.name, name)

    def save(self, name, array):
        self.numpy.save(self.path(name), array, allow_pickle=True)
        return self.path(name)

    def test_a_header_is_checked_before_anything_is_read(self):
        floats = "{'descr': '<f8', 'fortran_order': False, 'shape': %s, }"
        ten = bytes(80)
        cases = [
            # Would otherwise ask for 7.3 TiB before reading a byte of it.
            ("huge.npy", floats % "(1000000000000,)", ten, ["(1000000000000,)", "8000000000000 bytes",
                                                             "holds 80 bytes"]),
            ("wide.npy", floats % "(100000, 100000)", ten, ["(100000, 100000)", "holds 80 bytes"]),
            ("short.npy", floats % "(11,)", ten, ["88 bytes", "holds 80 bytes"]),
            ("negative.npy", floats % "(-10,)", ten, ["(-10,)"]),
            # Unbalanced brackets fail in the tokenizer NumPy retries a header with.
            ("unclosed.npy", floats % "(10,,", ten, ["bad header"]),
            ("list.npy", "[1, 2, 3]", ten, ["bad header", "not a dictionary"]),
            ("keys.npy", "{'descr': '<f8'}", ten, ["bad header", "keys"]),
            ("blank.npy", "", b"", ["bad header"]),
        ]
        for name, header, data, parts in cases:
            with self.subTest(name):
                self.assertFails(npy_file(self.path(name), header, data), name, *parts)
        self.assertFails(npy_file(self.path("v3.npy"), floats % "(10,)", ten, version=(3, 0)), "version 3.0")
        for name, data in (("magic.npy", b"PK\x03\x04 an npz archive"), ("cut.npy", b"\x93NUMPY\x01\x00\x76")):
            with self.subTest(name), open(self.path(name), "wb") as stream:
                stream.write(data)
            self.assertFails(self.path(name), name, "not a readable .npy file")
        # The hand-made header reads when it is sound: the cases above fail for their fault.
        self.assertEqual(read_series(npy_file(self.path("sound.npy"), floats % "(10,)", ten)).series, [[0.0] * 10])

    def test_values_other_than_real_numbers_are_named(self):
        cases = [
            ("complex.npy", self.numpy.array([1 + 2j, 3j]), "complex128"),
            ("objects.npy", self.numpy.array([1.0, None], dtype=object), "object"),
            ("text.npy", self.numpy.array(["a", "b"]), "<U1"),
            ("records.npy", self.numpy.zeros(3, dtype=[("x", "<f8")]), "expected numbers"),
            ("dates.npy", self.numpy.array(["2024-01-01"], dtype="datetime64[D]"), "datetime64"),
        ]
        for name, array, part in cases:
            with self.subTest(name):
                self.assertFails(self.save(name, array), name, part, "expected numbers")

    def test_inf_and_nan_are_named_with_their_row_and_column(self):
        inf, nan = math.inf, math.nan
        cases = [
            ("inf.npy", [[1.0, 2.0, inf, 3.0], [1.0, 2.0, 3.0, 4.0]], {}, ["row 0, column 2", "inf"]),
            ("minus.npy", [[1.0, 2.0, 3.0], [4.0, -inf, 5.0]], {}, ["row 1, column 1", "-inf"]),
            ("one.npy", [1.0, 2.0, inf], {}, ["row 0, column 2", "inf"]),
            ("nan.npy", [[1.0, nan, 3.0, 4.0]], {}, ["row 0, column 1", "NaN inside a series"]),
            # Columns count from the label column, as the file has them.
            ("labelled.npy", [[1.0, 2.0, 3.0, inf]], {"label_column": "first"}, ["row 0, column 3", "inf"]),
            ("gap.npy", [[1.0, 2.0, nan, 4.0]], {"label_column": "first"}, ["row 0, column 2", "NaN"]),
        ]
        for name, values, options, parts in cases:
            with self.subTest(name):
                self.assertFails(self.save(name, self.numpy.array(values)), name, *parts, **options)


class MistakesTest(TempFiles):
    def test_gaps_and_bad_numbers_name_their_line_and_column(self):
        cases = [
            ("gap.csv", "1,2,3\n4,,6\n", "line 2, column 2"),
            ("nan.csv", "1,NaN,3\n", "line 1, column 2"),
            ("word.csv", "1,2,3\n4,5,x6\n", "line 2, column 3"),
            ("inf.csv", "1,inf,3\n", "line 1, column 2"),
            ("huge.csv", "1,1e999,3\n", "line 1, column 2"),
            ("underscore.csv", "1,1_000,3\n", "line 1, column 2"),
            ("gap_LABELLED", "1 0.5 NaN 0.7\n", "line 1, column 3"),
            ("lead.tsv", "\t1\t2\n", "line 1, column 1"),
            # A garbled number on the first line is no header to skip.
            ("typo.txt", "1.2.3\n4\n5\n", "line 1, column 1"),
        ]
        for name, text, where in cases:
            with self.subTest(name):
                self.assertFails(self.write(name, text), name, where)

    def test_unreadable_and_empty_files(self):
        self.assertFails(self.folder.name + "/", "cannot read")
        self.assertFails(self.write("empty.csv", "\n# nothing\n"), "no data")
        self.assertFails(self.write("binary.csv", "1,2\0,3"), "not a text file")
        self.assertFails(self.write("header.csv", "a,b\n"), "no data")

    def test_malformed_arff(self):
        self.assertFails(self.write("nodata.arff", "@relation x\n@attribute a numeric\n"), "no @data")
        self.assertFails(self.write("short.arff", "@relation x\n@attribute a numeric\n@attribute b numeric\n"
                                                  "@attribute c {0,1}\n@data\n1,2\n"), "line 6", "2 values")
        self.assertFails(self.write("sparse.arff", "@attribute a numeric\n@attribute c {0,1}\n@data\n{0 1}\n"),
                         "sparse")

    def test_unknown_column(self):
        self.assertFails(data("timestamped.csv"), "no column 'price'", "timestamp, value", column="price")


class CombineTest(unittest.TestCase):
    def test_files_concatenate_and_a_class_selects_by_number(self):
        inputs = combine([read_series(data("ucr_labelled")), read_series(data("small.arff"))], "1.0")
        self.assertEqual(len(inputs.series), 9)
        self.assertEqual(inputs.selected, [0, 2, 4, 6, 8])
        self.assertEqual(inputs.class_label, "1")

    def test_unknown_class_lists_the_classes(self):
        with self.assertRaises(UsageError) as caught:
            combine([read_series(data("ucr_labelled"))], "7")
        self.assertIn("1, 2", str(caught.exception))

    def test_a_class_needs_labelled_files(self):
        with self.assertRaises(UsageError):
            combine([read_series(data("plain.csv"))], "1")


if __name__ == "__main__":
    unittest.main()
