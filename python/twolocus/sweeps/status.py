"""The states of a sweep's units, and the lines that count them."""

import os
import sys

from ..errors import TwolocusError
from . import launchers
from .folder import last_console_line, read_exit_status, read_manifest, run_state
from .kinds import kind_of

STATES = ["done", "failed", "running", "pending"]


def states(folder, runs, queued=None, warn=False):
    """Takes a sweep folder, its manifest units and optionally {unit: Slurm
    state}; returns {unit: state}, a unit whose Slurm task is queued or
    running counting as running. The queue is asked only when some unit is
    not done (a done unit's state never depends on it). When it cannot be
    read: with warn, one line on standard error and every unit not done is
    'unknown'; otherwise TwolocusError."""
    result = {run["run"]: run_state(os.path.join(folder, "runs", run["run"])) for run in runs}
    if queued is None and any(state != "done" for state in result.values()):
        try:
            queued = launchers.queued_runs(folder)
        except TwolocusError as error:
            if not warn:
                raise
            print(f"{error} Runs not done are shown as unknown.", file=sys.stderr)
            return {name: state if state == "done" else "unknown"
                    for name, state in result.items()}
    for name, state in result.items():
        if state != "done" and name in (queued or {}):
            result[name] = "running"
    return result


def count_line(kind, folder, found, runs):
    """The line of counts by state of a sweep's units; of batches, with the
    replicates done."""
    counts = {state: 0 for state in STATES + ["unknown"]}
    for state in found.values():
        counts[state] += 1
    shown = STATES + (["unknown"] if counts["unknown"] else [])
    line = (f"{len(found)} {kind.unit} in [{folder}]: "
            + ", ".join(f"{counts[state]} {state}" for state in shown))
    if kind.counts_replicates:
        done = sum(int(run["batch_replicates"]) for run in runs if found[run["run"]] == "done")
        total = sum(int(run["batch_replicates"]) for run in runs)
        line += f"; {done} of {total} replicates done"
    return line + "."


def status(folder, out=sys.stdout):
    """Prints the counts of done, failed, running and pending units (and
    unknown, when the Slurm queue cannot be read), then one line per failed
    unit with its exit status and last console line, and the Slurm jobs still
    queued with their tasks' states. Returns 0."""
    folder_abs = os.path.abspath(folder)
    _, runs = read_manifest(folder_abs)
    found = states(folder_abs, runs, warn=True)
    print(count_line(kind_of(folder_abs), folder, found, runs), file=out)
    for run in runs:
        name = run["run"]
        run_folder = os.path.join(folder_abs, "runs", name)
        if found[name] == "failed":
            print(f"failed\t{name}\texit status {read_exit_status(run_folder)}\t"
                  f"{last_console_line(run_folder)}", file=out)
    if all(state == "done" for state in found.values()) or "unknown" in found.values():
        return 0
    for job in launchers.live_jobs(folder_abs):
        tasks = launchers.queued_tasks(job)
        summary = {}
        for state in tasks.values():
            summary[state] = summary.get(state, 0) + 1
        print(f"Slurm job {job}: " + ", ".join(f"{n} {s.lower()}" for s, n in sorted(summary.items()))
              + " tasks.", file=out)
    return 0
