"""The two kinds of sweep, as data: what a sweep of the classic programs and
a sweep of twolocus-sim differ in.

A classic sweep runs `twolocus` once per replicate: its design's columns
are the program's twelve arguments, a row of R replicates is R runs
NAME_1 ... NAME_R, each with its own seed (seeds.assign_seeds), and a run's
command line is the program's positional arguments. A sweep of
twolocus-sim has twolocus-sim's long options as columns (their kinds and
ranges from the table of parameters), a row's replicates run as batches
NAME_F-L of `twolocus-sim --replicates`, all with the row's seed
(seeds.assign_row_seeds), and a batch's command line is options. Everything
else (the design's reading, the plan's checks, the folder, the runner, the
launchers, the status) is the same code for both, given a Kind.
"""

import os
import re
import shlex
from dataclasses import dataclass
from typing import Callable

from ..analysis.conditions import ConditionError, Condition
from ..errors import TwolocusError
from ..native import core
from ..runfiles.params import read_params
from ..runfiles.trajectory import read_trajectory
from .design import (DEME_PART, INT_MAX, MAX_FILE_NAME, MAX_RUNS, control, file_problem,
                     find_program, is_tag, name_place, name_problem, repeated_name, split_initial)
from .folder import BATCH_LOCK, TRAJECTORY, sweep_kind_name
from .seeds import PARAMETER_COLUMNS, assign_row_seeds, assign_seeds

# The design's numbers: a whole number, and a decimal number.
INTEGER = re.compile(r"[+-]?[0-9]+")
REAL = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
# The files of a unit's folder that a fresh start removes.
RUN_FILES = [TRAJECTORY, TRAJECTORY + ".params", TRAJECTORY + ".params.new",
             "console.log", "exit-status", "exit-status.new", "resumed"]
BATCH_FILES = [BATCH_LOCK + suffix for suffix in
               ("", ".params", ".params.tmp", ".batch", ".checkpoint", ".summary.tsv",
                ".summary.tsv.tmp")]


@dataclass(frozen=True)
class Kind:
    """A kind of sweep. name: as sweep.tsv records it; program: the default
    program; unit, unit_title: what a manifest line is ("runs", "Run");
    fixed: the manifest's first columns; copies, copied: the folder of the
    inputs' copies and what messages call them; parameters: the parameter
    columns in the command line's order; files: the file columns and what
    each is; labelled: the file columns that may end in :LABEL.

    The design's rules: check_header(columns, where), check_cell(column,
    text, folder, where) -> (canonical value, problem), check_row(row,
    where), check_name(row, names, columns, number, where) and
    check_design(rows, columns, path), each returning problems; grid's
    shortcuts ({column: the columns it stands for}) and repeated_note.

    The plan: units(design, columns, old units, sweep seed, default
    program, copies, batch size, folder) -> (units, problems), each unit a
    manifest line with its command; input_files(row) and old_copies(old
    units) of the inputs' copies.

    The runner: lock (the file the program holds), files (removed before a
    fresh start), resumable(run folder, --continue, fresh), resume_argv
    (program), in_use (the program's message of an output in use),
    restarts_failed_resume; the status: counts_replicates; the summaries:
    study (units that write summary tables)."""

    name: str
    program: str
    unit: str
    unit_title: str
    fixed: list
    copies: str
    copied: str
    parameters: list
    files: dict
    labelled: tuple
    check_header: Callable
    check_cell: Callable
    check_row: Callable
    check_name: Callable
    check_design: Callable
    grid_shortcuts: dict
    repeated_note: Callable
    units: Callable
    input_files: Callable
    old_copies: Callable
    lock: str
    run_files: list
    resumable: Callable
    resume_argv: Callable
    in_use: str
    restarts_failed_resume: bool
    counts_replicates: bool
    study: bool
    # The file columns whose cells give demes their own files ("A=FILE;B=FILE").
    deme_files: tuple = ()

    def sweep_record(self, sweep_seed):
        """sweep.tsv's one row: the sweep seed, and the kind unless classic."""
        return {"sweep_seed": sweep_seed, **({} if self.name == "classic" else {"kind": self.name})}


