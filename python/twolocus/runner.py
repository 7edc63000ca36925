"""Runs one run of a sweep in its folder: what every engine calls per run.

A run that has exit status 0 recorded is never touched again. Any other run is
run again from scratch (its files removed first), or, with resume=True, an
interrupted run whose trajectory holds a complete record and whose .params
reads is resumed with the program's resume form. The exit status is written
(through a temporary file reserved before the start, so that it can be
written on a full disk) only after the program ended on its own. A run whose
program died of SIGKILL, SIGTERM, SIGINT or SIGHUP (or exited with 128 plus
one of them, as a shell does), or whose runner was stopped by one, records
nothing: it is interrupted, counts as pending, and is run again (or, with
resume=True, resumed). Any other exit status, 0 included, is recorded.
"""

import ctypes
import os
import shlex
import signal
import subprocess
import sys
import time

from .errors import TwolocusError
from .sweepdir import (IN_USE, TRAJECTORY, is_locked, last_console_line, lock,
                       read_exit_status, read_manifest)

RUN_FILES = [TRAJECTORY, TRAJECTORY + ".params", TRAJECTORY + ".params.new",
             "console.log", "exit-status", "exit-status.new", "resumed"]
# Exit statuses of a program stopped from outside (by a kill, a preemption,
# Ctrl-C or a hang-up) rather than failing on its own.
INTERRUPTED_CODES = {128 + number for number in
                     (signal.SIGKILL, signal.SIGTERM, signal.SIGINT, signal.SIGHUP)}
# A momentary shared lock (status, summaries) is waited out for this long.
LOCK_TRIES, LOCK_PAUSE = 20, 0.05


PR_SET_PDEATHSIG = 1


def _die_with_parent(number):
    """Asks Linux to send signal number to this process when its parent ends.
    An engine runs each job in a process group of its own (GNU parallel does),
    so without this a run would outlive a sweep killed with SIGKILL."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, number, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def _resumable(run_folder):
    """Whether an interrupted run has a complete record and a readable .params."""
    from .reader import read_params, read_trajectory  # NumPy: only --continue needs it
    try:
        trajectory = read_trajectory(os.path.join(run_folder, TRAJECTORY))
        read_params(os.path.join(run_folder, TRAJECTORY + ".params"))
    except TwolocusError:
        return False
    return len(trajectory.labels) > 0


def _start(argv, run_folder, mode):
    with open(os.path.join(run_folder, "console.log"), mode) as log:
        return subprocess.Popen(argv, cwd=run_folder, stdin=subprocess.DEVNULL,
                                stdout=log, stderr=subprocess.STDOUT,
                                preexec_fn=lambda: _die_with_parent(signal.SIGKILL))


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


def execute(folder, run, resume=False):
    """Takes the sweep folder and a manifest run (dict); runs it as described
    above. Returns 'done', 'skipped' (done before), 'running' (held by
    another process), 'failed' or 'interrupted'. Raises StatusNotRecorded
    when the exit status cannot be written, OSError when the run's files
    cannot be prepared."""
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
        for attempt in range(3):
            if is_locked(os.path.join(run_folder, TRAJECTORY)):
                return "running"
            argv = shlex.split(run["command"])
            interrupted = read_exit_status(run_folder) is None and os.path.exists(
                os.path.join(run_folder, TRAJECTORY))
            if resume and interrupted and _resumable(run_folder):
                with open(os.path.join(run_folder, "resumed"), "a") as note:
                    note.write(time.strftime("%Y-%m-%dT%H:%M:%S\n"))
                _reserve_status(run_folder)
                child = _start([argv[0], TRAJECTORY], run_folder, "ab")
            else:
                for name in RUN_FILES:
                    _remove(os.path.join(run_folder, name))
                _reserve_status(run_folder)
                child = _start(argv, run_folder, "wb")
            code, stopped = _wait(child)
            if stopped is not None or code in INTERRUPTED_CODES:
                _remove(os.path.join(run_folder, "exit-status.new"))
                return "interrupted"
            if code != 0 and last_console_line(run_folder).endswith(IN_USE):
                # Another process took the trajectory between our look and the start.
                _remove(os.path.join(run_folder, "exit-status.new"))
                time.sleep(0.2 * (attempt + 1))
                continue
            try:
                _record_status(run_folder, code)
            except OSError:
                raise StatusNotRecorded() from None
            return "done" if code == 0 else "failed"
        return "running"
    finally:
        os.close(held)


def execute_listed(folder, names, resume=False):
    """Runs the named runs of a sweep one after the other; prints a line on
    standard error for each that failed; returns the exit status to use
    (0 when all are done or held by another process, 1 otherwise)."""
    parent = os.getppid()
    _die_with_parent(signal.SIGTERM)
    if os.getppid() != parent:
        return 1
    _, runs = read_manifest(folder)
    by_name = {run["run"]: run for run in runs}
    status = 0
    for name in names:
        run = by_name.get(name)
        if run is None:
            print(f"Run [{name}] is not in [{folder}/manifest.tsv].", file=sys.stderr)
            status = 1
            continue
        try:
            outcome = execute(folder, run, resume)
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
