"""Warns about text that the pages do not show as written (the build's -W makes each an error).

Three faults that a page's source does not show and its reader does:

- a block quote: in Markdown a wrapped line that happens to start with ">"
  (such as `>= 0.5`), in a docstring an indented block after a paragraph;
  the pages mean none;
- a dash before a name, as "–first": two hyphens turned into an en dash, so
  that an option cannot be copied from the page;
- a usage text reflowed: a paragraph with two or more lines that each start
  with a command's name (as plain text, not code) and its arguments, which
  the reader sees run together on one line.

Each is checked on the document as it is shown, after every transform, and
reported with its page and line.
"""

import re

from docutils import nodes
from sphinx.util import logging

_LOGGER = logging.getLogger(__name__)
# A dash that starts a word: an option's hyphens made typographic.
_DASH_BEFORE_NAME = re.compile(r"(?<![\w\u2013\u2014-])[\u2013\u2014][A-Za-z]")
# A line that starts with a command of the project (and a subcommand) and
# an argument: an option, a bracket or a placeholder in capitals.
_COMMAND_LINE = re.compile(r"^\s*twolocus(?:-[a-z]+)?(?:\s+[a-z]+)?\s+(?:[-\u2013\u2014]|\[|<|[A-Z]{2,})",
                           re.MULTILINE)
# Text shown as written: nothing in it is typography.
_LITERAL = (nodes.literal, nodes.literal_block, nodes.raw, nodes.comment, nodes.math,
            nodes.math_block)


def _location(node):
    """The nearest node with a source line, for the warning's location."""
    while node is not None and (node.source is None or node.line is None):
        node = node.parent
    return node


def _warn(node, text):
    _LOGGER.warning(text, location=_location(node) or node, type="twolocus", subtype="rendering")


def _in_literal(node):
    while node is not None:
        if isinstance(node, _LITERAL):
            return True
        node = node.parent
    return False


def check_doctree(doctree):
    """Takes a resolved document; returns a list of (node, what is wrong) for each fault."""
    faults = []
    for quote in doctree.findall(nodes.block_quote):
        first = quote.astext().strip().splitlines()[0] if quote.astext().strip() else ""
        faults.append((quote, f"a block quote [{first[:60]}]: rewrap a Markdown line that starts "
                              "with '>', or make an indented docstring block literal"))
    for text in doctree.findall(nodes.Text):
        if _in_literal(text.parent):
            continue
        for match in _DASH_BEFORE_NAME.finditer(text.astext()):
            around = text.astext()[max(0, match.start() - 20):match.end() + 20].replace("\n", " ")
            faults.append((text.parent, f"a dash before a name [{around}]: an option's hyphens "
                                        "shown as a dash; write the option as code"))
    for paragraph in doctree.findall(nodes.paragraph):
        if _in_literal(paragraph):
            continue
        plain = "".join(text.astext() for text in paragraph.findall(nodes.Text)
                        if not _in_literal(text.parent))
        if len(_COMMAND_LINE.findall(plain)) >= 2:
            first = paragraph.astext().strip().splitlines()[0]
            faults.append((paragraph, f"a usage text reflowed into a paragraph [{first[:60]}]: "
                                      "show it as a literal block"))
    return faults


def _check(app, doctree, docname):
    for node, text in check_doctree(doctree):
        _warn(node, text)


def setup(app):
    app.connect("doctree-resolved", _check)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