def row_program(kind, row, design, default_program):
    """The absolute path of a row's program (its program cell, else the
    default), or TwolocusError."""
    program = row.get("program", "") or ""
    program = find_program(program, design.folder) if program else default_program
    if program is None:
        raise TwolocusError(f"Could not find the program [{kind.program}]; give --program.")
    return program


def first_change(old, new):
    """The first value (seed and command last) in which an existing unit
    and its new plan differ, as text, or None."""
    for column, value in sorted(old.items(), key=lambda item: item[0] in ("seed", "command")):
        if column not in ("row", "replicates") and str(new.get(column, "")) != value:
            return f"[{column}] was [{value}], now [{new.get(column, '')}]."
    return None


# The classic programs ---------------------------------------------------------

CLASSIC_RATES = PARAMETER_COLUMNS[6:]
# Lowest value of each integer column (all are at most INT_MAX).
CLASSIC_INTEGERS = {"column": 1, "s": 0, "k": 0, "n": 0, "N": 1, "replicates": 1,
                    "seed": -INT_MAX - 1, **{rate: 0 for rate in CLASSIC_RATES}}


def _classic_header(columns, where):
    problems = []
    seen = {}
    for number, column in enumerate(columns, start=1):
        found = control(column, where(1, number))
        if found:
            problems.append(found)
            continue
        if column in seen:
            problems.append(f"{where(1, number)}: column [{column}] is also column {seen[column]}.")
            continue
        seen[column] = number
        known = column in PARAMETER_COLUMNS or column in ("name", "program", "replicates", "seed")
        if not known and not is_tag(column):
            problems.append(f"{where(1, number)}: unknown column [{column}]; "
                            "extra columns start with [tag_].")
    for column in PARAMETER_COLUMNS:
        if column not in seen:
            problems.append(f"{where(1)}: no column [{column}].")
    if "replicates" in seen and "seed" in seen:
        problems.append(f"{where(1)}: give a column [replicates] or a column [seed], not both.")
    elif "replicates" not in seen and "seed" not in seen:
        problems.append(f"{where(1)}: no column [replicates] or [seed].")
    return problems


def _classic_cell(column, text, folder, where):
    if column in CLASSIC_INTEGERS:
        if not INTEGER.fullmatch(text):
            return text, f"{where}: [{text}] is not an integer."
        value = int(text)
        if value < CLASSIC_INTEGERS[column]:
            return text, f"{where}: [{text}] is below [{CLASSIC_INTEGERS[column]}]."
        if value > INT_MAX:
            return text, f"{where}: [{text}] is above [{INT_MAX}]."
        return str(value), None
    if column == "fitness":
        if text == "":
            return text, f"{where}: no fitness file given."
        return text, file_problem(text, "fitness file", folder, where)
    return text, name_problem(column, text, folder, where) if text != "" else None


def _replicates(row, columns):
    """The runs of a classic row: 1 with a seed column, else its replicates
    (1 for a cell that did not pass its check)."""
    if "seed" in columns:
        return 1
    text = row.get("replicates")
    return int(text) if text is not None and INTEGER.fullmatch(text) and int(text) >= 1 else 1


def _classic_name(row, names, columns, number, where):
    longest = f"{row['name']}_{_replicates(row, columns)}"
    problems = []
    if len(longest.encode(errors="surrogateescape")) > MAX_FILE_NAME:
        problems.append(f"{name_place(columns, number, where)}: the run name [{longest}] is longer "
                        f"than {MAX_FILE_NAME} bytes, the longest file name.")
    return problems + repeated_name(row, names, columns, number, where)


def _classic_design(rows, columns, path):
    total = sum(_replicates(row, columns) for row in rows)
    if total > MAX_RUNS:
        return [f"[{path}] has {total} runs; a sweep holds at most {MAX_RUNS} runs."]
    return []


