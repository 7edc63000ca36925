"""The reference page's option table is made from the program's table of
parameters: every option of the table is a row of the built page and of the
man page, with the range the program checks (twolocus._core.parameters()),
and the page's source has no option row written by hand."""

import html
import re
import sys

import pytest

from conftest import BUILD, REPOSITORY
from twolocus import _core

DOCS_EXTENSIONS = REPOSITORY / "docs" / "_ext"


def _rows():
    sys.path.insert(0, str(DOCS_EXTENSIONS))
    try:
        from twolocus_parameters import option_rows
    finally:
        sys.path.remove(str(DOCS_EXTENSIONS))
    return option_rows(_core.parameters())


def test_every_option_is_a_row_with_the_programs_range():
    entries = _core.parameters()
    options = [name for entry in entries for name in entry["options"].split()]
    rows = _rows()
    assert [name for names, _, _ in rows for name in names] == options
    for names, value, _ in rows:
        entry = next(e for e in entries if e["options"].split() == names)
        if entry["kind"] in ("integer", "real", "probability"):
            low, high = value.split(" … ")
            assert float(low) == entry["low"] and float(high) == entry["high"], names


def test_the_page_holds_no_hand_written_option_row():
    page = (REPOSITORY / "docs" / "reference" / "twolocus-sim.md").read_text()
    assert "```{twolocus-parameters}" in page
    assert not re.search(r"^\| `--?[a-zN]", page, re.M)


def test_the_built_page_and_man_page_show_every_row():
    built = BUILD / "docs" / "html" / "reference" / "twolocus-sim.html"
    manual = BUILD / "docs" / "man" / "twolocus-sim.1"
    if not built.exists() or not manual.exists():
        pytest.skip("the documentation is not built in " + str(BUILD))
    text = html.unescape(re.sub(r"\s+", " ", re.sub(r"<[^>]+>", " ", built.read_text())))
    man = manual.read_text().replace("\\-", "-").replace("\\(em", "—")
    for names, value, meaning in _rows():
        for name in names:
            assert name in text and name in man, name
        assert value.split(" … ")[0] in text
        assert meaning.split(" (")[0][:30] in text, meaning
