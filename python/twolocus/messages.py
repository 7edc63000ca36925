"""The simulator programs' messages, read from their one table, messages.def.

The table is the C++ source src/run/messages.def; an installed package
carries a copy beside this module. Each entry is one line:

    TWOLOCUS_MESSAGE(identifier, kind, "printf text", "what it means")

kind is "fatal" (the run ends with status 1) or "goes_on". The text is
the program's exact output, C escapes included.
"""

import os
import re
from dataclasses import dataclass

_HERE = os.path.dirname(os.path.abspath(__file__))
# Installed: beside this module; in the repository: the C++ source.
TABLE_PATHS = [os.path.join(_HERE, "messages.def"),
               os.path.join(_HERE, os.pardir, os.pardir, "src", "run", "messages.def")]
_STRING = r'"((?:[^"\\]|\\.)*)"'
_ENTRY = re.compile(r"TWOLOCUS_MESSAGE\((\w+), (fatal|goes_on), " + _STRING + ", " + _STRING + r"\)")
_ESCAPES = {"n": "\n", "t": "\t", '"': '"', "\\": "\\"}


@dataclass(frozen=True)
class Message:
    """identifier: the table's name; fatal: whether the run ends after it;
    text: the printf format as printed; meaning: a sentence for the docs."""

    identifier: str
    fatal: bool
    text: str
    meaning: str


def _unescape(text):
    return re.sub(r"\\(.)", lambda match: _ESCAPES[match[1]], text)


def parse_table(source):
    """Takes the table file's text; returns its Messages in order. Raises
    ValueError for a TWOLOCUS_MESSAGE line that is not one whole entry."""
    messages = []
    for number, line in enumerate(source.splitlines(), start=1):
        if not line.startswith("TWOLOCUS_MESSAGE"):
            continue
        entry = _ENTRY.fullmatch(line)
        if entry is None:
            raise ValueError(f"line {number} of the message table is not one entry")
        messages.append(Message(entry[1], entry[2] == "fatal", _unescape(entry[3]),
                                _unescape(entry[4])))
    return messages


def load_table():
    """Returns {identifier: Message} from the first table file found."""
    for path in TABLE_PATHS:
        if os.path.isfile(path):
            with open(path, encoding="utf-8") as table:
                return {message.identifier: message for message in parse_table(table.read())}
    raise FileNotFoundError("messages.def")


MESSAGES = load_table()


def pattern(identifier):
    """Takes a message's identifier; returns a compiled regular expression
    that matches one printed line of it (each conversion matches any text),
    without its line end."""
    text = MESSAGES[identifier].text.rstrip("\n")
    parts = re.split(r"%[-+ #0-9.]*(?:ll|l)?[dfs]", text)
    return re.compile(".*".join(re.escape(part) for part in parts))