def _classic_units(design, columns, old_runs, sweep_seed, default_program, copies, batch_size,
                   folder):
    """Each row's replicates as runs NAME_1 ... NAME_R (NAME_1 alone with a
    seed column), the folder's runs first in their order, then the new ones
    in design order; seeds assigned in that order; a run the folder has
    keeps its manifest's command when unchanged."""
    new_runs = {}
    for row in design.rows:
        program = row_program(CLASSIC, row, design, default_program)
        explicit = "seed" in row
        for replicate in range(1, 2 if explicit else int(row["replicates"]) + 1):
            run = {c: row[c] for c in columns if c in row and c not in CLASSIC.fixed}
            run.update(run=f"{row['name']}_{replicate}", row=row["row"], replicate=replicate,
                       seed=int(row["seed"]) if explicit else None, program_path=program)
            new_runs[run["run"]] = run
    order = [r["run"] for r in old_runs if r["run"] in new_runs]
    known = set(order)
    order += [name for name in new_runs if name not in known]
    runs = [new_runs[name] for name in order]
    assign_seeds(sweep_seed, runs)
    old_commands = {r["run"]: r.get("command") for r in old_runs}
    for run in runs:
        argv = ([run["program_path"], f"../../{CLASSIC.copies}/" + copies[run["fitness"]]]
                + [run[c] for c in PARAMETER_COLUMNS[1:]] + [TRAJECTORY, str(run["seed"])])
        command = shlex.join(argv)
        # An unchanged run keeps the manifest's copy (10^5 runs stay small).
        old_command = old_commands.get(run["run"])
        run["command"] = old_command if old_command == command else command
    problems = []
    for old in old_runs:
        new = new_runs.get(old["run"])
        if new is None:
            problems.append(f"Run [{old['run']}] of [{folder}] is not in the design.")
            continue
        # Name the changed design value rather than the seed or command that follow from it.
        change = first_change(old, new)
        if change:
            problems.append(f"Run [{old['run']}] of [{folder}] would change: {change}")
    return runs, problems


def _classic_old_copies(old_runs):
    """{fitness file as written: its copy's name} from the runs' commands."""
    return {run["fitness"]: os.path.basename(shlex.split(run["command"])[1]) for run in old_runs}


def _classic_resumable(run_folder, resume, fresh):
    """With --continue, a run interrupted after a complete record, whose
    parameter file reads."""
    if not resume or not os.path.exists(os.path.join(run_folder, TRAJECTORY)):
        return False
    try:
        trajectory = read_trajectory(os.path.join(run_folder, TRAJECTORY))
        read_params(os.path.join(run_folder, TRAJECTORY + ".params"))
    except TwolocusError:
        return False
    return len(trajectory.labels) > 0


CLASSIC = Kind(
    name="classic", program="twolocus", unit="runs", unit_title="Run",
    fixed=["run", "row", "replicate", "seed"], copies="fitness", copied="Fitness",
    parameters=PARAMETER_COLUMNS, files={"fitness": "fitness file"}, labelled=(),
    check_header=_classic_header, check_cell=_classic_cell,
    check_row=lambda row, where: [], check_name=_classic_name, check_design=_classic_design,
    grid_shortcuts={"rates": CLASSIC_RATES}, repeated_note=lambda column: "",
    units=_classic_units, input_files=lambda row: {"fitness": row["fitness"]},
    old_copies=_classic_old_copies, lock=TRAJECTORY, run_files=RUN_FILES,
    resumable=_classic_resumable, resume_argv=lambda program: [program, TRAJECTORY],
    in_use="output_in_use", restarts_failed_resume=False, counts_replicates=False, study=False)


# twolocus-sim --------------------------------------------------------------

# The design's columns that are parameters (of the table of parameters, by
# their column), in the order of a batch's command line.
SIM_CHANGES = ["12", "23", "13", "21", "32", "31"]
# A fitness by coefficients instead of a table.
SIM_COEFFICIENTS = (["fitness-a", "fitness-b"]
                    + [f"{name}-{locus}" for locus in "ab" for name in ("s2", "h2", "s3", "h3")]
                    + ["combine", "epistasis"])
SIM_PARAMETERS = (["population-size", "generations", "demography", "burn-in", "fitness",
                   "fitness-values", "column", "s", "k"] + SIM_COEFFICIENTS + ["mu"]
                  + [f"mu-{locus}{change}" for locus in "ab" for change in SIM_CHANGES]
                  + ["recombination", "weights", "engine", "initial", "record-every", "stop",
                     "watch", "change"])
