"""The sweep folder: its manifest, copies of the inputs, locks and run states.

DIR/design.tsv        the design as last run
DIR/fitness/          copies of the fitness tables, which the runs read
DIR/manifest.tsv      one line per run: run, row, replicate, seed, the design's
                      columns and the exact command line
DIR/sweep.tsv         the sweep seed
DIR/lock              held (flock) by a twolocus-sweep run while it works on DIR
DIR/runs/RUN/         trajectory, trajectory.params and console.log as the
                      program writes them, exit-status once it ended, and
                      .lock, held by the process that runs it
"""

import fcntl
import os
import shlex
import shutil

from .design import PARAMETER_COLUMNS, find_program
from .errors import TwolocusError
from .seeds import assign_seeds

FIXED_FIRST = ["run", "row", "replicate", "seed"]
TRAJECTORY = "trajectory"
# The file a batch of twolocus-sim locks (sweeps of twolocus-sim: simsweep.py):
# its output name, empty, whose lock covers every file of the name.
BATCH_LOCK = "batch"


def manifest_columns(design):
    """The manifest header for a design: run, row, replicate, seed, every
    design column but seed (name added when the design has none), command."""
    columns = [c for c in design.columns if c != "seed"]
    if "name" not in columns:
        columns.append("name")
    return FIXED_FIRST + columns + ["command"]


def read_tsv(path):
    """Takes a TSV file with a header; returns (columns, rows as dicts). Lines
    end at a newline only (str.splitlines would also end them at a form feed
    or a Unicode line separator)."""
    with open(path, encoding="utf-8", errors="surrogateescape", newline="") as text:
        text = text.read()
    lines = _lines(text)
    header = next(lines, None)
    if header is None:
        raise IndexError("no header")
    columns = header.split("\t")
    # Values repeat from run to run (a design row's replicates share all but
    # run, replicate, seed and command): one copy of each keeps 10^5 runs small.
    shared = {}
    return columns, [dict(zip(columns, (shared.setdefault(v, v) for v in line.split("\t"))))
                     for line in lines if line]


def _lines(text):
    """The lines of text (ended by newlines only), one at a time."""
    start = 0
    while start < len(text):
        end = text.find("\n", start)
        end = len(text) if end < 0 else end
        yield text[start:end]
        start = end + 1


def write_tsv_atomically(path, columns, rows):
    """Writes a TSV file through a temporary file renamed over path."""
    temporary = path + ".new"
    try:
        with open(temporary, "w", encoding="utf-8", errors="surrogateescape") as out:
            out.write("\t".join(columns) + "\n")
            for row in rows:
                out.write("\t".join(str(row.get(c, "")) for c in columns) + "\n")
        os.replace(temporary, path)
    except OSError:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise


def read_manifest(folder):
    """Takes a sweep folder; returns (columns, runs), or raises TwolocusError."""
    path = os.path.join(folder, "manifest.tsv")
    try:
        return read_tsv(path)
    except (OSError, IndexError, UnicodeDecodeError):
        raise TwolocusError(f"Could not read the manifest [{path}].") from None


def read_sweep_seed(folder):
    """The sweep seed recorded in folder, or None for a new folder."""
    try:
        _, rows = read_tsv(os.path.join(folder, "sweep.tsv"))
        return int(rows[0]["sweep_seed"])
    except (OSError, IndexError, KeyError, ValueError):
        return None


def existing_runs(folder, sweep_seed):
    """The runs of the manifest in folder, a sweep folder that has one.
    Raises TwolocusError when the folder's sweep seed is not sweep_seed or
    the manifest cannot be read."""
    old_seed = read_sweep_seed(folder)
    if old_seed is not None and old_seed != sweep_seed:
        raise TwolocusError(f"The sweep in [{folder}] has sweep seed [{old_seed}], "
                            f"not [{sweep_seed}].")
    return read_manifest(folder)[1]


def _same_bytes(first, second):
    with open(first, "rb") as a, open(second, "rb") as b:
        return a.read() == b.read()


def name_copies(sources, design_folder, copies_folder, copies, what, units):
    """Maps each file in sources (paths as written in the design, relative to
    design_folder) to its copy's name in copies_folder: the name in copies
    (the copies the existing runs use, updated and returned), else the file's
    own name, made unique with -2, -3, ... unless a copy with the same bytes
    exists. Raises TwolocusError, naming the file as "{what} file" and the
    sweep's {units}, when an existing copy's source has changed."""
    # Each copy's name and the file it holds (the copy itself, or the source still to copy).
    holders = {name: os.path.join(copies_folder, name) for name in copies.values()}
    for path in sources:
        source = os.path.join(design_folder, path)
        if path in copies:
            copy = holders[copies[path]]
            if os.path.exists(copy) and not _same_bytes(source, copy):
                raise TwolocusError(f"{what} file [{path}] differs from the sweep's copy "
                                    f"[{copy}]; the sweep's {units} would change.")
            continue
        stem, extension = os.path.splitext(os.path.basename(path))
        attempt = 1
        while True:
            name = stem + extension if attempt == 1 else f"{stem}-{attempt}{extension}"
            holder = holders.get(name, os.path.join(copies_folder, name))
            if not os.path.exists(holder) or _same_bytes(source, holder):
                break
            attempt += 1
        copies[path] = name
        holders.setdefault(name, source)
    return copies


