"""The examples in README.md run as written."""
import doctest
import os
import re
import unittest

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


class FencedParser(doctest.DocTestParser):
    """Reads Markdown: a closing code fence ends an expected output like a blank line does."""

    def parse(self, string, name="<string>"):
        return super().parse(re.sub(r"^```.*$", "", string, flags=re.M), name)


def load_tests(loader, tests, ignore):
    tests.addTests(doctest.DocFileSuite(README, module_relative=False, parser=FencedParser()))
    return tests


if __name__ == "__main__":
    unittest.main()
