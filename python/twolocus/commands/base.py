"""The commands' parser: a bad command line is one TwolocusError line."""

import argparse

from ..errors import TwolocusError
from ..release import RELEASE


class Parser(argparse.ArgumentParser):
    """argparse that reports a bad command line as one TwolocusError line."""

    def error(self, message):
        raise TwolocusError(f"{message[0].upper()}{message[1:]}. See [{self.prog} --help].")


def version_option(parser):
    """Adds --version, which prints the program's name and the release."""
    parser.add_argument("--version", action="version", version=f"%(prog)s version {RELEASE}")
