"""The launchers that distribute a sweep's units: GNU parallel and Slurm.

Both call back into this package for each unit (runner.execute), so a unit
is done the same way whoever starts it. Nothing here schedules anything itself.
"""

import math
import os
import shlex
import shutil
import signal
import subprocess
import sys
import time

from ..errors import TwolocusError
from .folder import read_tsv
from .guard import die_with_parent
from .runner import execute_listed

# The folder that holds the package twolocus.
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def self_command(*arguments):
    """The shell command that runs twolocus-sweep with these arguments, with
    this interpreter and this copy of the package (which must be at the same
    path on every machine: the shared file system)."""
    return (f"env PYTHONPATH={shlex.quote(PACKAGE_PARENT)} {shlex.quote(sys.executable)} "
            f"-m twolocus.sweep " + " ".join(shlex.quote(a) for a in arguments))


def _need(program):
    if shutil.which(program) is None:
        raise TwolocusError(f"Could not find [{program}]; install it first.")


def run_parallel(folder, names, jobs=None, sshlogins=(), ssh=None, resume=False, bar=None):
    """Runs the named runs with GNU parallel: on this machine, or on the
    machines of sshlogins (parallel's --sshlogin, a shared file system
    assumed). Its job log is appended to folder/parallel.log. Returns
    parallel's exit status."""
    _need("parallel")
    todo = os.path.join(folder, "todo.txt")
    with open(todo, "w") as out:
        out.write("".join(name + "\n" for name in names))
    argv = ["parallel", "--joblog", "+" + os.path.join(folder, "parallel.log"),
            "--halt", "never", "--arg-file", todo]
    if jobs is not None:
        argv += ["--jobs", str(jobs)]
    if bar is None:
        bar = sys.stderr.isatty()
    if bar:
        argv += ["--bar"]
    if ssh:
        argv += ["--ssh", ssh]
    for login in sshlogins:
        argv += ["--sshlogin", login]
    # Paths reach the command through the environment (passed on to other
    # machines with --env), never in its text, where parallel would read {}
    # or {.} in a folder's name as replacement strings.
    paths = {"TWOLOCUS_SWEEP_PACKAGE": PACKAGE_PARENT, "TWOLOCUS_SWEEP_PYTHON": sys.executable,
             "TWOLOCUS_SWEEP_DIR": folder}
    for name in paths:
        argv += ["--env", name]
    # On this machine each run's runner watches parallel (PARALLEL_PID, its
    # parent, known before it starts) and stops its run when parallel ends;
    # on other machines it watches the process that ssh started it under.
    flags = " --continue" if resume else ""
    if not sshlogins:
        flags += ' --parent "$PARALLEL_PID"'
    argv.append('env PYTHONPATH="$TWOLOCUS_SWEEP_PACKAGE" "$TWOLOCUS_SWEEP_PYTHON" '
                f'-m twolocus.sweep exec{flags} "$TWOLOCUS_SWEEP_DIR" {{}}')
    sweep = os.getpid()

    def die_with_sweep():
        # parallel gets SIGKILL when this process ends, however it ends; if
        # it has already ended, parallel never starts.
        die_with_parent(signal.SIGKILL)
        if os.getppid() != sweep:
            os._exit(1)

    return subprocess.run(argv, stdin=subprocess.DEVNULL, env=dict(os.environ, **paths),
                          preexec_fn=die_with_sweep).returncode


# Slurm ---------------------------------------------------------------------

def slurm_folder(folder):
    return os.path.join(folder, "slurm")


def max_array_size():
    """The cluster's MaxArraySize (from scontrol show config), 1001 if unknown."""
    try:
        text = subprocess.run(["scontrol", "show", "config"], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=60).stdout
    except (OSError, subprocess.SubprocessError):
        return 1001
    for line in text.splitlines():
        key, _, value = line.partition("=")
        if key.strip() == "MaxArraySize":
            try:
                return int(value.strip())
            except ValueError:
                break
    return 1001


