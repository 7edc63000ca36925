"""Summaries of a sweep, read back from its folder.

A classic sweep: a row per run, fractions per group (load_sweep,
run_table, fraction_table, passage_curve). A run that is not done (failed,
running, pending, unknown when the Slurm queue cannot be read, or done but
unreadable) keeps its row with empty statistics; fractions are over the
runs done and say how many are missing.

A sweep of twolocus-sim: every design row's parameters, batches and
summary table (read_sim_sweep, row_table), and the summary tables of its
batches done for the studies (sweep_tables).
"""

import math
import os
import sys

import numpy as np

from ..analysis.conditions import format_threshold
from ..analysis.statistics import STAT_COLUMNS, format_value
from ..analysis.studies import shown_number
from ..errors import TwolocusError
from ..run import Run
from ..runfiles.params import read_params
from ..runfiles.summary import read_summary_table
from ..runfiles.trajectory import read_trajectory
from .folder import TRAJECTORY, read_manifest
from .kinds import BATCH_FIXED, SIM, SIM_ENTRIES, kind_of
from .status import states

SUMMARY = "batch.summary.tsv"


def threshold_text(threshold):
    """A parsed threshold as text for a column name: 'STAT OP VALUE' without
    blanks, for example "h22>=0.5"; another condition with single blanks."""
    text = format_threshold(threshold)
    return " ".join(text.split()) if threshold[1] is None else "".join(text.split())


def _sweep_folder(folder):
    """The absolute path of a sweep folder, or TwolocusError when it is none."""
    if not os.path.isdir(folder):
        raise TwolocusError(f"Could not open the sweep folder [{folder}].")
    return os.path.abspath(folder)


def _read_run(path):
    """The Run of a sweep's run done: its trajectory and its parameter file
    (both must read)."""
    trajectory = read_trajectory(path)
    params = read_params(path + ".params")
    counts = trajectory.counts
    return Run(trajectory.labels, trajectory.generations, counts,
               counts[-1] if len(counts) else None, path=path, params=params,
               fitness=params["fitness"])


def load_sweep(folder):
    """Takes a sweep folder; returns (manifest columns, items): per manifest run
    a dict with 'run' (the manifest row), 'state', and 'records' (its Run, for
    a run done with at least one record) or None. Prints a line on standard
    error for a done run that cannot be read, which then counts as missing."""
    folder = _sweep_folder(folder)
    columns, runs = read_manifest(folder)
    found = states(folder, runs, warn=True)
    items = []
    for run in runs:
        item = {"run": run, "state": found[run["run"]], "records": None}
        if item["state"] == "done":
            try:
                loaded = _read_run(os.path.join(folder, "runs", run["run"], TRAJECTORY))
                item["records"] = loaded if len(loaded.labels) else None
            except TwolocusError as error:
                print(f"{error} Run [{run['run']}] counts as missing.", file=sys.stderr)
        items.append(item)
    return columns, items


def _passage(item, threshold):
    """(label, generations) of the first population past threshold, ('none',
    generations of the last population) if none is, or None without records."""
    run = item["records"]
    if run is None:
        return None
    found = run.first(threshold)
    return found if found is not None else ("none", int(run.generations[-1]))


def run_table(columns, items, thresholds):
    """One row per run: run, status, the manifest's columns (not the command),
    the label and generations of the last population and its statistics
    (suffixed :final where a manifest column has the name),
    then for each threshold the label and generations of the first passage."""
    kept = [c for c in columns if c not in ("run", "command")]
    # The design's N is the generation size; the statistic N (individuals
    # counted, 0 once extinct) is then named N:final.
    header = ["run", "status"] + kept + [f"{c}:final" if c in kept else c
                                         for c in ["label", "generations"] + STAT_COLUMNS]
    for threshold in thresholds:
        text = threshold_text(threshold)
        header += [f"first_label:{text}", f"first_generations:{text}"]
    lines = ["\t".join(header)]
    for item in items:
        cells = [item["run"]["run"], item["state"]] + [item["run"].get(c, "") for c in kept]
        if item["records"] is None:
            cells += [""] * (2 + len(STAT_COLUMNS))
        else:
            last = item["records"].statistics()[-1]
            cells += [format_value(last[c]) for c in ["label", "generations"] + STAT_COLUMNS]
        for threshold in thresholds:
            found = _passage(item, threshold)
            cells += ["", ""] if found is None else [str(found[0]), str(found[1])]
        lines.append("\t".join(cells))
    return "\n".join(lines) + "\n"


def groups(items, by):
    """Takes items and a manifest column; returns {value: items} in manifest order."""
    if items and by not in items[0]["run"]:
        raise TwolocusError(f"The sweep has no column [{by}].")
    grouped = {}
    for item in items:
        grouped.setdefault(item["run"][by], []).append(item)
    return grouped


def counted(group):
    """(runs, done with records, missing) of a group."""
    done = sum(1 for item in group if item["records"] is not None)
    return len(group), done, len(group) - done


def fraction_table(items, thresholds, by):
    """One row per value of the column by: runs, done, missing, and for each
    threshold the runs done that passed it and their fraction of the runs
    done (empty when none is done)."""
    header = [by, "runs", "done", "missing"]
    for threshold in thresholds:
        text = threshold_text(threshold)
        header += [f"passed:{text}", f"fraction:{text}"]
    lines = ["\t".join(header)]
    for value, group in groups(items, by).items():
        runs, done, missing = counted(group)
        cells = [value, str(runs), str(done), str(missing)]
        for threshold in thresholds:
            passed = sum(1 for item in group if item["records"] is not None
                         and item["records"].first(threshold) is not None)
            cells += [str(passed), format_value(passed / done) if done else ""]
        lines.append("\t".join(cells))
    return "\n".join(lines) + "\n"


