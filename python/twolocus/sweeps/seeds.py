"""Seeds of a sweep's runs.

A replicate's seed is a pure function of the sweep seed, its row's parameter
values and its replicate number, never of its position in the design:

    text   = sweep seed, fitness (as written in the design), column, s, k, n, N,
             a12, a23, a13, b12, b23, b13 (integers in decimal, no sign or
             leading zeros) and the replicate number, joined by TABs,
             then a TAB and the attempt number for attempts 1, 2, ...
    digest = SHA-256 of text in UTF-8 (a file name that is not UTF-8 gives
             its own bytes)
    seed   = 1 + (first 8 bytes of digest, big-endian) mod 2147483647

so every seed is in 1..2147483647 (twolocus gives seeds 0 and 1 the same
stream). Collisions: runs are taken in manifest order (a sweep's existing
runs first, then new ones in design order, replicates in order); a derived
seed that an earlier run already has is replaced by the next attempt's, until
it is new. An explicit seed is used as given and taken in its turn.
"""

import hashlib

# The classic programs' arguments 1 to 12, in their order: the fields of the rule.
PARAMETER_COLUMNS = ["fitness", "column", "s", "k", "n", "N",
                     "a12", "a23", "a13", "b12", "b23", "b13"]
DEFAULT_SWEEP_SEED = 1
SEED_MODULUS = 2147483647


def derived_seed(sweep_seed, values, replicate, attempt=0):
    """Takes the sweep seed, a dict holding PARAMETER_COLUMNS (integers in
    canonical form), the replicate number and the attempt number; returns
    the seed described above."""
    fields = [str(sweep_seed)] + [values[column] for column in PARAMETER_COLUMNS] + [str(replicate)]
    if attempt:
        fields.append(str(attempt))
    digest = hashlib.sha256("\t".join(fields).encode("utf-8", "surrogateescape")).digest()
    return 1 + int.from_bytes(digest[:8], "big") % SEED_MODULUS


def assign_seeds(sweep_seed, runs):
    """Takes the sweep seed and runs in manifest order (dicts with the
    parameter values, 'replicate', and 'seed' set to the explicit seed or
    None); sets every 'seed' by the rule above."""
    taken = set()
    for run in runs:
        if run["seed"] is None:
            attempt = 0
            seed = derived_seed(sweep_seed, run, run["replicate"])
            while seed in taken:
                attempt += 1
                seed = derived_seed(sweep_seed, run, run["replicate"], attempt)
            run["seed"] = seed
        taken.add(run["seed"])


# Sweeps of twolocus-sim -----------------------------------------------------
#
# A design row's seed is the --seed of all its batches (twolocus-sim derives
# each replicate's seed from it and the replicate's number):
#
#     text   = "twolocus-sim", the sweep seed, then COLUMN=VALUE for every
#              parameter column (twolocus-sim's options: `columns`) whose cell is not
#              empty, in the order of the column names (by code point), the
#              values in canonical form (integers in decimal, real numbers as
#              the shortest text that reads back as their double, files as
#              written, conditions trimmed and joined by ';'), joined by TABs,
#              then a TAB and the attempt number for attempts 1, 2, ...
#     seed   = 1 + (first 8 bytes of SHA-256 of text, big-endian) mod 2147483647
#
# Rows are taken in manifest order (the folder's rows first, then new ones in
# design order); a derived seed that an earlier row already has is replaced by
# the next attempt's until it is new. An explicit seed is used as given.

def derived_row_seed(sweep_seed, row, columns, attempt=0):
    """Takes the sweep seed, a design row of twolocus-sim (canonical cells),
    its parameter columns and the attempt number; returns the row's seed by
    the rule above."""
    fields = ["twolocus-sim", str(sweep_seed)] + [
        f"{column}={row[column]}" for column in sorted(columns) if row.get(column, "") != ""]
    if attempt:
        fields.append(str(attempt))
    digest = hashlib.sha256("\t".join(fields).encode("utf-8", "surrogateescape")).digest()
    return 1 + int.from_bytes(digest[:8], "big") % SEED_MODULUS


def assign_row_seeds(sweep_seed, rows, columns):
    """Takes the sweep seed, rows in manifest order (dicts with the
    canonical cells and 'explicit', the seed cell or '') and their
    parameter columns; sets every 'row_seed' (an int) by the rule above."""
    taken = set()
    for row in rows:
        if row["explicit"] != "":
            seed = int(row["explicit"])
        else:
            attempt = 0
            seed = derived_row_seed(sweep_seed, row, columns)
            while seed in taken:
                attempt += 1
                seed = derived_row_seed(sweep_seed, row, columns, attempt)
        row["row_seed"] = seed
        taken.add(seed)