SIM_ENTRIES = {entry["column"]: entry for entry in core.parameters() if entry["column"]}
SIM_FILES = {"demography": "demography file", "fitness": "fitness file",
             "fitness-values": "fitness file", "initial": "initial file"}
SIM_LABELLED = ("initial",)
SIM_REQUIRED = ["population-size", "generations", "replicates"]
# A design with a demography column may leave out these columns (a row with
# a demography needs neither; one without still needs both, row by row).
SIM_REPLACED_BY_DEMOGRAPHY = ("population-size", "generations")
SIM_OPTIONAL = ["name", "program", "seed"]
# The classic programs' columns that twolocus-sim names otherwise.
CLASSIC_NAMES = {"N": "population-size", "n": "generations",
                 **{f"{locus}{change}": f"mu-{locus}{change}" for locus in "ab"
                    for change in ("12", "23", "13")}}
# ';' cannot occur in a condition (the language has no such character).
CONDITION_SEPARATOR = ";"
CONDITIONS = ["stop", "watch"]
# The numbers a deme may have its own of: a cell "0.05", "A=0.05" or
# "0.05;A=0.1;B=0.2" (the run's, then each deme's: NAME=VALUE).
DEME_NUMBERS = ["column", "s", "k"]
# The columns of several values in one cell, separated by ';': one option each.
SPLIT = CONDITIONS + ["change"] + DEME_NUMBERS
BATCH_FIXED = ["run", "row", "first_replicate", "batch_replicates", "seed"]


def split_conditions(value):
    """The conditions of a stop or watch cell, each without outer blanks."""
    return [part.strip() for part in value.split(CONDITION_SEPARATOR)]


# The file columns a deme may have its own of: "valley.tsv;B=local.tsv", the
# run's file then each deme's (NAME=FILE, NAME a deme of the row's demography).
DEME_FILES = ("fitness", "fitness-values", "initial")


def file_parts(column, value):
    """The files of a file cell, each as (deme: "" or NAME, path, label or
    None); several, separated by ';', in a column of DEME_FILES."""
    parts = []
    for text in (split_conditions(value) if column in DEME_FILES else [value]):
        match = DEME_PART.fullmatch(text) if column in DEME_FILES else None
        deme, text = (match.group(1), match.group(2)) if match else ("", text)
        path, label = split_initial(text) if column in SIM_LABELLED else (text, None)
        parts.append((deme, path, label))
    return parts


def part_text(deme, path, label):
    """A file of a cell as the program reads it: [NAME=]PATH[:LABEL]."""
    return (f"{deme}=" if deme else "") + path + (f":{label}" if label else "")


def _sim_repeated_note(column):
    if column not in CONDITIONS:
        return ""
    return (f" Several conditions go in one value, separated by [{CONDITION_SEPARATOR}]: "
            f"'{column}=h22 >= 0.5;a3 == 1'.")


def _sim_header(columns, where):
    problems, seen, classic = [], {}, []
    for number, column in enumerate(columns, start=1):
        found = control(column, where(1, number))
        if found:
            problems.append(found)
        elif column in seen:
            problems.append(f"{where(1, number)}: column [{column}] is also column {seen[column]}."
                            + (f" Several conditions go in one cell, separated by "
                               f"[{CONDITION_SEPARATOR}]." if column in CONDITIONS else ""))
        else:
            seen[column] = number
            if (column in SIM_PARAMETERS or column in SIM_REQUIRED or column in SIM_OPTIONAL
                    or is_tag(column)):
                continue
            if column in CLASSIC_NAMES:
                classic.append(column)
            else:
                problems.append(f"{where(1, number)}: unknown column [{column}] for "
                                "twolocus-sim; extra columns start with [tag_].")
    if classic:
        # The classic columns, all in one line.
        problems.insert(0, f"{where(1)}: " + ", ".join(f"[{c}]" for c in classic)
                        + (" are columns" if len(classic) > 1 else " is a column")
                        + " of the classic programs; twolocus-sim's "
                        + ("are " if len(classic) > 1 else "is ")
                        + ", ".join(f"[{CLASSIC_NAMES[c]}]" for c in classic)
                        + ", in its units.")
    named = {CLASSIC_NAMES[c] for c in classic}
    for column in SIM_REQUIRED:
        if "demography" in seen and column in SIM_REPLACED_BY_DEMOGRAPHY:
            continue
        if column not in seen and column not in named:
            problems.append(f"{where(1)}: no column [{column}].")
    if ("fitness" not in seen and "fitness-values" not in seen
            and not any(column in seen for column in SIM_COEFFICIENTS)):
        problems.append(f"{where(1)}: no column [fitness] or [fitness-values] (or coefficients).")
    return problems


