"""twolocus-sweep: many runs of the simulator from a design file.

    twolocus-sweep grid [--sim] COLUMN=V1,V2,... ... -o DESIGN
    twolocus-sweep run [--sim [--batch-size B]] DESIGN DIR [launcher options]
    twolocus-sweep status DIR

With --sim the design is for twolocus-sim and each row's replicates run as
batches (the kind of sweep: sweep/kinds.py).

exec and task are what the launchers call for each unit and each Slurm array task.
"""

import argparse
import os
import re
import shutil
import sys

from ..errors import TwolocusError
from ..files import refuse_overwriting
from ..sweeps import launchers
from ..sweeps.design import DesignErrors, find_program, grid, read_design
from ..sweeps.folder import last_console_line, lock, write_folder
from ..sweeps.kinds import CLASSIC, SIM, kind_of
from ..sweeps.plan import plan
from ..sweeps.runner import execute_listed
from ..sweeps.seeds import DEFAULT_SWEEP_SEED
from ..sweeps.status import count_line, states, status
from .base import Parser, version_option

DEFAULT_BATCH_SIZE = 1000
# What a sweep folder of each kind is, said to a run with the other kind's design.
WRONG_FOLDER = {"twolocus-sim": "a sweep of twolocus-sim; give --sim.",
                "classic": "a sweep of the classic programs; run it without --sim."}


def _positive(text):
    """argparse type: a whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"[{text}] is not a whole number of at least 1")
    return value


def _jobs(text):
    """argparse type for --jobs: what GNU parallel reads as a number of jobs."""
    if not re.fullmatch(r"[+-]?[0-9]+%?", text):
        raise argparse.ArgumentTypeError(
            f"[{text}] is not a number of runs at once: N, +N, -N or N%")
    return text


def default_program(name):
    """The program beside this command, else on PATH, else in the repository's build folder."""
    here = os.path.dirname(os.path.realpath(sys.argv[0] or "."))
    candidates = [os.path.join(here, name), shutil.which(name) or "",
                  os.path.join(launchers.PACKAGE_PARENT, os.pardir, "build", name)]
    for candidate in candidates:
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return os.path.abspath(candidate)
    return None


def run(args):
    """twolocus-sweep run: check the design, prepare DIR, run what is not done."""
    # The sweep rewrites these; design.tsv is rewritten with the same bytes.
    for name in ("manifest.tsv", "sweep.tsv", "todo.txt", "lock"):
        refuse_overwriting(os.path.join(args.dir, name), [args.design])
    kind = SIM if args.sim else CLASSIC
    if os.path.isfile(os.path.join(args.dir, "manifest.tsv")):
        found = kind_of(args.dir)
        if found is not kind:
            raise TwolocusError(f"Sweep folder [{args.dir}] is {WRONG_FOLDER[found.name]}")
    if args.batch_size is not None and not args.sim:
        raise TwolocusError("Option --batch-size needs --sim.")
    try:
        design = read_design(kind, args.design)
    except DesignErrors as problems:
        for message in problems.messages:
            print(message, file=sys.stderr)
        return 1
    program = default_program(kind.program)
    if args.program:
        program = find_program(args.program, os.getcwd())
        if program is None:
            raise TwolocusError(f"Could not find the program [{args.program}].")
    folder = os.path.abspath(args.dir)
    try:
        os.makedirs(folder, exist_ok=True)
        held = lock(os.path.join(folder, "lock"))
    except OSError:
        raise TwolocusError(f"Could not create the sweep folder [{args.dir}].") from None
    if held is None:
        raise TwolocusError(f"Sweep folder [{args.dir}] is in use by another twolocus-sweep.")
    try:
        live = launchers.live_jobs(folder)
        if live:
            raise TwolocusError(f"Sweep folder [{args.dir}] has Slurm job [{live[0]}] in the "
                                "queue; wait for it to end or cancel it.")
        columns, runs, copies = plan(kind, design, folder, args.seed, program,
                                     args.batch_size or DEFAULT_BATCH_SIZE)
        try:
            write_folder(kind, design, folder, args.seed, columns, runs, copies)
        except OSError:
            raise TwolocusError(f"Could not write the sweep folder [{args.dir}].") from None
        found = states(folder, runs, queued={})
        todo = [run["run"] for run in runs if found[run["run"]] in ("failed", "pending")]
        busy = [name for name, state in found.items() if state == "running"]
        if busy:
            print(f"{len(busy)} runs are held by another process and left alone, "
                  f"for example [{busy[0]}].", file=sys.stderr)
        if todo and args.slurm:
            options = {key: getattr(args, key) for key in
                       ("throttle", "partition", "time", "mem", "runs_per_task", "sbatch_args")}
            options["resume"] = args.resume
            try:
                job = launchers.submit_slurm(folder, todo, options)
            except OSError:
                raise TwolocusError(f"Could not write the sweep folder [{args.dir}].") from None
            print(f"Submitted Slurm job {job} for {len(todo)} {kind.unit} of [{args.dir}].")
            os.close(held)
            held = None
            if not args.wait:
                return 0
            shown = []

            def report():
                line = count_line(kind, args.dir, states(folder, runs), runs)
                if not shown or shown[-1] != line:
                    print(line, file=sys.stderr)
                    shown.append(line)

            launchers.wait_for(job, poll=args.poll, report=report)
        elif todo:
            try:
                launchers.run_parallel(folder, todo, jobs=args.jobs, sshlogins=args.sshlogin or (),
                                     ssh=args.ssh, resume=args.resume)
            except OSError:
                raise TwolocusError(f"Could not write the sweep folder [{args.dir}].") from None
        found = states(folder, runs)
        print(count_line(kind, args.dir, found, runs))
        for name, state in found.items():
            if state == "failed":
                print(f"failed\t{name}\t{last_console_line(os.path.join(folder, 'runs', name))}")
        return 0 if all(state == "done" for state in found.values()) else 1
    finally:
        if held is not None:
            os.close(held)


