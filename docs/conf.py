"""Sphinx configuration of the twolocus documentation: the HTML site and the man pages.

Built by the top-level CMake build (target docs) with Debian's python3-sphinx
and python3-myst-parser, warnings as errors and references checked (-W -n).
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
# The Python package (for autodoc and the message table) and the extensions here.
sys.path.insert(0, os.path.join(TOP, "python"))
sys.path.insert(0, os.path.join(HERE, "_ext"))

project = "twolocus"
author = "the twolocus developers"
copyright = "2026, the twolocus developers"
# A fixed date, so that the man pages are the same bytes on every build.
today = "2026"
# The release, from the file VERSION at the top (its one place); the man
# pages' footer shows version, so it is the whole release too.
with open(os.path.join(TOP, "VERSION"), encoding="utf-8") as _file:
    release = _file.readline().strip()
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "twolocus_messages",
    "twolocus_parameters",
    "plain_docstrings",
    "rendering_checks",
]
# dollarmath: $...$ and $$...$$ as math (the formulas of the reference and the verification page).
myst_enable_extensions = ["deflist", "colon_fence", "dollarmath"]
# Anchors for the headings of every page, so that [text](page.md#heading) is checked.
myst_heading_anchors = 4
source_suffix = {".md": "markdown"}
# Blocks without a language (program output, file contents) are shown as they are.
highlight_language = "none"
root_doc = "index"
# Text is shown as written: "--first" stays two hyphens (not an en dash) and
# quotes stay straight, as on a command line.
smartquotes = False
exclude_patterns = ["_build"]
# The message table that the Reference's messages page and twolocus(1) are made from.
twolocus_message_table = os.path.join(TOP, "src", "run", "messages.def")

autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": False}
# The docstrings are plain text, not reStructuredText (see the Python tools' index).
autodoc_typehints = "none"
# The engines' API (twolocus.engines, twolocus.run) has NumPy-style docstrings (sections with
# underlined headings); no other docstring style is read.
napoleon_google_docstring = False
napoleon_numpy_docstring = True
# Types are text (no cross-references to check).
napoleon_use_param = False
napoleon_use_rtype = False
# Attributes are listed as parameters are.
napoleon_custom_sections = [("Attributes", "params_style")]

html_theme = "alabaster"
html_title = f"twolocus {release} documentation"
html_theme_options = {
    "description": "A diploid population at two loci with three alleles each",
    "page_width": "1260px",
    "sidebar_width": "220px",
    "code_font_size": "0.8em",
    "body_max_width": "1000px",
    "fixed_sidebar": True,
    "show_relbars": True,
}
html_sidebars = {"**": ["about.html", "navigation.html", "searchbox.html"]}
html_copy_source = False
html_show_sourcelink = False
html_static_path = ["_static"]
html_css_files = ["twolocus.css"]

# The man pages: their sources are the Reference's command pages.
man_pages = [
    ("reference/twolocus", "twolocus",
     "simulate a diploid population at two loci with three alleles each", [], 1),
    ("reference/twolocus-multinomial", "twolocus-multinomial",
     "the twolocus model sampled by class counts, at a cost that does not depend on N", [], 1),
    ("reference/twolocus-sim", "twolocus-sim",
     "the general two-locus model: recombination, back mutation, real fitness values", [], 1),
    ("reference/twolocus-stats", "twolocus-stats",
     "statistics of every population in twolocus trajectory files", [], 1),
    ("reference/twolocus-plot", "twolocus-plot",
     "pictures of twolocus runs over generations", [], 1),
    ("reference/twolocus-sweep", "twolocus-sweep",
     "many twolocus runs from a design file, with GNU parallel or Slurm", [], 1),
]
man_show_urls = False
man_make_section_directory = False
