"""Shows a docstring that is not valid reStructuredText as the plain text it is.

The package's docstrings are plain text (indented lists of files, aligned
columns). autodoc reads docstrings as reStructuredText; one that docutils
reports problems in is shown instead as a literal block, exactly as written,
so that the build with warnings as errors does not depend on docstrings
being written for Sphinx. A `text` in single backticks is shown as code, as its authors mean it.
An indented block after a paragraph (a usage, a list of files) is shown as
written too, where reStructuredText would make it a block quote and join its
lines. It also leaves out the bare names of data class
fields, which the classes' docstrings describe.
"""

import re

import docutils.core
import docutils.utils

_SINGLE_BACKTICKS = re.compile(r"(?<!`)`([^`]+)`(?!`)")
_LIST_MARKER = re.compile(r" *(?:[-*+]|[0-9]+[.)]) +")
_QUIET = {"report_level": docutils.utils.Reporter.SEVERE_LEVEL + 1, "halt_level": 5}


def _is_valid_rst(text):
    document = docutils.core.publish_doctree(text, settings_overrides=dict(_QUIET))
    return not any(message["level"] >= docutils.utils.Reporter.WARNING_LEVEL
                   for message in document.traverse(docutils.nodes.system_message))


# Modules whose docstrings are reStructuredText in NumPy style, which
# sphinx.ext.napoleon turns into fields: they are left as they are.
NUMPY_STYLE = ("twolocus.engines", "twolocus.run", "twolocus.analysis.statistics.statistics",
               "twolocus.pictures.runs.plot_runs")


def _indent(line):
    return len(line) - len(line.lstrip(" "))


def _text_indent(line):
    """Where a line's text starts: after its indentation and any list marker."""
    marker = _LIST_MARKER.match(line)
    return marker.end() if marker else _indent(line)


def literal_indented_blocks(lines):
    """Takes a docstring's lines; returns them with a "::" paragraph before each
    indented block that follows a paragraph less indented than it (and not
    already ending in "::"), so that the block is shown as written."""
    result = []
    previous = None  # the last line with text before the current blank lines
    for number, line in enumerate(lines):
        starts_block = (line.strip() and previous is not None and number > 0
                        and not lines[number - 1].strip()
                        and _indent(line) > _text_indent(previous)
                        and not previous.rstrip().endswith("::"))
        if starts_block:
            result += ["::", ""]
        result.append(line)
        if line.strip():
            previous = line
    return result


def _process(app, what, name, obj, options, lines):
    if name.startswith(NUMPY_STYLE):
        return
    # `text` in a docstring means code, as in Markdown.
    lines[:] = [_SINGLE_BACKTICKS.sub(r"``\1``", line) for line in lines]
    lines[:] = literal_indented_blocks(lines)
    if not lines or _is_valid_rst("\n".join(lines)):
        return
    plain = ["::", ""] + ["    " + line if line else "" for line in lines] + [""]
    lines[:] = plain
    app.env.twolocus_plain_docstrings = getattr(app.env, "twolocus_plain_docstrings", set())
    app.env.twolocus_plain_docstrings.add(name)


def _skip_fields(app, what, name, obj, skip, options):
    """Leaves out a class's data attributes (the fields of the package's data
    classes), which its docstring describes."""
    if what == "class" and not callable(obj) and not isinstance(obj, property):
        return True
    return None


def setup(app):
    app.connect("autodoc-process-docstring", _process)
    app.connect("autodoc-skip-member", _skip_fields)
    return {"version": "1", "parallel_read_safe": True}
