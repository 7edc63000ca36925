"""The map of the Python package on docs/dev/design.md:
    /usr/bin/python3 docs/dev/package.py [docs/dev/package.png]"""
import sys
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
from matplotlib.patches import FancyBboxPatch

fig, ax = plt.subplots(figsize=(10, 9.6), dpi=100)
ax.set_xlim(0, 100); ax.set_ylim(0, 96); ax.axis("off")

def box(x, y, w, h, title, lines, color):
    ax.add_patch(FancyBboxPatch((x, y), w, h, boxstyle="round,pad=0.4,rounding_size=1.2",
                                fc=color, ec="#333333", lw=1.2))
    ax.text(x + 1.2, y + h - 1.4, title, fontsize=10.5, fontweight="bold", va="top")
    for i, line in enumerate(lines):
        ax.text(x + 1.2, y + h - 4.4 - 2.45 * i, line, fontsize=8.2, va="top", family="DejaVu Sans")

def arrow(x1, y1, x2, y2, dashed=False):
    ax.annotate("", xy=(x2, y2), xytext=(x1, y1),
                arrowprops=dict(arrowstyle="-|>", color="#333333", lw=1.1,
                                linestyle="--" if dashed else "-"))

box(2, 84, 74, 10, "commands  (the entry points, thin)", [
    "stats, plot, sweep: parse the command line, call the library, print one line on failure;",
    "common: the inputs they share; twolocus/sweep.py: python -m twolocus.sweep (the launchers')"],
    "#dde8f6")
box(2, 64, 74, 16, "sweeps  (designs, plans, the sweep folder, launchers)", [
    "kinds: a classic sweep and a sweep of twolocus-sim as data (columns, program,",
    "    how a row becomes runs or batches and command lines, how a unit resumes)",
    "design (one reader, grid), seeds, plan (one plan), folder, runner,",
    "launchers (GNU parallel, Slurm), guard, status, summary, picture"], "#e4f2df")
box(2, 50, 35, 10, "runfiles  (reading run files)", [
    "trajectory; params (both kinds, by _core);",
    "runs: a run's files as a Run; summary tables"], "#f6eddc")
box(41, 50, 35, 10, "engines  (the engines' API)", [
    "Model, simulate, replicate; keywords:",
    "values as text, read by _core by the table"], "#f6eddc")
box(2, 38, 74, 8, "run  (the one Run class)", [
    "records, last population, parameters; statistics(), holds(), first(), summary, plot()"],
    "#f3e0e0")
box(2, 26, 74, 8, "pictures  (Matplotlib)", [
    "runs (twolocus-plot's picture, plot_runs), studies (curves, medians), text (titles that fit)"],
    "#ece4f4")
box(2, 12, 74, 10, "analysis  (statistics, conditions and survival)", [
    "statistics, conditions: the programs' own, through _core;",
    "survival (Kaplan-Meier, Aalen-Johansen, medians, restricted means), studies (tables)"],
    "#e1f0ef")
box(2, 1, 74, 7, "native  ->  twolocus._core  (src/python/core.cpp)", [
    "the run library, src/io and src/model: the table of parameters, statistics, conditions, .params"],
    "#dddddd")
box(80, 36, 18, 33, "used by any", [
    "errors", "  TwolocusError", "files", "  regular inputs,", "  outputs not inputs",
    "genotypes", "  labels", "messages", "  the programs' table", "release", "  VERSION"], "#f7f7f7")
box(80, 74, 18, 20, "twolocus", [
    "the public API,", "each name imported", "on first use:",
    "Model, simulate, Run,", "statistics, read_*,", "kaplan_meier ..."], "#f7f7f7")
for top, bottom in ((84, 80.8), (64, 60.8), (50, 46.8), (38, 34.8), (26, 22.8), (12, 8.8)):
    arrow(39, top, 39, bottom)
arrow(58.5, 50, 58.5, 46.8)
ax.text(39, -1.6, "each uses only those below it (python/tests/test_package.py: no import cycle, of "
        "modules or of subpackages)", ha="center", fontsize=8.6, style="italic")
fig.savefig(sys.argv[1] if len(sys.argv) > 1 else "docs/dev/package.png", bbox_inches="tight")