def _sim_number(entry, text, where):
    """A number cell by its parameter's kind and range: (canonical, problem)."""
    low, high = entry["low"], entry["high"]
    if entry["kind"] == "integer":
        if not INTEGER.fullmatch(text):
            return text, f"{where}: [{text}] is not a whole number."
        if not low <= int(text) <= high:
            return text, f"{where}: [{text}] is not from {int(low)} to {int(high)}."
        return str(int(text)), None
    value = float(text) if REAL.fullmatch(text) else None
    if value is None or abs(value) == float("inf"):
        return text, f"{where}: [{text}] is not a number."
    if not low <= value <= high:
        return text, f"{where}: [{text}] is not from {low:g} to {high:g}."
    return repr(value + 0.0), None


def _sim_cell(column, text, folder, where):
    if text == "":
        return text, f"{where}: no number of replicates." if column == "replicates" else None
    entry = SIM_ENTRIES.get(column)
    if column in SIM_FILES:
        parts = file_parts(column, text)
        for _, path, _ in parts:
            problem = file_problem(path, SIM_FILES[column], folder, where)
            if problem is None and column == "demography":
                problem = _demography_problem(path, folder, where)
            if problem:
                return text, problem
        if len(parts) == 1 and not parts[0][0]:
            return text, None
        return CONDITION_SEPARATOR.join(part_text(*part) for part in parts), None
    if entry is None:
        return text, name_problem(column, text, folder, where)
    if column in DEME_NUMBERS:
        parts = []
        for part in split_conditions(text):
            name, equals, value = part.rpartition("=")
            if equals and not name.isidentifier():
                return text, f"{where}: [{part}] is not a number or NAME=NUMBER for deme NAME."
            value, problem = _sim_number(entry, value, where)
            if problem:
                return text, problem
            parts.append(f"{name}={value}" if equals else value)
        return CONDITION_SEPARATOR.join(parts), None
    if entry["kind"] in ("integer", "real", "probability"):
        return _sim_number(entry, text, where)
    if entry["kind"] == "word":
        words = entry["words"].split("|")
        return text, None if text in words else f"{where}: [{text}] is not " + " or ".join(words) + "."
    if entry["kind"] == "six":
        try:
            core.check_parameters([(entry["identifier"], text.encode("utf-8", "surrogateescape"))], [])
        except ValueError:
            return text, f"{where}: [{text}] is not {entry['wants']}."
        return text, None
    if entry["kind"] == "change":
        parts = split_conditions(text)
        for part in parts:
            try:
                core.check_parameters([("change", part.encode("utf-8", "surrogateescape"))], [])
            except ValueError:
                return text, f"{where}: [{part}] is not TIME:PARAMETER=VALUE."
        return CONDITION_SEPARATOR.join(parts), None
    parts = split_conditions(text)
    for part in parts:
        try:
            Condition(part)
        except ConditionError as error:
            return text, f"{where}: {error}"
    return CONDITION_SEPARATOR.join(parts), None


def _demography_problem(path, folder, where):
    """The problem of a demography file that opens but is not a valid Demes
    model (twolocus-sim's reason, naming the file as the design does), or
    None. (A valid model that a run cannot simulate is refused by its
    batches, which know the run's start.)"""
    full = os.path.join(folder, path)
    try:
        core.resolve_demography(os.fsencode(full))
    except (ValueError, OSError) as error:
        text = str(error).removeprefix("twolocus-sim: ").replace(f"[{full}]", f"[{path}]", 1)
        return f"{where}: {text}"
    return None


