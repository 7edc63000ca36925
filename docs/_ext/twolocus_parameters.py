"""The directive twolocus-parameters: twolocus-sim's options, made at build
time from the table of parameters (src/io/parameters.def, through the
compiled module's twolocus._core.parameters()), so the reference cannot
drift from what the program reads: each option's value and range as the
program checks them, its default and its meaning.

    ```{twolocus-parameters}
    ```
"""

from docutils import nodes
from docutils.parsers.rst import Directive

# The table's kinds as the reference shows a value.
_VALUES = {"file": "file", "folder": "folder", "start": "FILE or FILE:LABEL",
           "condition": "condition", "change": "TIME:PARAMETER=VALUE",
           "six": "W11,W12,W13,W22,W23,W33", "flag": ""}


def _number(value, whole):
    if whole:
        return str(int(value))
    return f"{value:g}"


def value_text(entry):
    """The value column of an entry: its range, its words or its kind."""
    kind = entry["kind"]
    if kind == "integer":
        return f"{_number(entry['low'], True)} … {_number(entry['high'], True)}"
    if kind in ("real", "probability"):
        return f"{_number(entry['low'], False)} … {_number(entry['high'], False)}"
    if kind == "word":
        return " or ".join(entry["words"].split("|"))
    return _VALUES.get(kind, kind)


def meaning_text(entry):
    """The meaning column: the table's meaning, with the default when there is one."""
    meaning = entry["meaning"]
    if entry["default"] and entry["kind"] not in ("flag", "label"):
        meaning += f" (default {entry['default']})"
    return meaning


def option_rows(entries):
    """(options, value, meaning) of every entry that is an option, in table order."""
    rows = []
    for entry in entries:
        if entry["options"]:
            rows.append((entry["options"].split(), value_text(entry), meaning_text(entry)))
    return rows


def _literals(words, separator):
    paragraph = nodes.paragraph()
    for i, word in enumerate(words):
        if i:
            paragraph += nodes.Text(separator)
        paragraph += nodes.literal(word, word)
    return paragraph


class TwolocusParameters(Directive):
    has_content = False

    def run(self):
        from twolocus import _core
        widths = (30, 20, 50)
        group = nodes.tgroup(cols=len(widths))
        for width in widths:
            group += nodes.colspec(colwidth=width)
        head = nodes.thead()
        head += nodes.row("", *[nodes.entry("", nodes.paragraph(title, title))
                                for title in ("option", "value", "meaning")])
        group += head
        body = nodes.tbody()
        for options, value, meaning in option_rows(_core.parameters()):
            value_cell = (_literals(value.split(" or "), " or ")
                          if " or " in value and "FILE" not in value
                          else nodes.paragraph(value, value))
            body += nodes.row("", nodes.entry("", _literals(options, ", ")),
                              nodes.entry("", value_cell),
                              nodes.entry("", nodes.paragraph(meaning, meaning)))
        group += body
        table = nodes.table("", group)
        table["classes"].append("twolocus-parameters")
        return [table]


def setup(app):
    app.add_directive("twolocus-parameters", TwolocusParameters)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
