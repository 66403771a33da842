"""The pictures: the panels, legends and names a reader needs, on the built-in example and a UCR class."""
import io
import os
import sys
import unittest
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
CBF_TEST = os.path.join(ROOT, "..", "shared", "data", "CBF_TEST")

try:
    import matplotlib  # noqa: F401
    import numpy  # noqa: F401
except ImportError:
    raise unittest.SkipTest("the pictures need matplotlib and NumPy")

from qel import example, plot  # noqa: E402
from qel.mining import Parameters, mine  # noqa: E402
from qel.readers import InputSet, combine, read_series  # noqa: E402
from qel.verified import Settings, mine_verified  # noqa: E402
from qel.windows import whole_series  # noqa: E402

PNG = b"\x89PNG\r\n\x1a\n"


def legend(axes):
    return [text.get_text() for text in axes.get_legend().get_texts()]


def saved(figure, picture_format):
    stream = io.BytesIO()
    figure.savefig(stream, format=picture_format, dpi=40)
    return stream.getvalue()


def drawn(inputs, pictures, mined, alone=False):
    chosen = pictures[:1] if alone else pictures
    return plot.figure(chosen, plot.series_names(inputs), [len(v) for v in inputs.series], plot.rows_of(mined),
                       "the set")


class ExamplePictureTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        planted = example.example()
        cls.inputs = InputSet([], planted.series, [None] * len(planted.series), list(range(len(planted.series))))
        cls.mined = whole_series(planted.series, cls.inputs.selected)

    def test_distance_ranking_panels_legends_and_names(self):
        records = mine_verified(self.mined, Settings(length=32, top=3))
        figure = drawn(self.inputs, plot.verified_pictures(records, self.inputs.series, False), self.mined)
        axes = figure.get_axes()
        self.assertEqual(len(axes), 2 * len(records))
        for record, shape, strip in zip(records, axes[0::2], axes[1::2]):
            with self.subTest(record.rank):
                title = shape.get_title(loc="left")
                for part in (f"#{record.rank}", "32 points", f"radius {record.radius:.3f}",
                             f"support {record.support} of 12 series"):
                    self.assertIn(part, title)
                where = record.found_at
                self.assertEqual(legend(shape), [f"representative (series {where.series} from point {where.start})",
                                                 f"matches ({record.support})"])
                # The representative and one line per match.
                self.assertEqual(len(shape.get_lines()), record.support + 1)
                self.assertEqual(legend(strip), [f"matches (distance up to {record.radius:.3f})",
                                                 "nearest occurrence beyond the radius", "the series' extent"])
                self.assertEqual([t.get_text() for t in strip.get_yticklabels()], [f"series {n}" for n in range(12)])
                extents, beyond, matches = strip.collections
                self.assertEqual(len(matches.get_segments()), record.support)
                self.assertEqual(len(beyond.get_segments()), 12 - record.support)
                # Bars in points of the series: a match spans its 32 points from its start.
                (start, row), (end, _) = matches.get_segments()[0]
                self.assertEqual(end - start, 32)
        self.assertEqual(saved(figure, "png")[:8], PNG)
        self.assertTrue(ElementTree.fromstring(saved(figure, "svg")).tag.endswith("svg"))

    def test_naed_ranking_legends_tell_best_matches_from_other_occurrences(self):
        records = mine(self.mined, Parameters())[:2]
        figure = drawn(self.inputs, plot.naed_pictures(records, self.mined), self.mined)
        shape, strip = figure.get_axes()[:2]
        self.assertEqual(legend(shape), ["representative (average of the occurrences)",
                                         f"best match per series ({len(records[0].best_matches)})"])
        self.assertEqual(legend(strip), ["best matches", "other occurrences", "the series' extent"])
        self.assertIn(f"{records[0].length} points, naed", shape.get_title(loc="left"))

    def test_no_motif_is_a_picture_that_says_so(self):
        figure = drawn(self.inputs, [], self.mined)
        self.assertEqual(figure.get_axes(), [])
        self.assertIn("no motifs found", [text.get_text() for text in figure.texts])
        self.assertEqual(saved(figure, "png")[:8], PNG)


@unittest.skipUnless(os.path.exists(CBF_TEST), "the shared UCR data is not next to this checkout")
class ArchivePictureTest(unittest.TestCase):
    def test_a_ucr_class_names_its_series_by_file_line_and_class(self):
        inputs = combine([read_series(CBF_TEST)], "1")
        chosen = [inputs.series[n] for n in inputs.selected]
        mined = whole_series(chosen, inputs.selected)
        records = mine_verified(mined, Settings(length=64, top=2))
        pictures = plot.verified_pictures(records, inputs.series, False)
        for alone, named in ((False, 2), (True, plot.MOST_ROWS)):
            with self.subTest(alone=alone):
                figure = drawn(inputs, pictures, mined, alone)
                self.assertEqual(len(figure.get_axes()), 2 if alone else 4)
                strip = figure.get_axes()[1]
                labels = [t.get_text() for t in strip.get_yticklabels()]
                self.assertEqual(len(labels), named)
                first = inputs.selected[0]
                self.assertEqual(labels[0], f"{first}: CBF_TEST line {first + 1} (class 1)")
                self.assertIn(f"first {plot.MOST_ROWS} of 300 series shown", strip.get_title(loc="left"))
                self.assertIn(f"matches ({plot.MOST_OVERLAYS} of {records[0].support} drawn)",
                              legend(figure.get_axes()[0]))
                self.assertEqual(saved(figure, "png")[:8], PNG)


if __name__ == "__main__":
    unittest.main()