def _sim_row(row, where):
    """The problems of a row that no single cell shows, from the run
    library's check of the parameters as a whole (check_request)."""
    values = []
    for column in SIM_PARAMETERS:
        cell = row.get(column, "")
        if cell == "":
            continue
        texts = split_conditions(cell) if column in SPLIT or column in DEME_FILES else [cell]
        values += [(SIM_ENTRIES[column]["identifier"], text.encode("utf-8", "surrogateescape"))
                   for text in texts]
    required = ["fitness", "population_size", "generations"]
    problems = []
    if not row.get("demography"):
        for column in list(DEME_FILES) + DEME_NUMBERS:
            named = [text for text in split_conditions(row.get(column, "")) if DEME_PART.fullmatch(text)]
            if named:
                problems.append(f"{where}: [{column}] gives deme [{named[0].split('=')[0]}] its own, "
                                "and the row has no demography.")
    for found in core.check_parameters(values, required):
        entry = found["entry"]
        if found["what"] == "conflict" and entry == "fitness_values":
            problems.append(f"{where}: give one of [fitness] and [fitness-values], not both.")
        elif found["what"] == "conflict" and entry in ("s", "k"):
            problems.append(f"{where}: [{entry}] is only for [fitness], not [fitness-values].")
        elif found["what"] == "conflict":
            problems.append(f"{where}: give one of [{_column(entry)}] and [{_column(found['other'])}], "
                            "not both.")
        elif found["what"] == "needs":
            problems.append(f"{where}: [{_column(entry)}] is only for a run with [{_column(found['other'])}].")
        elif found["what"] == "required" and entry == "fitness":
            problems.append(f"{where}: give one of [fitness] and [fitness-values], or coefficients.")
        elif found["what"] == "required":
            problems.append(f"{where}: no value of [{_column(entry)}].")
        elif found["what"] == "row_sum":
            problems.append(f"{where}: the mutation rates out of allele {found['allele']} at locus "
                            f"{found['locus']} sum to {found['sum']:.17g}, more than 1.")
    return problems


def _column(identifier):
    """A design column's name for an entry's identifier."""
    return identifier.replace("_", "-")


def _sim_name(row, names, columns, number, where):
    problems = repeated_name(row, names, columns, number, where)
    longest = f"{row['name']}_{INT_MAX}-{INT_MAX}"
    if len(longest.encode(errors="surrogateescape")) > MAX_FILE_NAME:
        problems.append(f"{where(number)}: the name [{row['name']}] is too long for the "
                        f"batches' folder names ({MAX_FILE_NAME} bytes at most).")
    return problems


def sim_input_files(row):
    """{column: file path as written} of a row's fitness, fitness-values and initial cells."""
    files = {}
    for column in SIM_FILES:
        value = row.get(column, "")
        if value:
            for number, (_, path, _) in enumerate(file_parts(column, value)):
                files[column if number == 0 else f"{column}#{number}"] = path
    return files


def _sim_old_copies(old_runs):
    """{file as written in the design: its copy's name} from the existing batches' commands."""
    copies, seen = {}, set()
    for run in old_runs:
        # Batches of a row share their files: one command each is read.
        key = tuple(run.get(column, "") for column in SIM_FILES)
        if key in seen:
            continue
        seen.add(key)
        argv = shlex.split(run["command"])
        for column in SIM_FILES:
            value = run.get(column, "")
            if not value:
                continue
            # The command's files of the column, in the cell's order.
            given = []
            for argument in argv:
                if not argument.startswith(f"--{column}="):
                    continue
                text = argument[len(column) + 3:]
                match = DEME_PART.fullmatch(text)
                if match and match.group(2).startswith("../../"):
                    text = match.group(2)
                if text.startswith(f"../../{SIM.copies}/"):
                    given.append(text[len(f"../../{SIM.copies}/"):])
            for (_, path, _), copy in zip(file_parts(column, value), given):
                copies[path] = split_initial(copy)[0] if column in SIM_LABELLED else copy
    return copies


def batch_name(name, first, count):
    return f"{name}_{first}-{first + count - 1}"


