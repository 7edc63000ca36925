"""Shared pieces of the sweep tests: designs, the command, direct runs to compare with."""

import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from conftest import BIN, BUILD, VALLEY, command

PROGRAM = BUILD / "twolocus"
SWEEP = BIN / "twolocus-sweep"
HEADER = "name\tfitness\tcolumn\ts\tk\tn\tN\ta12\ta23\ta13\tb12\tb23\tb13\treplicates\ttag_kind"
# Set "cross": the valley is crossed (s = 0, k = 50 %) within a few hundred
# generations, fast. Set "slow": N = 10000 for 20000 generations, about a
# second a run, so that a sweep can be stopped in the middle of one.
CROSS = "cross\tvalley.tsv\t1\t0\t50\t4000\t1000\t1000000\t10000\t1000000\t1000000\t10000\t1000000"
SLOW = "slow\tvalley.tsv\t1\t5\t10\t20000\t10000" + "\t10000" * 6
RUN_FILES = ["trajectory", "trajectory.params", "console.log", "exit-status"]


def write_design(folder, replicates=3, extra_rows=()):
    """Writes folder/design.tsv (two sets of `replicates` runs) and the fitness table."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(VALLEY, folder / "valley.tsv")
    lines = [HEADER, f"{CROSS}\t{replicates}\tfast", f"{SLOW}\t{replicates}\tslow", *extra_rows]
    (folder / "design.tsv").write_text("\n".join(lines) + "\n")
    return folder / "design.tsv"


def sweep(*args, **options):
    return command("twolocus-sweep", *args, stdin=subprocess.DEVNULL, **options)


def run_local(design, folder, *args, **options):
    return sweep("run", design, folder, "--program", PROGRAM, *args, **options)


def manifest(folder):
    lines = (Path(folder) / "manifest.tsv").read_text().splitlines()
    return [dict(zip(lines[0].split("\t"), line.split("\t"))) for line in lines[1:]]


def run_files(folder):
    """{run: {file: bytes}} of every run folder of a sweep."""
    return {run["run"]: {name: path.read_bytes() for name in RUN_FILES
                         if (path := Path(folder) / "runs" / run["run"] / name).exists()}
            for run in manifest(folder)}


def script(path, text):
    """An executable shell script at path."""
    path.write_text("#!/bin/sh\n" + text)
    path.chmod(0o755)
    return path


def wait_until(condition, timeout=120, step=0.05):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(step)


def stamps(folder, runs):
    """(inode, mtime) of the files of the given runs: unchanged when not run again."""
    return {(run, name): (os.stat(p).st_ino, os.stat(p).st_mtime_ns)
            for run in runs for name in RUN_FILES
            if (p := Path(folder) / "runs" / run / name).exists()}


@pytest.fixture(scope="session")
def reference(tmp_path_factory):
    """An uninterrupted local sweep of 2 sets x 3 replicates: (design, folder, files)."""
    base = tmp_path_factory.mktemp("reference")
    design = write_design(base)
    result = run_local(design, base / "sweep", "--jobs", "2")
    assert result.returncode == 0, result.stderr
    assert "6 done, 0 failed, 0 running, 0 pending." in result.stdout
    return design, base / "sweep", run_files(base / "sweep")


@pytest.fixture
def copy(reference, tmp_path):
    """A copy of the reference sweep to change: (design, folder, files)."""
    shutil.copytree(reference[1], tmp_path / "sweep")
    return reference[0], tmp_path / "sweep", reference[2]
