"""Keywords of Model, simulate and replicate, as the compiled module reads them.

Each keyword is a parameter of the table of parameters (its Python keyword,
twolocus._core.parameters()): its kind says which Python values it takes.
Here they are only turned into the text the module reads (a number as
Python writes it, a word or a condition in UTF-8, a file name as the file
system encodes it); the module reads that text by the parameter's entry,
with its range, as twolocus-sim reads an option's value, and raises
ValueError naming the keyword for a value that is not the parameter's.
"""

import numbers
import os

from ..native import core

ENTRIES = {entry["keyword"]: entry for entry in core.parameters() if entry["keyword"]}
NUMBER_KINDS = ("integer", "real", "probability")
PATH_KINDS = ("file", "start")


def default(keyword):
    """The value a keyword takes when it is not given, as the table writes it."""
    return ENTRIES[keyword]["default"]


def number_text(keyword, value):
    """A number's text as the module reads it; TypeError for a non-number."""
    if type(value) is int:  # noqa: E721 (the common case, first)
        return str(value)
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{keyword} must be a number, not {type(value).__name__}")
    return str(int(value)) if isinstance(value, numbers.Integral) else repr(float(value))


def encoded(keyword, text):
    """A text argument (a word or a condition) as the bytes the module reads.
    ValueError for a NUL (the module would read only what comes before it)
    or a lone surrogate (not a character: UTF-8 cannot encode it)."""
    if "\0" in text:
        raise ValueError(f"{keyword} must not hold a NUL character: {text!r}")
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError as error:
        raise ValueError(f"{keyword} must be text: {text[error.start]!r} at position "
                         f"{error.start} of {text!r} is a lone surrogate, not a character"
                         ) from None


def path_bytes(keyword, value):
    """A file name (str, bytes or os.PathLike) as the bytes of the name: a
    str as the file system encodes it (so a name read with os.listdir names
    the same file). TypeError for another type, ValueError for a NUL."""
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError(f"{keyword} must be a file name (str, bytes or os.PathLike), "
                        f"not {type(value).__name__}")
    try:
        name = os.fsencode(value)
    except UnicodeEncodeError as error:
        raise ValueError(f"{keyword} must be a file name: {error.object[error.start]!r} at "
                         f"position {error.start} is a lone surrogate that names no byte"
                         ) from None
    if b"\0" in name:
        raise ValueError(f"{keyword} must not hold a NUL character: {os.fsdecode(name)!r}")
    return name


def value_text(keyword, value):
    """One keyword's value as (keyword, the bytes the module reads), by its kind."""
    kind = ENTRIES[keyword]["kind"]
    if kind in NUMBER_KINDS:
        return keyword, number_text(keyword, value).encode()
    if kind in PATH_KINDS:
        return keyword, path_bytes(keyword, value)
    if kind == "six" and not isinstance(value, str):
        # Six numbers (a locus's genotypes 11, 12, 13, 22, 23, 33): the option's text.
        if not hasattr(value, "__len__") or len(value) != 6:
            raise TypeError(f"{keyword} must be six numbers (W11, W12, W13, W22, W23, W33)")
        return keyword, ",".join(number_text(keyword, w) for w in value).encode()
    if not isinstance(value, str):
        raise TypeError(f"{keyword} must be a string, not {type(value).__name__}")
    return keyword, encoded(keyword, value)


def condition_texts(keyword, texts, what="a condition's text"):
    """The (keyword, bytes) of stop or watch (or change): a text or a
    sequence of texts."""
    if texts is None:
        return []
    wanted = f"{keyword} must be {what} or a sequence of them (str)"
    if isinstance(texts, str):
        texts = [texts]
    elif isinstance(texts, (bytes, bytearray)) or not hasattr(texts, "__iter__"):
        raise TypeError(f"{wanted}, not {type(texts).__name__}")
    pairs = []
    for text in texts:
        if not isinstance(text, str):
            raise TypeError(f"{wanted}, not a sequence holding {type(text).__name__}")
        pairs.append((keyword, encoded(keyword, text)))
    return pairs


# The keywords a deme may have its own value of, as a dict by deme name.
DEME_KEYWORDS = ("fitness", "fitness_values", "column", "s", "k", "initial")


def deme_values(keyword, values):
    """The (keyword, bytes) of a dict {deme name: value}: each "NAME=VALUE" as
    twolocus-sim reads it (the key None: the run's value, for every deme
    without its own)."""
    pairs = []
    for name, value in values.items():
        if name is None:
            pairs.append(value_text(keyword, value))
            continue
        if not isinstance(name, str) or not name.isidentifier():
            raise TypeError(f"{keyword} takes a dict by deme name (a str such as 'A'), not the key {name!r}")
        # "KEYWORD@": the module reads NAME as a deme only, never a file's name.
        pairs.append((keyword + "@", encoded(keyword, name) + b"=" + value_text(keyword, value)[1]))
    return pairs


def keyword_values(given):
    """The (keyword, bytes) of the keywords given (not None), in their order;
    a dict of one of DEME_KEYWORDS gives each deme its own value."""
    pairs = []
    for keyword, value in given.items():
        if value is None:
            continue
        if keyword in DEME_KEYWORDS and isinstance(value, dict):
            pairs.extend(deme_values(keyword, value))
        else:
            pairs.append(value_text(keyword, value))
    return pairs
