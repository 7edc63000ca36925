"""The documentation's rendering checks (docs/_ext/rendering_checks.py) catch each fault they
name, on a small site built by Sphinx with the site's own extensions, and plain_docstrings
shows a docstring's indented usage as written."""

import os
import re
import subprocess
import textwrap

from conftest import REPOSITORY

CONF = """
import sys
sys.path[:0] = [{ext!r}, {here!r}]
extensions = ["myst_parser", "sphinx.ext.autodoc", "rendering_checks"{more}]
smartquotes = {smartquotes}
highlight_language = "none"
exclude_patterns = ["_build"]
"""
# A module docstring as the package writes them: plain text, a usage indented.
MODULE = '''"""mytool: does things.

    twolocus-sweep grid [--sim] COLUMN=V1,V2,... -o DESIGN
    twolocus-sweep run [--sim [--batch-size B]] DESIGN DIR

With --sim the design is for twolocus-sim.
"""
'''


def build(tmp_path, pages, plain_docstrings=False, smartquotes=True):
    """Builds the pages {name: Markdown} as HTML; returns (warnings, the HTML of each page)."""
    source = tmp_path / "source"
    source.mkdir()
    (source / "conf.py").write_text(CONF.format(
        ext=str(REPOSITORY / "docs" / "_ext"), here=str(source), smartquotes=smartquotes,
        more=', "plain_docstrings"' if plain_docstrings else ""))
    (source / "mytool.py").write_text(MODULE)
    (source / "index.md").write_text("# Site\n\n```{toctree}\n" + "\n".join(pages) + "\n```\n")
    for name, text in pages.items():
        (source / f"{name}.md").write_text(textwrap.dedent(text))
    done = subprocess.run(["/usr/bin/python3", "-m", "sphinx", "-q", "-E", "-b", "html", source,
                           tmp_path / "html"], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
    assert done.returncode == 0, done.stderr
    html = {name: (tmp_path / "html" / f"{name}.html").read_text() for name in pages}
    return [line for line in done.stderr.splitlines() if "WARNING" in line], html


FAULTS = {
    # A wrapped line in a code span that starts with ">": a block quote.
    "quote": """
        # Quote

        The run stops with (`--stop "h22
        >= 0.5"`), and goes on.
        """,
    # Two hyphens in prose, made an en dash by smart quotes.
    "dash": """
        # Dash

        Give the option --first to mark the crossing.
        """,
    # A usage written as lines of a paragraph: joined into one line.
    "usage": """
        # Usage

        twolocus-sweep grid COLUMN=V1,V2 -o DESIGN
        twolocus-sweep run DESIGN DIR
        """,
    # A plain docstring's indented usage, read as reStructuredText.
    "docstring": """
        # Docstring

        ```{eval-rst}
        .. automodule:: mytool
        ```
        """,
}


def test_each_fault_is_reported_with_its_page(tmp_path):
    warnings, html = build(tmp_path, FAULTS)

    def on(page, text):
        return [w for w in warnings if page in w and text in w]
    # The quote's text is what follows the ">" taken as its mark.
    assert on("quote.md", "a block quote [= 0.5"), warnings
    assert on("dash.md", "a dash before a name [Give the option \u2013first"), warnings
    assert on("usage.md", "a usage text reflowed into a paragraph [twolocus-sweep grid"), warnings
    assert on("mytool", "a block quote [twolocus-sweep grid"), warnings
    assert on("mytool", "a usage text reflowed"), warnings
    kinds = ("a block quote [", "a dash before a name [", "a usage text reflowed")
    assert all(any(kind in w for kind in kinds) for w in warnings), warnings
    # What the reader would have seen.
    assert "<blockquote>" in html["quote"] and "\u2013first" in html["dash"]


def test_the_site_settings_show_each_as_written(tmp_path):
    pages = dict(FAULTS, quote="""
        # Quote

        The run stops with
        (`--stop "h22 >= 0.5"`), and goes on.
        """, usage="""
        # Usage

        ```
        twolocus-sweep grid COLUMN=V1,V2 -o DESIGN
        twolocus-sweep run DESIGN DIR
        ```
        """)
    warnings, html = build(tmp_path, pages, plain_docstrings=True, smartquotes=False)
    assert warnings == []
    assert "--first" in html["dash"] and "<blockquote>" not in html["quote"]
    # The docstring's usage is a literal block, line for line.
    shown = re.sub(r"<[^>]*>", "", html["docstring"])
    assert ("\ntwolocus-sweep grid [--sim] COLUMN=V1,V2,... -o DESIGN\n"
            "twolocus-sweep run [--sim [--batch-size B]] DESIGN DIR\n" in shown)
