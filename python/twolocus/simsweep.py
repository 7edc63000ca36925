"""Sweep folders of twolocus-sim: a design row's replicates run as batches.

A row of R replicates is cut into batches of at most the batch size, each one
`twolocus-sim ... --seed ROW_SEED --replicates B --first-replicate F -o batch`
run in a folder of its own. The folder of such a sweep:

DIR/design.tsv        the design as last run
DIR/inputs/           copies of the fitness, fitness-values and initial files,
                      which the batches read
DIR/manifest.tsv      one line per batch: run (the batch's name, NAME_F-L for
                      replicates F to L), row, first_replicate,
                      batch_replicates, seed (the row's), the design's columns
                      but seed, and the exact command line
DIR/sweep.tsv         the sweep seed and the kind, twolocus-sim
DIR/lock              held (flock) by a twolocus-sweep run while it works on DIR
DIR/runs/BATCH/       batch.summary.tsv, batch.params, batch.batch and batch
                      (empty: the lock) as twolocus-sim writes them,
                      console.log, exit-status once it ended, and .lock,
                      held by the process that runs it

read_sim_sweep and row_table read such a folder back for the tools that
summarise it: every design row's parameters, batches and summary table.
"""

import os
import shlex
import shutil
import sys

from .design import MAX_RUNS, find_program
from .errors import TwolocusError
from .seeds import assign_row_seeds
from .simdesign import CONDITIONS, FILES, PARAMETERS, input_files, split_conditions, split_initial
from .sweepdir import (existing_runs, name_copies, read_manifest, read_tsv,
                       write_tsv_atomically)

KIND = "twolocus-sim"
OUTPUT = "batch"
SUMMARY = OUTPUT + ".summary.tsv"
BATCH_FILES = [OUTPUT, OUTPUT + ".params", OUTPUT + ".params.tmp", OUTPUT + ".batch",
               OUTPUT + ".checkpoint", SUMMARY, SUMMARY + ".tmp"]
FIXED_FIRST = ["run", "row", "first_replicate", "batch_replicates", "seed"]
INPUTS = "inputs"
DEFAULT_BATCH_SIZE = 1000


def sweep_kind(folder):
    """'twolocus-sim' for a sweep folder of twolocus-sim, else 'classic'
    (also for a folder that is not yet a sweep)."""
    try:
        _, rows = read_tsv(os.path.join(folder, "sweep.tsv"))
        return rows[0].get("kind") or "classic"
    except (OSError, IndexError, UnicodeDecodeError):
        return "classic"


def is_sim_sweep(folder):
    return sweep_kind(folder) == KIND


def batch_name(name, first, count):
    return f"{name}_{first}-{first + count - 1}"


def manifest_columns(design):
    columns = [c for c in design.columns if c != "seed"]
    if "name" not in columns:
        columns.append("name")
    return FIXED_FIRST + columns + ["command"]


def _old_copies(old_runs):
    """{file as written in the design: its copy's name} from the existing batches' commands."""
    copies, seen = {}, set()
    for run in old_runs:
        # Batches of a row share their files: one command each is read.
        key = tuple(run.get(column, "") for column in FILES)
        if key in seen:
            continue
        seen.add(key)
        argv = shlex.split(run["command"])
        for column in FILES:
            value = run.get(column, "")
            prefix = f"--{column}=../../{INPUTS}/"
            given = [a[len(prefix):] for a in argv if a.startswith(prefix)]
            if value and given:
                path = split_initial(value)[0] if column == "initial" else value
                copies[path] = split_initial(given[0])[0] if column == "initial" else given[0]
    return copies


def _input_copies(design, folder, old_runs):
    """Maps each input file of the design (as written) to its copy's name in
    DIR/inputs (sweepdir.name_copies), the existing copies' names read from
    the existing batches' commands."""
    return name_copies((path for row in design.rows for path in input_files(row).values()),
                       design.folder, os.path.join(folder, INPUTS), _old_copies(old_runs),
                       "Input", "batches")


def batch_command(prefix, first, count):
    """The command line of one batch, run in its folder DIR/runs/BATCH, from
    its row's command_prefix."""
    return f"{prefix} --replicates={count} --first-replicate={first} --output={OUTPUT}"


def command_prefix(program, row, copies, seed):
    """The start of the command line of a row's batches, up to its seed."""
    argv = [program]
    for column in PARAMETERS:
        value = row.get(column, "")
        if value == "":
            continue
        if column in FILES:
            path, label = split_initial(value) if column == "initial" else (value, None)
            value = f"../../{INPUTS}/{copies[path]}" + (f":{label}" if label else "")
        if column in ("s", "k"):
            argv += [f"-{column}", value]
        elif column in CONDITIONS:
            argv += [f"--{column}={condition}" for condition in split_conditions(value)]
        else:
            argv.append(f"--{column}={value}")
    return shlex.join(argv + [f"--seed={seed}"])


def _change(old, new):
    """The first value (seed and command last) in which an existing batch
    and its new plan differ, as text, or None."""
    for column, value in sorted(old.items(), key=lambda item: item[0] in ("seed", "command")):
        if column not in ("row", "replicates") and str(new.get(column, "")) != value:
            return f"[{column}] was [{value}], now [{new.get(column, '')}]."
    return None