def passage_curve(group, threshold):
    """Takes a group's items and a threshold; returns (generations, fraction)
    arrays: the fraction of its runs done that passed the threshold by each
    recorded generation (a step function), or None when none is done."""
    done = [item["records"] for item in group if item["records"] is not None]
    if not done:
        return None
    times = []
    grid = {0}
    for run in done:
        grid.update(int(rounds) for rounds in run.generations)
        found = run.first(threshold)
        times.append(math.inf if found is None else found[1])
    x = np.array(sorted(grid), dtype=float)
    y = np.array([sum(t <= g for t in times) for g in x], dtype=float) / len(done)
    return x, y


# Sweeps of twolocus-sim ----------------------------------------------------

def read_sim_sweep(folder, warn=True):
    """Takes a sweep folder of twolocus-sim; returns one dict per design row,
    in the manifest's order of rows:

      name        the row's name
      parameters  {column: cell} of every design column but name (seed is
                  the row's seed, explicit or derived; cells as in the manifest)
      seed        the row's seed (int), the --seed of its batches
      replicates  the row's number of replicates (int)
      batches     one dict per batch, by first replicate: run (its name),
                  first_replicate, replicates (ints), state ('done', 'failed',
                  'running', 'pending', or 'unknown' when the Slurm queue
                  cannot be read) and summary (the path of its
                  batch.summary.tsv)
      done        the replicates of the batches done (int)

    With warn, a queue that cannot be read is one line on standard error;
    otherwise it raises TwolocusError, as do a folder that is not a sweep
    of twolocus-sim and a manifest that cannot be read."""
    folder = _sweep_folder(folder)
    if kind_of(folder) is not SIM:
        raise TwolocusError(f"[{folder}] is not a sweep folder of twolocus-sim.")
    columns, runs = read_manifest(folder)
    found = states(folder, runs, warn=warn)
    rows = {}
    for run in runs:
        entry = rows.get(run["name"])
        if entry is None:
            parameters = {c: run[c] for c in columns
                          if c not in BATCH_FIXED and c not in ("name", "command")}
            parameters["seed"] = run["seed"]
            entry = rows[run["name"]] = {
                "name": run["name"], "parameters": parameters, "seed": int(run["seed"]),
                "replicates": int(run["replicates"]), "batches": [], "done": 0}
        batch = {"run": run["run"], "first_replicate": int(run["first_replicate"]),
                 "replicates": int(run["batch_replicates"]), "state": found[run["run"]],
                 "summary": os.path.join(folder, "runs", run["run"], SUMMARY)}
        entry["batches"].append(batch)
        if batch["state"] == "done":
            entry["done"] += batch["replicates"]
    for entry in rows.values():
        entry["batches"].sort(key=lambda batch: batch["first_replicate"])
    return list(rows.values())


def row_table(entry, warn=True):
    """Takes one dict of read_sim_sweep; returns (header, rows): the summary
    tables of its batches done joined into one, rows (lists of cells, as
    text) sorted by replicate; header is None when no batch is done. A done
    batch whose table cannot be read, or whose header differs from the
    others', is left out: with warn, with a line on standard error;
    otherwise TwolocusError."""
    header, rows = None, []
    for batch in entry["batches"]:
        if batch["state"] != "done":
            continue
        try:
            with open(batch["summary"], encoding="utf-8", errors="surrogateescape",
                      newline="") as text:
                lines = text.read().split("\n")
            if lines[-1] == "":
                lines.pop()
            columns = lines[0].split("\t")
            cells = [line.split("\t") for line in lines[1:]]
            if (header is not None and columns != header) or len(cells) != batch["replicates"] \
                    or any(len(row) != len(columns) for row in cells):
                raise ValueError
        except (OSError, IndexError, ValueError):
            message = (f"Could not read the summary table [{batch['summary']}] of batch "
                       f"[{batch['run']}].")
            if not warn:
                raise TwolocusError(message) from None
            print(f"{message} Its replicates count as missing.", file=sys.stderr)
            continue
        header = columns
        rows += cells
    rows.sort(key=lambda row: int(row[0]))
    return header, rows


def sweep_tables(folder, by):
    """Takes a sweep folder of twolocus-sim and key columns (design columns,
    a dash or an underscore alike; "name" the design row); returns
    (SummaryTables, key dicts), one per batch done (a real parameter's value
    as shown_number() prints it). Batches not done, and
    done batches whose table cannot be read, are left out with a line on
    standard error per design row."""
    tables, keys = [], []
    for entry in read_sim_sweep(folder):
        parameters = {"name": entry["name"], **entry["parameters"]}
        key = {}
        for column in by:
            name = column.replace("_", "-")
            if name not in parameters:
                raise TwolocusError(f"The sweep [{folder}] has no column [{column}].")
            real = name in SIM_ENTRIES and SIM_ENTRIES[name]["kind"] in ("real", "probability")
            key[column] = shown_number(parameters[name]) if real else parameters[name]
        missing = entry["replicates"] - entry["done"]
        for batch in entry["batches"]:
            if batch["state"] != "done":
                continue
            try:
                table = read_summary_table(batch["summary"])
            except TwolocusError as error:
                print(f"{error} Its replicates count as missing.", file=sys.stderr)
                missing += batch["replicates"]
                continue
            for note in table.notes:
                print(note, file=sys.stderr)
            tables.append(table)
            keys.append(key)
        if missing:
            print(f"Design row [{entry['name']}]: {missing} of its {entry['replicates']} "
                  "replicates are not done; they are left out.", file=sys.stderr)
    return tables, keys
