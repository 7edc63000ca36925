"""The plan of a sweep: its design's rows as the units of its manifest.

A unit is a run (a classic sweep) or a batch of replicates (a sweep of
twolocus-sim); how a row becomes units, their seeds and command lines is
its kind's (kinds.py). Units the folder already has are kept as they are:
a design that would change or remove one is refused, naming it.
"""

import os

from ..errors import TwolocusError
from .folder import existing_runs, manifest_columns, name_copies
from .kinds import kind_of


def plan(kind, design, folder, sweep_seed, default_program, batch_size=None):
    """Takes a kind of sweep, its checked design, the sweep folder, the
    sweep seed, the program's absolute path (None: every row names one) and
    the batch size (a sweep of twolocus-sim); returns (columns, units,
    copies): the manifest columns, every unit in manifest order and the
    input files' copy names. Raises TwolocusError when the folder is a
    sweep of the other kind, or when the design changes or removes units
    the folder already has."""
    old_units = []
    if os.path.exists(os.path.join(folder, "manifest.tsv")):
        found = kind_of(folder)
        if found is not kind:
            raise TwolocusError(f"The sweep in [{folder}] is a sweep of {found.program}; "
                                f"it is not planned as a sweep of {kind.program}.")
        old_units = existing_runs(folder, sweep_seed)
    columns = manifest_columns(kind, design)
    copies = name_copies((path for row in design.rows for path in kind.input_files(row).values()),
                         design.folder, os.path.join(folder, kind.copies),
                         kind.old_copies(old_units), kind.copied, kind.unit)
    units, problems = kind.units(design, columns, old_units, sweep_seed, default_program, copies,
                                 batch_size, folder)
    if problems:
        raise TwolocusError("\n".join(problems + [
            f"The design changes or removes {kind.unit} of [{folder}]; use another folder."]))
    return columns, units, copies