def _fitness_copies(design, folder, old_runs):
    """Maps each fitness value of the design to its copy's name in
    folder/fitness (name_copies)."""
    copies = {}
    for run in old_runs:
        copies[run["fitness"]] = os.path.basename(shlex.split(run["command"])[1])
    return name_copies((row["fitness"] for row in design.rows), design.folder,
                       os.path.join(folder, "fitness"), copies, "Fitness", "runs")


def plan(design, folder, sweep_seed, default_program):
    """Takes a checked design, the sweep folder, the sweep seed and the
    program's absolute path (None: every row must name one); returns
    (columns, runs, copies): the manifest columns, every run in manifest
    order, and the fitness copy names. Raises TwolocusError when the design
    changes or removes runs the folder already has."""
    old_runs = []
    if os.path.exists(os.path.join(folder, "manifest.tsv")):
        old_runs = existing_runs(folder, sweep_seed)
    columns = manifest_columns(design)
    copies = _fitness_copies(design, folder, old_runs)
    new_runs = {}
    for row in design.rows:
        program = row.get("program", "") or ""
        program = find_program(program, design.folder) if program else default_program
        if program is None:
            raise TwolocusError("Could not find the program [twolocus]; give --program.")
        explicit = "seed" in row
        for replicate in range(1, 2 if explicit else int(row["replicates"]) + 1):
            run = {c: row[c] for c in columns if c in row and c not in FIXED_FIRST}
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
        argv = ([run["program_path"], "../../fitness/" + copies[run["fitness"]]]
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
        for column, value in sorted(old.items(), key=lambda item: item[0] in ("seed", "command")):
            if column not in ("row", "replicates") and str(new.get(column, "")) != value:
                problems.append(f"Run [{old['run']}] of [{folder}] would change: [{column}] "
                                f"was [{value}], now [{new.get(column, '')}].")
                break
    if problems:
        raise TwolocusError("\n".join(problems + [
            f"The design changes or removes runs of [{folder}]; use another folder."]))
    return columns, runs, copies


def write_folder(design, folder, sweep_seed, columns, runs, copies):
    """Creates or extends the sweep folder: copies of the design and the fitness
    tables, sweep.tsv, the run folders and, last, the manifest."""
    os.makedirs(os.path.join(folder, "fitness"), exist_ok=True)
    os.makedirs(os.path.join(folder, "runs"), exist_ok=True)
    for value, name in copies.items():
        copy = os.path.join(folder, "fitness", name)
        if not os.path.exists(copy):
            shutil.copyfile(os.path.join(design.folder, value), copy + ".new")
            os.replace(copy + ".new", copy)
    shutil.copyfile(design.path, os.path.join(folder, "design.tsv.new"))
    os.replace(os.path.join(folder, "design.tsv.new"), os.path.join(folder, "design.tsv"))
    write_tsv_atomically(os.path.join(folder, "sweep.tsv"), ["sweep_seed"],
                         [{"sweep_seed": sweep_seed}])
    for run in runs:
        os.makedirs(os.path.join(folder, "runs", run["run"]), exist_ok=True)
    write_tsv_atomically(os.path.join(folder, "manifest.tsv"), columns, runs)


def lock(path, blocking=False):
    """Takes a lock file's path; returns an open descriptor holding an exclusive
    flock on it, or None when another process holds it."""
    descriptor = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | (0 if blocking else fcntl.LOCK_NB))
    except BlockingIOError:
        os.close(descriptor)
        return None
    return descriptor


def is_locked(path):
    """Whether another process holds a flock on path (False if it is missing)."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        fcntl.flock(descriptor, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    except OSError:
        return False
    finally:
        os.close(descriptor)


def read_exit_status(run_folder):
    """The recorded exit status of a run (an int), or None if none is recorded."""
    try:
        with open(os.path.join(run_folder, "exit-status")) as text:
            return int(text.read().strip())
    except (OSError, ValueError):
        return None


def run_state(run_folder):
    """Takes a run's folder; returns 'done' (exit status 0 recorded),
    'running' (its process or the program holds its lock), 'failed' (another
    exit status recorded) or 'pending' (not started, or interrupted)."""
    status = read_exit_status(run_folder)
    if status == 0:
        return "done"
    if is_locked(os.path.join(run_folder, ".lock")):
        return "running"
    # The program itself locks its trajectory (a batch of twolocus-sim, its
    # empty output file); look only when no sweep process holds the run, so as not
    # to race a program taking its lock.
    if is_locked(os.path.join(run_folder, TRAJECTORY)) or is_locked(
            os.path.join(run_folder, BATCH_LOCK)):
        return "running"
    return "pending" if status is None else "failed"


def last_console_line(run_folder):
    """The last non-empty line of a run's console.log without the progress
    dots it may begin with, or ''."""
    try:
        with open(os.path.join(run_folder, "console.log"), "rb") as text:
            text.seek(0, os.SEEK_END)
            size = text.tell()
            text.seek(max(0, size - 4096))
            lines = text.read().decode("utf-8", "replace").splitlines()
    except OSError:
        return ""
    # The progress dots a run prints before a failure are not part of its line.
    lines = [line.strip().lstrip(".").lstrip() for line in lines]
    lines = [line for line in lines if line]
    return lines[-1] if lines else ""