def plan(design, folder, sweep_seed, default_program, batch_size):
    """Takes a checked design of twolocus-sim, the sweep folder, the sweep
    seed, twolocus-sim's absolute path (None: every row names one) and the
    batch size; returns (columns, batches, copies). Existing batches are
    kept as they are; a row's replicates beyond them become new batches of
    batch_size. Raises TwolocusError when the design changes or removes
    batches the folder already has, or when the sweep would have more than
    MAX_RUNS batches."""
    old_runs = []
    if os.path.exists(os.path.join(folder, "manifest.tsv")):
        if not is_sim_sweep(folder):
            raise TwolocusError(f"The sweep in [{folder}] is of the classic programs; "
                                "run it without --sim.")
        old_runs = existing_runs(folder, sweep_seed)
    columns = manifest_columns(design)
    copies = _input_copies(design, folder, old_runs)
    old_by_row, old_by_name = {}, {run["run"]: run for run in old_runs}
    for run in old_runs:
        old_by_row.setdefault(run["name"], []).append(run)
    # Row seeds: the rows the folder has first (in its order), then the new ones.
    order = list(old_by_row) + [r["name"] for r in design.rows if r["name"] not in old_by_row]
    by_name = {row["name"]: row for row in design.rows}
    seeded = [{**by_name[name], "explicit": by_name[name].get("seed", "")}
              for name in order if name in by_name]
    assign_row_seeds(sweep_seed, seeded)
    seeds = {row["name"]: row["row_seed"] for row in seeded}
    runs, problems = [], []
    for row in design.rows:
        program = row.get("program", "") or ""
        program = find_program(program, design.folder) if program else default_program
        if program is None:
            raise TwolocusError(f"Could not find the program [{KIND}]; give --program.")
        shared = {c: row[c] for c in columns if c in row and c not in FIXED_FIRST}
        spans = [(int(r["first_replicate"]), int(r["batch_replicates"]))
                 for r in old_by_row.get(row["name"], [])]
        covered = max((first + count for first, count in spans), default=0)
        total = int(row["replicates"])
        if total < covered:
            problems.append(f"Row [{row['name']}] of [{folder}] has {covered} replicates; "
                            f"the design gives it {total}.")
        spans += [(first, min(batch_size, total - first))
                  for first in range(covered, total, batch_size)]
        prefix = command_prefix(program, row, copies, seeds[row["name"]])
        for first, count in spans:
            run = dict(shared)
            run.update(run=batch_name(row["name"], first, count), row=row["row"],
                       first_replicate=first, batch_replicates=count, seed=seeds[row["name"]],
                       command=batch_command(prefix, first, count))
            old = old_by_name.get(run["run"])
            if old is not None:
                change = _change(old, run)
                if change:
                    problems.append(f"Batch [{old['run']}] of [{folder}] would change: {change}")
                elif old.keys() == run.keys():
                    # An unchanged batch keeps the manifest's record (10^5 batches stay small).
                    old.update(row=run["row"], replicates=run.get("replicates", ""))
                    run = old
            runs.append(run)
    names = {run["run"] for run in runs}
    for old in old_runs:
        if old["run"] not in names and not any(
                p.startswith(f"Row [{old['name']}]") for p in problems):
            problems.append(f"Batch [{old['run']}] of [{folder}] is not in the design.")
    if problems:
        raise TwolocusError("\n".join(problems + [
            f"The design changes or removes batches of [{folder}]; use another folder."]))
    if len(runs) > MAX_RUNS:
        raise TwolocusError(f"The sweep would have {len(runs)} batches, more than {MAX_RUNS}; "
                            "give a bigger --batch-size.")
    # The folder's batches keep their order; new ones follow in design order.
    known = [r["run"] for r in old_runs]
    position = {name: index for index, name in enumerate(known)}
    runs.sort(key=lambda run: position.get(run["run"], len(known)))
    return columns, runs, copies


def write_folder(design, folder, sweep_seed, columns, runs, copies):
    """Creates or extends the sweep folder: copies of the design and the input
    files, sweep.tsv, the batch folders and, last, the manifest."""
    os.makedirs(os.path.join(folder, INPUTS), exist_ok=True)
    os.makedirs(os.path.join(folder, "runs"), exist_ok=True)
    for value, name in copies.items():
        copy = os.path.join(folder, INPUTS, name)
        if not os.path.exists(copy):
            shutil.copyfile(os.path.join(design.folder, value), copy + ".new")
            os.replace(copy + ".new", copy)
    shutil.copyfile(design.path, os.path.join(folder, "design.tsv.new"))
    os.replace(os.path.join(folder, "design.tsv.new"), os.path.join(folder, "design.tsv"))
    write_tsv_atomically(os.path.join(folder, "sweep.tsv"), ["sweep_seed", "kind"],
                         [{"sweep_seed": sweep_seed, "kind": KIND}])
    for run in runs:
        os.makedirs(os.path.join(folder, "runs", run["run"]), exist_ok=True)
    write_tsv_atomically(os.path.join(folder, "manifest.tsv"), columns, runs)


# Reading a sweep folder of twolocus-sim back -------------------------------

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
    from .sweep import states
    if not os.path.isdir(folder):
        raise TwolocusError(f"Could not open the sweep folder [{folder}].")
    folder = os.path.abspath(folder)
    if not is_sim_sweep(folder):
        raise TwolocusError(f"[{folder}] is not a sweep folder of twolocus-sim.")
    columns, runs = read_manifest(folder)
    found = states(folder, runs, warn=warn)
    rows = {}
    for run in runs:
        entry = rows.get(run["name"])
        if entry is None:
            parameters = {c: run[c] for c in columns
                          if c not in FIXED_FIRST and c not in ("name", "command")}
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
