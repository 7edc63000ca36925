"""The compiled module twolocus._core, which the package needs: the engines
of twolocus-sim and the rules the tools share with the programs (the
parameters, the statistics, the conditions, the parameter files).

Without it, importing the package's tools raises MissingCore, an
ImportError whose message is one line saying how to build or install it;
the commands print that line and exit with status 1.
"""


class MissingCore(ImportError):
    """The compiled module twolocus._core cannot be imported."""


try:
    from . import _core as core
except ImportError as error:
    raise MissingCore(
        "The compiled module twolocus._core is missing or cannot be loaded "
        f"({error}): build it (cmake -S . -B build && cmake --build build; the package finds "
        "build/, or the folder $TWOLOCUS_BUILD names) or install twolocus "
        "(cmake --install build, or the Debian package).") from None
