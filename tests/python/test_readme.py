"""The examples in README.md run as written."""
import doctest
import os
import re

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


class FencedParser(doctest.DocTestParser):
    """Reads Markdown: a closing code fence ends an expected output like a blank line does."""

    def parse(self, string, name="<string>"):
        return super().parse(re.sub(r"^```.*$", "", string, flags=re.M), name)


def test_readme_examples():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    test = FencedParser().get_doctest(text, {}, "README.md", README, 0)
    assert test.examples, "README.md holds no example"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0, f"{runner.failures} README example(s) failed; see the output above"
