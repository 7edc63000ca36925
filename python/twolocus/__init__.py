"""twolocus in Python: the engines of twolocus-sim (Model, simulate,
replicate), the files runs write, their statistics, conditions and
crossing times, their pictures, and sweeps of many runs.

The package is in subpackages by concern: engines (the engines' API),
runfiles (reading run files), analysis (statistics, conditions, survival),
pictures (Matplotlib), sweep (designs, plans, launchers, the sweep folder)
and commands (twolocus-stats, twolocus-plot, twolocus-sweep). The names
below are the public API, each imported on first use (so that a command
loads only what it needs).
"""

import os as _os

from .release import RELEASE as __version__

_HERE = _os.path.dirname(_os.path.abspath(__file__))
# Installed, the compiled module twolocus._core is beside this file; in the
# repository it is in the build folder's python/twolocus ($TWOLOCUS_BUILD,
# by default build/ at the top of the repository).
if not any(name.startswith("_core.") for name in _os.listdir(_HERE)):
    _build = _os.environ.get("TWOLOCUS_BUILD") or _os.path.join(_HERE, _os.pardir, _os.pardir,
                                                                 "build")
    __path__.append(_os.path.join(_os.path.abspath(_build), "python", "twolocus"))

# Each public name and the module that defines it.
_API = {
    "engines.model": ["Model"],
    "engines.calls": ["simulate", "replicate"],
    "engines.demography": ["resolve_demography"],
    "run": ["Run", "SUMMARY_COLUMNS"],
    "analysis.statistics": ["statistics", "population_stats", "trajectory_rows",
                            "STAT_COLUMNS"],
    "analysis.conditions": ["parse_condition", "Condition", "ConditionError"],
    "analysis.survival": ["kaplan_meier", "cumulative_incidence", "curve", "median",
                          "restricted_mean", "summary_row", "table_rows", "step_curve",
                          "counts", "z_value"],
    "runfiles.trajectory": ["read_trajectory"],
    "runfiles.params": ["read_params"],
    "runfiles.runs": ["load_run"],
    "runfiles.summary": ["read_summary_table"],
    "pictures.runs": ["plot_runs"],
    "sweeps.summary": ["read_sim_sweep", "row_table"],
    "errors": ["TwolocusError"],
}
_MODULE_OF = {name: module for module, names in _API.items() for name in names}


def __getattr__(name):
    """twolocus.Model, twolocus.simulate...: imported from their module on first use."""
    module = _MODULE_OF.get(name)
    if module is None:
        raise AttributeError(f"module 'twolocus' has no attribute '{name}'")
    import importlib
    return getattr(importlib.import_module(f"{__name__}.{module}"), name)


def __dir__():
    return sorted(list(globals()) + list(_MODULE_OF))