def command_prefix(program, row, copies, seed):
    """The start of the command line of a row's batches, up to its seed."""
    argv = [program]
    for column in SIM_PARAMETERS:
        value = row.get(column, "")
        if value == "":
            continue
        if column in SIM_FILES:
            argv += [f"--{column}=" + part_text(deme, f"../../{SIM.copies}/{copies[path]}", label)
                     for deme, path, label in file_parts(column, value)]
            continue
        if column in ("s", "k"):
            for part in split_conditions(value):
                argv += [f"-{column}", part]
        elif column in SPLIT:
            argv += [f"--{column}={condition}" for condition in split_conditions(value)]
        else:
            argv.append(f"--{column}={value}")
    return shlex.join(argv + [f"--seed={seed}"])


def batch_command(prefix, first, count):
    """The command line of one batch, run in its folder DIR/runs/BATCH, from
    its row's command_prefix."""
    return f"{prefix} --replicates={count} --first-replicate={first} --output={BATCH_LOCK}"


def _sim_units(design, columns, old_runs, sweep_seed, default_program, copies, batch_size,
               folder):
    """Each row's replicates as batches: the folder's batches of the row as
    they are, then batches of batch_size for the replicates beyond them;
    every batch of a row has the row's seed. An unchanged batch keeps its
    manifest record."""
    old_by_row, old_by_name = {}, {run["run"]: run for run in old_runs}
    for run in old_runs:
        old_by_row.setdefault(run["name"], []).append(run)
    # Row seeds: the rows the folder has first (in its order), then the new ones.
    order = list(old_by_row) + [r["name"] for r in design.rows if r["name"] not in old_by_row]
    by_name = {row["name"]: row for row in design.rows}
    seeded = [{**by_name[name], "explicit": by_name[name].get("seed", "")}
              for name in order if name in by_name]
    assign_row_seeds(sweep_seed, seeded, SIM_PARAMETERS)
    seeds = {row["name"]: row["row_seed"] for row in seeded}
    runs, problems = [], []
    for row in design.rows:
        program = row_program(SIM, row, design, default_program)
        shared = {c: row[c] for c in columns if c in row and c not in BATCH_FIXED}
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
                change = first_change(old, run)
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
    if not problems and len(runs) > MAX_RUNS:
        raise TwolocusError(f"The sweep would have {len(runs)} batches, more than {MAX_RUNS}; "
                            "give a bigger --batch-size.")
    # The folder's batches keep their order; new ones follow in design order.
    known = [r["run"] for r in old_runs]
    position = {name: index for index, name in enumerate(known)}
    runs.sort(key=lambda run: position.get(run["run"], len(known)))
    return runs, problems


def _sim_resumable(run_folder, resume, fresh):
    """A killed batch is always resumed (twolocus-sim --resume runs only its
    missing replicates and writes the uninterrupted table), unless it is to
    start afresh."""
    return not fresh and all(os.path.isfile(os.path.join(run_folder, BATCH_LOCK + suffix))
                             for suffix in (".batch", ".params"))


SIM = Kind(
    name="twolocus-sim", program="twolocus-sim", unit="batches", unit_title="Batch",
    fixed=BATCH_FIXED, copies="inputs", copied="Input", parameters=SIM_PARAMETERS,
    files=SIM_FILES, labelled=SIM_LABELLED, check_header=_sim_header, check_cell=_sim_cell,
    check_row=_sim_row, check_name=_sim_name, check_design=lambda rows, columns, path: [],
    grid_shortcuts={}, repeated_note=_sim_repeated_note, units=_sim_units,
    input_files=sim_input_files, old_copies=_sim_old_copies, lock=BATCH_LOCK,
    run_files=RUN_FILES + BATCH_FILES, resumable=_sim_resumable,
    resume_argv=lambda program: [program, "--resume", BATCH_LOCK], in_use="sim_output_in_use",
    restarts_failed_resume=True, counts_replicates=True, study=True, deme_files=DEME_FILES)

KINDS = {kind.name: kind for kind in (CLASSIC, SIM)}


def kind_of(folder):
    """The kind of the sweep in folder (classic for a folder that is not yet a sweep)."""
    return KINDS.get(sweep_kind_name(folder), CLASSIC)
