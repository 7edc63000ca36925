"""Guards on the files the tools read and write.

open_regular refuses an input that is not a regular file (a FIFO would make
a reader wait forever), and irregular_kind names what such a path is;
refuse_overwriting refuses, before anything is written, an output that is
one of the command's inputs, also through a symbolic link or a second
(hard) link, as twolocus refuses its fitness table; refuse_repeats refuses
one input given twice, by the same means.
"""

import os
import stat

from .errors import TwolocusError

# The files of a sweep folder that its commands write or read: these at its
# top, and everything under these folders.
SWEEP_FILES = ("design.tsv", "manifest.tsv", "sweep.tsv", "todo.txt", "lock")
SWEEP_TREES = ("fitness", "runs", "slurm")


def open_regular(path, what):
    """Takes a path and what it is ("trajectory file", ...); returns it open
    for reading in binary. Raises TwolocusError when it cannot be opened or is
    not a regular file (it is opened without waiting, so a FIFO never blocks)."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        raise TwolocusError(f"Could not open {what} [{path}] to read.") from None
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        os.close(descriptor)
        raise TwolocusError(f"{what[0].upper()}{what[1:]} [{path}] is not a regular file.")
    os.set_blocking(descriptor, True)
    return os.fdopen(descriptor, "rb")


_KINDS = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISSOCK, "a socket"))


def irregular_kind(path):
    """Takes a path; returns what it names when that is not a regular file
    ("a folder", "a FIFO", ...), or None for a regular file or a missing
    one. Nothing is opened, so a FIFO never blocks."""
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):
        return None
    if stat.S_ISREG(mode):
        return None
    return next((kind for test, kind in _KINDS if test(mode)), "not a regular file")


def refuse_repeats(paths, what):
    """Takes paths and what they are ("summary table"); raises TwolocusError
    when two name the same file (the same device and inode: also through
    another path, a symbolic or a second hard link)."""
    seen = {}
    for path in paths:
        identity = _identity(path)
        if identity is None:
            continue
        if identity in seen:
            raise TwolocusError(f"{what[0].upper()}{what[1:]}s [{seen[identity]}] and [{path}] "
                                "are the same file; give it once.")
        seen[identity] = path


def _identity(path):
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return status.st_dev, status.st_ino


def _sweep_identities(folder):
    """The (device, inode) of every file a sweep folder holds."""
    found = {_identity(os.path.join(folder, name)) for name in SWEEP_FILES}
    for tree in SWEEP_TREES:
        for parent, _, names in os.walk(os.path.join(folder, tree)):
            found.update(_identity(os.path.join(parent, name)) for name in names)
    found.discard(None)
    return found


def refuse_overwriting(output, inputs=(), sweep_folder=None):
    """Takes the output path, the input paths and the sweep folder read (or
    None). Raises TwolocusError when the output already exists and is one of
    the inputs or a file of the sweep folder."""
    target = _identity(output)
    if target is None:
        return
    for path in inputs:
        if _identity(path) == target:
            raise TwolocusError(f"Output file [{output}] is the input file [{path}].")
    if sweep_folder is None:
        return
    inside = os.path.realpath(output).startswith(os.path.realpath(sweep_folder) + os.sep)
    # A file outside the folder with one link cannot be one of its files.
    if (inside or os.stat(output).st_nlink > 1) and target in _sweep_identities(sweep_folder):
        raise TwolocusError(f"Output file [{output}] is a file of the sweep folder "
                            f"[{sweep_folder}].")
