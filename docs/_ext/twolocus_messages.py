"""The directive twolocus-messages: the programs' messages, made at build time
from their table (src/run/messages.def) with the package's own parser, so the
documentation cannot drift from what the programs print.

    ```{twolocus-messages}
    :format: table        (the default) or definitions (for a man page)
    :only: no_seed        (optional) identifiers to list, in table order
    :programs: classic    (optional) only the messages of twolocus and
                          twolocus-multinomial, `sim` only those of
                          twolocus-sim (identifiers beginning with sim_),
                          or `python` only those the Python module raises
                          (identifiers beginning with py_)
    ```
"""

import re

from docutils import nodes
from docutils.parsers.rst import Directive, directives

from twolocus.messages import parse_table


# The identifiers' prefix of each program's messages (the classic programs': none).
PREFIXES = {"sim": "sim_", "python": "py_"}


def _program(message):
    """Whose message it is: "sim", "python" or "classic"."""
    return next((program for program, prefix in PREFIXES.items()
                 if message.identifier.startswith(prefix)), "classic")


def _kind(message):
    if _program(message) == "python":
        return "raises ValueError"
    return "ends the run, status 1" if message.fatal else "goes on"


def _text(message):
    """The printed text, one literal per printed line."""
    lines = nodes.line_block()
    for line in message.text.rstrip("\n").split("\n"):
        lines += nodes.line("", "", nodes.literal(line, line))
    return lines


def _meaning(text):
    """A paragraph of the meaning, with each long option (--initial) as code,
    so that the HTML does not turn its two hyphens into a dash."""
    paragraph = nodes.paragraph(text, "")
    for i, part in enumerate(re.split(r"(--[a-z][a-z0-9-]*)", text)):
        if part:
            paragraph += nodes.literal(part, part) if i % 2 else nodes.Text(part)
    return paragraph


class TwolocusMessages(Directive):
    has_content = False
    option_spec = {"format": lambda arg: directives.choice(arg, ("table", "definitions")),
                   "only": directives.unchanged,
                   "programs": lambda arg: directives.choice(arg, ("classic", "sim", "python"))}

    def run(self):
        env = self.state.document.settings.env
        path = env.config.twolocus_message_table
        env.note_dependency(path)
        with open(path, encoding="utf-8") as table:
            messages = parse_table(table.read())
        if "only" in self.options:
            wanted = self.options["only"].split()
            known = {message.identifier for message in messages}
            unknown = [name for name in wanted if name not in known]
            if unknown:
                raise self.error(f"no message [{unknown[0]}] in the message table")
            messages = [message for message in messages if message.identifier in wanted]
        programs = self.options.get("programs")
        if programs is not None:
            messages = [message for message in messages if _program(message) == programs]
        if self.options.get("format") == "definitions":
            return [self._definitions(messages)]
        return [self._table(messages)]

    @staticmethod
    def _definitions(messages):
        """A definition list (a man page's .TP items): the first printed line
        as the term; a message of several lines has its first words as the term
        and is shown whole in the definition."""
        items = nodes.definition_list()
        for message in messages:
            lines = message.text.rstrip("\n").split("\n")
            head = lines[0] if len(lines) == 1 else " ".join(lines[0].split()[:3]) + " ..."
            term = nodes.term("", "", nodes.literal(head, head))
            definition = nodes.definition()
            if len(lines) > 1:
                whole = "\n".join(lines)
                definition += nodes.literal_block(whole, whole)
            meaning = message.meaning[0].upper() + message.meaning[1:] + ". " + (
                "The run ends, with status 1." if message.fatal else "The run goes on.")
            definition += _meaning(meaning)
            items += nodes.definition_list_item("", term, definition)
        return items

    @staticmethod
    def _table(messages):
        widths = (45, 15, 40)
        group = nodes.tgroup(cols=len(widths))
        for width in widths:
            group += nodes.colspec(colwidth=width)
        head = nodes.thead()
        head += nodes.row("", *[nodes.entry("", nodes.paragraph(title, title))
                                for title in ("message", "the run", "meaning")])
        group += head
        body = nodes.tbody()
        for message in messages:
            identifier = nodes.paragraph("", "", nodes.emphasis(message.identifier,
                                                                message.identifier))
            body += nodes.row("",
                              nodes.entry("", _text(message), identifier),
                              nodes.entry("", nodes.paragraph(_kind(message), _kind(message))),
                              nodes.entry("", _meaning(message.meaning)))
        group += body
        table = nodes.table("", group)
        table["classes"].append("twolocus-messages")
        return table


def setup(app):
    app.add_config_value("twolocus_message_table", None, "env")
    app.add_directive("twolocus-messages", TwolocusMessages)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
