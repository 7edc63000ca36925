"""Runs one run of a sweep in its folder: what every engine calls per run.

A run that has exit status 0 recorded is never touched again. Any other run is
run again from scratch (its files removed first), or, with resume=True, an
interrupted run whose trajectory holds a complete record and whose .params
reads is resumed with the program's resume form. The exit status is written
(through a temporary file) only after the program ended on its own; a run
whose process is stopped by a signal records nothing and stays pending.
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
             "console.log", "exit-status", "resumed"]


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


def execute(folder, run, resume=False):
    """Takes the sweep folder and a manifest run (dict); runs it as described
    above. Returns 'done', 'skipped' (done before), 'running' (held by
    another process), 'failed' or 'interrupted'."""
    run_folder = os.path.join(folder, "runs", run["run"])
    os.makedirs(run_folder, exist_ok=True)
    if read_exit_status(run_folder) == 0:
        return "skipped"
    held = lock(os.path.join(run_folder, ".lock"))
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
                child = _start([argv[0], TRAJECTORY], run_folder, "ab")
            else:
                for name in RUN_FILES:
                    try:
                        os.remove(os.path.join(run_folder, name))
                    except FileNotFoundError:
                        pass
                child = _start(argv, run_folder, "wb")
            code, stopped = _wait(child)
            if stopped is not None:
                return "interrupted"
            if code != 0 and last_console_line(run_folder).endswith(IN_USE):
                # Another process took the trajectory between our look and the start.
                time.sleep(0.2 * (attempt + 1))
                continue
            with open(os.path.join(run_folder, "exit-status.new"), "w") as out:
                out.write(f"{code}\n")
            os.replace(os.path.join(run_folder, "exit-status.new"),
                       os.path.join(run_folder, "exit-status"))
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
        outcome = execute(folder, run, resume)
        if outcome in ("failed", "interrupted"):
            line = last_console_line(os.path.join(folder, "runs", name))
            print(f"Run [{name}] {outcome}: {line}", file=sys.stderr)
            status = 1
    return status
