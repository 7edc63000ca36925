"""Reading, summarising and plotting the files that twolocus writes, and the
engines themselves: Model, simulate and replicate (twolocus.simulation)."""

import os as _os

_HERE = _os.path.dirname(_os.path.abspath(__file__))
# Installed, the compiled module twolocus._core is beside this file; in the
# repository it is in the build folder's python/twolocus ($TWOLOCUS_BUILD,
# by default build/ at the top of the repository).
if not any(name.startswith("_core.") for name in _os.listdir(_HERE)):
    _build = _os.environ.get("TWOLOCUS_BUILD") or _os.path.join(_HERE, _os.pardir, _os.pardir,
                                                                 "build")
    __path__.append(_os.path.join(_os.path.abspath(_build), "python", "twolocus"))


def _release():
    """The release, from the file VERSION: installed, beside this file; in the
    repository, at its top."""
    for path in (_os.path.join(_HERE, "VERSION"),
                 _os.path.join(_HERE, _os.pardir, _os.pardir, "VERSION")):
        if _os.path.isfile(path):
            with open(path, encoding="utf-8") as release:
                return release.readline().strip()
    return "unknown"


__version__ = _release()

_API = ("Model", "Run", "simulate", "replicate", "statistics", "SUMMARY_COLUMNS")


def __getattr__(name):
    """twolocus.Model, twolocus.simulate... come from twolocus.simulation, which
    is imported (with the compiled module) on first use only, so that the
    commands start as fast as before."""
    if name in _API:
        from . import simulation
        return getattr(simulation, name)
    raise AttributeError(f"module 'twolocus' has no attribute '{name}'")


def __dir__():
    return sorted(list(globals()) + list(_API))
