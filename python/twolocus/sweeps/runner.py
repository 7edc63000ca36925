"""Runs one unit of a sweep (a run, or a batch) in its folder: what every
launcher calls per unit.

A unit that has exit status 0 recorded is never touched again. Any other unit is
run again from scratch (its files removed first), or resumed with the
program's resume form where its kind says it can be (kinds.py): a classic
run with resume=True when it was interrupted after a complete record and
its .params reads; a batch of twolocus-sim always, its files being there
(a batch whose resume fails is run again from its start). The exit status
is written (through a temporary file reserved before the start, so that it
can be written on a full disk) only after the program ended on its own. A
unit whose
program died of SIGKILL, SIGTERM, SIGINT or SIGHUP (or exited with 128 plus
one of them, as a shell does), or whose runner was stopped by one, records
nothing: it is interrupted, counts as pending, and is run again (or, with
resume=True, resumed). Any other exit status, 0 included, is recorded. A
run that SIGKILL ended KILL_LIMIT attempts in a row while its sweep was alive
(the out-of-memory killer) is failed instead, with a line in console.log.
"""

import os
import shlex
import signal
import subprocess
import sys
import time

from ..messages import pattern
from .folder import is_locked, last_console_line, lock, read_exit_status, read_manifest
from .guard import die_with_parent
from .kinds import kind_of
# Exit statuses of a program stopped from outside (by a kill, a preemption,
# Ctrl-C or a hang-up) rather than failing on its own.
INTERRUPTED_CODES = {128 + number for number in
                     (signal.SIGKILL, signal.SIGTERM, signal.SIGINT, signal.SIGHUP)}
# A run whose program SIGKILL ended this many attempts in a row while the
# sweep was alive (the out-of-memory killer, most likely) is failed.
KILL_LIMIT = 3
KILLS = "sigkills"
# A momentary shared lock (status, summaries) is waited out for this long.
LOCK_TRIES, LOCK_PAUSE = 20, 0.05


def _start(argv, run_folder, mode):
    with open(os.path.join(run_folder, "console.log"), mode) as log:
        return subprocess.Popen(argv, cwd=run_folder, stdin=subprocess.DEVNULL,
                                stdout=log, stderr=subprocess.STDOUT,
                                preexec_fn=lambda: die_with_parent(signal.SIGKILL))


def _wait(child):
    """Waits for child, passing on SIGTERM, SIGINT and SIGHUP; returns
    (its exit status as a shell shows it, the signal that stopped us or None)."""
    caught = []

    def forward(number, _frame):
        caught.append(number)
        child.send_signal(number)

    previous = {number: signal.signal(number, forward)
                for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)}
    try:
        code = child.wait()
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
    return (code if code >= 0 else 128 - code), (caught[0] if caught else None)


def _remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def _reserve_status(run_folder):
    """Creates exit-status.new with room for any exit status, so that recording
    it later needs no new space on the disk."""
    path = os.path.join(run_folder, "exit-status.new")
    try:
        with open(path, "wb") as out:
            out.write(b"-" * 15 + b"\n")
    except OSError:
        _remove(path)
        raise


def _record_status(run_folder, code):
    """Writes code into the reserved exit-status.new and renames it to
    exit-status. Raises OSError (with exit-status.new removed) on failure."""
    new = os.path.join(run_folder, "exit-status.new")
    try:
        with open(new, "r+b") as out:
            out.write(f"{code}\n".encode())
            out.truncate()
        os.replace(new, os.path.join(run_folder, "exit-status"))
    except OSError:
        _remove(new)
        raise


def _count_kill(run_folder):
    """Adds one to the run's count of attempts in a row that SIGKILL ended;
    returns the new count."""
    path = os.path.join(run_folder, KILLS)
    try:
        with open(path) as text:
            count = int(text.read().strip() or 0)
    except (OSError, ValueError):
        count = 0
    with open(path, "w") as out:
        out.write(f"{count + 1}\n")
    return count + 1


def _lock_run(run_folder):
    """Takes the run's .lock, waiting out a momentary holder; None when a
    process keeps holding it (a live run)."""
    for attempt in range(LOCK_TRIES):
        held = lock(os.path.join(run_folder, ".lock"))
        if held is not None or attempt == LOCK_TRIES - 1:
            return held
        time.sleep(LOCK_PAUSE)
    return None


class StatusNotRecorded(Exception):
    """The program ended but its exit status could not be written."""


