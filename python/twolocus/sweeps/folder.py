"""The sweep folder: its manifest, copies of the inputs, locks and unit states.

DIR/design.tsv        the design as last run
DIR/COPIES/           copies of the input files, which the units read
                      (fitness/ for a classic sweep, inputs/ for twolocus-sim)
DIR/manifest.tsv      one line per unit (a run, or a batch of replicates):
                      its fixed columns (run, row, replicate, seed; or run,
                      row, first_replicate, batch_replicates, seed), the
                      design's columns but seed, and the exact command line
DIR/sweep.tsv         the sweep seed (and the kind, twolocus-sim, for such a sweep)
DIR/lock              held (flock) by a twolocus-sweep run while it works on DIR
DIR/runs/UNIT/        the program's files (trajectory, trajectory.params; or
                      batch.summary.tsv, batch.params, batch.batch and batch,
                      empty: its lock), console.log, exit-status once it
                      ended, and .lock, held by the process that runs it
"""

import fcntl
import os
import shutil

from ..errors import TwolocusError

# The files whose lock a program holds while it runs a unit: a classic
# run's trajectory; a batch's output name, empty, whose lock covers every
# file of the name.
TRAJECTORY = "trajectory"
BATCH_LOCK = "batch"


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


def sweep_kind_name(folder):
    """The kind sweep.tsv records ("twolocus-sim"), or "classic" (also for a
    folder that is not yet a sweep)."""
    try:
        _, rows = read_tsv(os.path.join(folder, "sweep.tsv"))
        return rows[0].get("kind") or "classic"
    except (OSError, IndexError, UnicodeDecodeError):
        return "classic"


def manifest_columns(kind, design):
    """The manifest header for a design: the kind's fixed columns, every
    design column but seed (name added when the design has none), command."""
    columns = [c for c in design.columns if c != "seed"]
    if "name" not in columns:
        columns.append("name")
    return kind.fixed + columns + ["command"]


def write_folder(kind, design, folder, sweep_seed, columns, units, copies):
    """Creates or extends the sweep folder: copies of the design and the input
    files, sweep.tsv, the units' folders and, last, the manifest."""
    os.makedirs(os.path.join(folder, kind.copies), exist_ok=True)
    os.makedirs(os.path.join(folder, "runs"), exist_ok=True)
    for value, name in copies.items():
        copy = os.path.join(folder, kind.copies, name)
        if not os.path.exists(copy):
            shutil.copyfile(os.path.join(design.folder, value), copy + ".new")
            os.replace(copy + ".new", copy)
    shutil.copyfile(design.path, os.path.join(folder, "design.tsv.new"))
    os.replace(os.path.join(folder, "design.tsv.new"), os.path.join(folder, "design.tsv"))
    record = kind.sweep_record(sweep_seed)
    write_tsv_atomically(os.path.join(folder, "sweep.tsv"), list(record), [record])
    for unit in units:
        os.makedirs(os.path.join(folder, "runs", unit["run"]), exist_ok=True)
    write_tsv_atomically(os.path.join(folder, "manifest.tsv"), columns, units)


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
