"""Shared helpers: the built twolocus program and runs of it on temporary files.

TWOLOCUS_BUILD names the build folder that holds the program (scripts/test.sh
sets it); it defaults to build/ at the top of the repository.
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TWOLOCUS_BUILD", REPOSITORY / "build")).resolve()
# The commands, run in other folders, find the compiled module in this build.
os.environ["TWOLOCUS_BUILD"] = str(BUILD)
BIN = REPOSITORY / "python" / "bin"
VALLEY = REPOSITORY / "examples" / "valley.tsv"
sys.path.insert(0, str(REPOSITORY / "python"))


def fresh(path, n, size=50, rates=["10000000"] * 6, seed=7):
    """A fresh run of n generations into path: the valley table's neutral column
    (s = 2, k = 5, column 10), every rate 10^-3 by default, so counts change."""
    resume(VALLEY, 2, 5, 10, n, size, *rates, path, seed)
    return path


def resume(*args):
    """Runs the built program (a resume given path [and n]); status 0 required."""
    if not (BUILD / "twolocus").exists():
        pytest.fail(f"{BUILD / 'twolocus'} is missing: build it, or set TWOLOCUS_BUILD")
    done = subprocess.run([str(BUILD / "twolocus"), *map(str, args)], capture_output=True,
                          text=True)
    assert done.returncode == 0, done.stdout


def command(name, *args, **options):
    """Runs python/bin/<name>; returns its CompletedProcess."""
    return subprocess.run([str(BIN / name), *map(str, args)], capture_output=True, text=True,
                          **options)


def records(path):
    """The file's lines after the header, split into int fields (incomplete ones too)."""
    text = Path(path).read_text()
    lines = text.split("\n")[1:len(text.split("\n")) - text.endswith("\n")]
    return [[int(f) for f in line.split("\t")] if line else [] for line in lines]