def submit_slurm(folder, names, options):
    """Submits the named runs as one Slurm job array and returns its job id.
    options: throttle, partition, time, mem, runs_per_task, sbatch_args,
    resume. Runs are grouped into tasks so that the array fits the
    cluster's MaxArraySize; the task list is folder/slurm/batch-K.txt."""
    _need("sbatch")
    slurm = slurm_folder(folder)
    os.makedirs(os.path.join(slurm, "logs"), exist_ok=True)
    per_task = options.get("runs_per_task") or max(1, math.ceil(len(names) / max_array_size()))
    tasks = [names[i:i + per_task] for i in range(0, len(names), per_task)]
    batch = 1
    while os.path.exists(os.path.join(slurm, f"batch-{batch}.txt")):
        batch += 1
    batch_file = os.path.join(slurm, f"batch-{batch}.txt")
    with open(batch_file, "w") as out:
        out.write("".join(" ".join(task) + "\n" for task in tasks))
    script = os.path.join(slurm, f"batch-{batch}.sh")
    flags = ["--continue"] if options.get("resume") else []
    with open(script, "w") as out:
        out.write("#!/bin/sh\n"
                  "# One task of a twolocus sweep: the runs on line SLURM_ARRAY_TASK_ID + 1 of\n"
                  f"# {os.path.basename(batch_file)}. A requeued task runs again; done runs are skipped.\n"
                  'echo "task ${SLURM_ARRAY_TASK_ID} on $(hostname) at $(date +%FT%T),'
                  ' restart ${SLURM_RESTART_COUNT:-0}"\n'
                  f"exec {self_command('task', *flags, folder, batch_file)}"
                  ' "$SLURM_ARRAY_TASK_ID"\n')
    array = f"0-{len(tasks) - 1}"
    if options.get("throttle"):
        array += f"%{options['throttle']}"
    argv = ["sbatch", "--parsable", f"--array={array}", "--requeue", "--open-mode=append",
            f"--job-name=twolocus-sweep:{os.path.basename(os.path.abspath(folder))}",
            # sbatch reads % in --output as a pattern: the folder's own are doubled.
            f"--output={os.path.join(slurm, 'logs').replace('%', '%%')}/%A_%a.out",
            f"--chdir={folder}"]
    for key in ("partition", "time", "mem"):
        if options.get(key):
            argv.append(f"--{key}={options[key]}")
    argv += list(options.get("sbatch_args") or [])
    argv.append(script)
    result = subprocess.run(argv, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        lines = (result.stderr.strip() or result.stdout.strip()).splitlines() or [""]
        raise TwolocusError(f"sbatch failed: {lines[-1]}")
    job = result.stdout.strip().split(";")[0]
    with open(os.path.join(slurm, "jobs.tsv"), "a") as out:
        if out.tell() == 0:
            out.write("job\tbatch\n")
        out.write(f"{job}\t{os.path.basename(batch_file)}\n")
    return job


def run_task(folder, batch_file, index, resume=False):
    """Runs the runs of one array task (line index + 1 of batch_file)."""
    with open(batch_file) as text:
        lines = text.read().splitlines()
    return execute_listed(folder, lines[int(index)].split(), resume)


def recorded_jobs(folder):
    """The Slurm jobs submitted for folder: a list of (job id, batch file)."""
    path = os.path.join(slurm_folder(folder), "jobs.tsv")
    if not os.path.exists(path):
        return []
    _, rows = read_tsv(path)
    return [(row["job"], os.path.join(slurm_folder(folder), row["batch"])) for row in rows]


def queued_tasks(job):
    """Takes a job id; returns {array task index: state} of its tasks still in
    the queue (empty when Slurm no longer knows the job). Raises
    TwolocusError when squeue cannot be asked or fails otherwise: a queue
    that cannot be read must not pass for an empty one."""
    try:
        result = subprocess.run(["squeue", "-h", "-r", "-j", job, "-o", "%i|%T"],
                                capture_output=True, text=True, stdin=subprocess.DEVNULL,
                                timeout=60)
    except (OSError, subprocess.SubprocessError):
        raise TwolocusError(f"Could not run squeue to look for Slurm job [{job}].") from None
    if result.returncode != 0:
        if "invalid job id" in result.stderr.lower():
            return {}
        lines = (result.stderr.strip() or result.stdout.strip()).splitlines() or [""]
        raise TwolocusError(f"Could not read the Slurm queue for job [{job}]: "
                            f"[{lines[-1].strip()}].")
    tasks = {}
    for line in result.stdout.splitlines():
        ident, _, state = line.partition("|")
        _, _, index = ident.partition("_")
        if index.isdigit():
            tasks[int(index)] = state
    return tasks


def queued_runs(folder):
    """The runs of folder whose Slurm task is queued or running: {run: state}."""
    if shutil.which("squeue") is None:
        return {}
    runs = {}
    for job, batch_file in recorded_jobs(folder):
        tasks = queued_tasks(job)
        if not tasks:
            continue
        with open(batch_file) as text:
            lines = text.read().splitlines()
        for index, state in tasks.items():
            if index < len(lines):
                for name in lines[index].split():
                    runs[name] = state
    return runs


def live_jobs(folder):
    """The job ids of folder's Slurm jobs that still have tasks in the queue."""
    if shutil.which("squeue") is None:
        return []
    return [job for job, _ in recorded_jobs(folder) if queued_tasks(job)]


def wait_for(job, poll=2.0, report=None, failures_allowed=10):
    """Polls squeue until the job has left the queue; calls report() after each
    poll. A failing squeue is asked again, up to failures_allowed times in a
    row, then its error is raised."""
    failures = 0
    while True:
        try:
            if not queued_tasks(job):
                return
            if report:
                report()
            failures = 0
        except TwolocusError:
            failures += 1
            if failures > failures_allowed:
                raise
        time.sleep(poll)