def parser():
    top = Parser(prog="twolocus-sweep",
                 description="Run many twolocus simulations from a design file.")
    version_option(top)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    make = commands.add_parser("grid", help="write a design as the product of value lists")
    make.add_argument("--sim", action="store_true",
                      help="a design for twolocus-sim (its options as columns)")
    make.add_argument("assignments", nargs="+", metavar="COLUMN=V1,V2,...")
    make.add_argument("-o", "--output", required=True, metavar="DESIGN")

    go = commands.add_parser("run", help="run (or go on with) a sweep")
    go.add_argument("design")
    go.add_argument("dir")
    go.add_argument("--seed", type=int, default=DEFAULT_SWEEP_SEED,
                    help=f"the sweep seed (default {DEFAULT_SWEEP_SEED})")
    go.add_argument("--program", help="the simulator (default: twolocus, or twolocus-sim)")
    go.add_argument("--sim", action="store_true",
                    help="the design is for twolocus-sim; each row's replicates run in batches")
    go.add_argument("--batch-size", type=_positive, metavar="B",
                    help=f"with --sim, replicates per batch (default {DEFAULT_BATCH_SIZE})")
    go.add_argument("--continue", dest="resume", action="store_true",
                    help="resume interrupted runs from their last record instead of rerunning them")
    local = go.add_argument_group("GNU parallel (the default engine)")
    local.add_argument("--jobs", "-j", type=_jobs,
                       help="runs at once per machine: N, +N or -N (cores plus or minus N), "
                            "or N%% of the cores (default: one per core)")
    local.add_argument("--sshlogin", "-S", action="append", metavar="LOGIN",
                       help="run on these machines (parallel's --sshlogin; shared file system)")
    local.add_argument("--ssh", metavar="COMMAND", help="the ssh command to use (default ssh)")
    slurm = go.add_argument_group("Slurm")
    slurm.add_argument("--slurm", action="store_true", help="submit one Slurm job array")
    slurm.add_argument("--throttle", type=_positive, metavar="K",
                       help="at most K array tasks at once")
    slurm.add_argument("--partition")
    slurm.add_argument("--time", help="time limit of each array task")
    slurm.add_argument("--mem", help="memory of each array task")
    slurm.add_argument("--runs-per-task", type=_positive, metavar="R",
                       help="runs per array task (default: 1, more when the array would be too big)")
    slurm.add_argument("--sbatch-arg", dest="sbatch_args", action="append", metavar="ARG",
                       help="pass ARG on to sbatch (repeatable)")
    slurm.add_argument("--wait", action="store_true", help="wait for the job array to end")
    slurm.add_argument("--poll", type=float, default=5.0, help=argparse.SUPPRESS)

    show = commands.add_parser("status", help="count done, failed, running and pending runs")
    show.add_argument("dir")

    one = commands.add_parser("exec", help=argparse.SUPPRESS)
    one.add_argument("--continue", dest="resume", action="store_true")
    one.add_argument("--parent", type=int, help="the pid of the process that starts it")
    one.add_argument("dir")
    one.add_argument("runs", nargs="+")

    task = commands.add_parser("task", help=argparse.SUPPRESS)
    task.add_argument("--continue", dest="resume", action="store_true")
    task.add_argument("dir")
    task.add_argument("batch")
    task.add_argument("index")
    return top


def main(argv=None):
    """Entry point of twolocus-sweep; returns the exit status."""
    # File names that are not UTF-8 are written back as the bytes they were.
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:  # None when the descriptor was closed
            stream.reconfigure(errors="surrogateescape")
    try:
        args = parser().parse_args(argv)
        if args.command == "grid":
            count = grid(SIM if args.sim else CLASSIC, args.assignments, args.output)
            print(f"Wrote {count} parameter sets to [{args.output}].")
            return 0
        if args.command == "run":
            return run(args)
        if args.command == "status":
            return status(args.dir)
        if args.command == "exec":
            return execute_listed(os.path.abspath(args.dir), args.runs, args.resume, args.parent)
        return launchers.run_task(os.path.abspath(args.dir), args.batch, args.index, args.resume)
    except DesignErrors as problems:
        for message in problems.messages:
            print(message, file=sys.stderr)
        return 1
    except TwolocusError as error:
        print(str(error), file=sys.stderr)
        return 1