def execute(folder, run, resume=False, parent=None, kind=None):
    """Takes the sweep folder, a manifest unit (dict) and the pid of the parent
    this process must have while its sweep is alive (None: not known), and
    the sweep's kind (None: read from the folder); runs it as described above. Returns 'done', 'skipped' (done before), 'running' (held by
    another process), 'failed' or 'interrupted'. Raises StatusNotRecorded
    when the exit status cannot be written, OSError when the run's files
    cannot be prepared."""
    kind = kind or kind_of(folder)
    run_folder = os.path.join(folder, "runs", run["run"])
    os.makedirs(run_folder, exist_ok=True)
    if read_exit_status(run_folder) == 0:
        return "skipped"
    held = _lock_run(run_folder)
    if held is None:
        return "running"
    try:
        if read_exit_status(run_folder) == 0:
            return "skipped"
        fresh = False
        for attempt in range(3):
            if is_locked(os.path.join(run_folder, kind.lock)):
                return "running"
            argv = shlex.split(run["command"])
            resuming = read_exit_status(run_folder) is None and kind.resumable(
                run_folder, resume, fresh)
            if resuming:
                with open(os.path.join(run_folder, "resumed"), "a") as note:
                    note.write(time.strftime("%Y-%m-%dT%H:%M:%S\n"))
                _reserve_status(run_folder)
                child = _start(kind.resume_argv(argv[0]), run_folder, "ab")
            else:
                for name in kind.run_files:
                    _remove(os.path.join(run_folder, name))
                _reserve_status(run_folder)
                child = _start(argv, run_folder, "wb")
            code, stopped = _wait(child)
            # A SIGKILL that the sweep's own end did not cause (its guard stops
            # this runner then, with SIGTERM) counts towards KILL_LIMIT.
            sweep_alive = parent is None or os.getppid() == parent
            if stopped is None and code == 128 + signal.SIGKILL and sweep_alive:
                kills = _count_kill(run_folder)
                if kills >= KILL_LIMIT:
                    with open(os.path.join(run_folder, "console.log"), "a") as log:
                        log.write(f"\nKilled by SIGKILL in {kills} attempts in a row while the "
                                  "sweep was running (out of memory?); the run is failed.\n")
                    _record_status(run_folder, code)
                    _remove(os.path.join(run_folder, KILLS))
                    return "failed"
            if stopped is not None or code in INTERRUPTED_CODES:
                _remove(os.path.join(run_folder, "exit-status.new"))
                return "interrupted"
            in_use = pattern(kind.in_use)
            if code != 0 and in_use.fullmatch(last_console_line(run_folder)):
                # Another process took the trajectory between our look and the start.
                _remove(os.path.join(run_folder, "exit-status.new"))
                time.sleep(0.2 * (attempt + 1))
                continue
            if kind.restarts_failed_resume and resuming and code != 0:
                # A batch whose files cannot be resumed is run again from its start.
                _remove(os.path.join(run_folder, "exit-status.new"))
                with open(os.path.join(run_folder, "console.log"), "a") as log:
                    log.write("\nThe resume failed; the batch is run again from its start.\n")
                fresh = True
                continue
            try:
                _record_status(run_folder, code)
            except OSError:
                raise StatusNotRecorded() from None
            _remove(os.path.join(run_folder, KILLS))
            return "done" if code == 0 else "failed"
        return "running"
    finally:
        os.close(held)


def execute_listed(folder, names, resume=False, parent=None):
    """Runs the named runs of a sweep one after the other; prints a line on
    standard error for each that failed; returns the exit status to use
    (0 when all are done or held by another process, 1 otherwise).

    parent: the pid of the process that started this one (GNU parallel
    passes its own), known before this process started; None: the parent
    it has now. When that parent ends, this process gets SIGTERM, which
    stops its run; if it has already ended, nothing is run."""
    if parent is None:
        parent = os.getppid()
    die_with_parent(signal.SIGTERM)
    if os.getppid() != parent:
        return 1
    _, runs = read_manifest(folder)
    kind = kind_of(folder)
    by_name = {run["run"]: run for run in runs}
    status = 0
    for name in names:
        run = by_name.get(name)
        if run is None:
            print(f"Run [{name}] is not in [{folder}/manifest.tsv].", file=sys.stderr)
            status = 1
            continue
        try:
            outcome = execute(folder, run, resume, parent, kind)
        except StatusNotRecorded:
            print(f"Could not record the exit status of run [{name}].", file=sys.stderr)
            status = 1
            continue
        except OSError:
            print(f"Could not write the files of run [{name}] in [{folder}/runs].",
                  file=sys.stderr)
            status = 1
            continue
        if outcome in ("failed", "interrupted"):
            line = last_console_line(os.path.join(folder, "runs", name))
            print(f"Run [{name}] {outcome}: {line}" if line else
                  f"Run [{name}] {outcome}, with no output.", file=sys.stderr)
            status = 1
    return status
