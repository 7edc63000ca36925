"""The fully resolved model of a Demes file, as ``twolocus-sim --resolve`` prints it."""

import json

from ..native import core
from .keywords import path_bytes


def resolve_demography(demography):
    """The fully resolved model of a Demes file (the Demes format's machine
    data model), read and resolved by twolocus-sim's reader.

    Parameters
    ----------
    demography : str, bytes or os.PathLike
        The Demes file (YAML), as ``--demography`` takes it.

    Returns
    -------
    dict
        The JSON that ``twolocus-sim --demography FILE --resolve`` prints,
        parsed: every default filled in, times in generations as the file
        gives them (``time_units`` and ``generation_time`` are kept).

    Raises
    ------
    ValueError
        The file is not a valid Demes model (the program's one line naming
        the file and what is wrong).
    FileNotFoundError, IsADirectoryError, PermissionError, OSError
        The file cannot be opened, or is not a regular file.
    """
    return json.loads(core.resolve_demography(path_bytes("demography", demography)))
