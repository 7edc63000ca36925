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
BIN = REPOSITORY / "python" / "bin"
VALLEY = REPOSITORY / "examples" / "valley.tsv"
sys.path.insert(0, str(REPOSITORY / "python"))

# Neutral column of the valley table, N = 50, every rate 10^-3: the counts
# change from record to record.
NEUTRAL = ["2", "5", "10"]
BUSY_RATES = ["10000000"] * 6


def twolocus(*args, cwd=None):
    """Runs the built program; returns its CompletedProcess (status 0 required)."""
    program = BUILD / "twolocus"
    if not program.exists():
        pytest.fail(f"{program} is missing: build it, or set TWOLOCUS_BUILD")
    done = subprocess.run([str(program), *map(str, args)], cwd=cwd, capture_output=True,
                          text=True)
    assert done.returncode == 0, done.stdout
    return done


def fresh(path, n, size=50, rates=BUSY_RATES, seed=7):
    """A fresh run of n generations into path (the neutral column by default)."""
    twolocus(VALLEY, *NEUTRAL, n, size, *rates, path, seed)
    return path


def resume(path, new_n=None):
    return twolocus(path, *([] if new_n is None else [new_n]))


def command(name, *args, cwd=None):
    """Runs python/bin/<name>; returns its CompletedProcess."""
    return subprocess.run([str(BIN / name), *map(str, args)], cwd=cwd, capture_output=True,
                          text=True)


def records(path):
    """The file's lines after the header, split into int fields (incomplete ones too)."""
    text = Path(path).read_text()
    lines = text.split("\n")[1:len(text.split("\n")) - text.endswith("\n")]
    return [[int(f) for f in line.split("\t")] if line else [] for line in lines]
