"""The picture of the layers on docs/dev/design.md:
    /usr/bin/python3 docs/dev/layers.py [docs/dev/layers.png]"""
import sys
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
from matplotlib.patches import FancyBboxPatch

fig, ax = plt.subplots(figsize=(10, 6.4), dpi=100)
ax.set_xlim(0, 100); ax.set_ylim(0, 64); ax.axis("off")

def box(x, y, w, h, title, lines, color):
    ax.add_patch(FancyBboxPatch((x, y), w, h, boxstyle="round,pad=0.4,rounding_size=1.2",
                                fc=color, ec="#333333", lw=1.2))
    ax.text(x + 1.2, y + h - 1.6, title, fontsize=11, fontweight="bold", va="top")
    for i, line in enumerate(lines):
        ax.text(x + 1.2, y + h - 5.0 - 2.6 * i, line, fontsize=8.6, va="top", family="DejaVu Sans")

def arrow(x1, y1, x2, y2):
    ax.annotate("", xy=(x2, y2), xytext=(x1, y1),
                arrowprops=dict(arrowstyle="-|>", color="#333333", lw=1.1))

box(2, 50, 46, 12, "src/app  (the programs)", [
    "classic_main: the classic command line -> classic_request",
    "sim_options: twolocus-sim's options -> run_request,",
    "progress bars; every message printed here (say::, say_err::)"], "#dde8f6")
box(52, 50, 46, 12, "src/python  (twolocus._core)", [
    "keywords -> the table's entries -> run_request, checked;",
    "simulate: the one loop; replicate: the run library's batch;",
    "the tools' statistics, conditions, .params readers"], "#dde8f6")
box(2, 27, 96, 19, "src/run  (the run library: prints nothing)", [
    "messages.def -> tell::x(...): a failure or a note is a message value",
    "loop.hpp: the one generation loop; engines.hpp: with_engine, the one place an engine is chosen",
    "request: a run's parameters read, stored and checked by the table (for both front ends)",
    "classic: twolocus's files, general_params(run_params), the loop every 200 generations",
    "single, resume, batch (one thread pool), run_files, inputs, files (locks, regular files)"], "#e4f2df")
box(2, 8, 46, 15, "src/io  (one unit per file format)", [
    "parameters.def: the table of parameters",
    "sim_params (OUT.params), batch_file (OUT.batch),",
    "trajectory, sim_checkpoint, sim_summary, initial,",
    "fitness tables, params (classic), demes (YAML, JSON)"], "#f6eddc")
box(52, 8, 46, 15, "src/model  (the model; no I/O)", [
    "model_params: the one description of a generation",
    "exact, literal, multinomial engines: set_model once,",
    "then run_generation(engine, current, next, g)",
    "generators, seeds, statistics, conditions, demography"], "#f3e0e0")
arrow(25, 50, 25, 46.8); arrow(75, 50, 75, 46.8)
arrow(25, 27, 25, 23.8); arrow(75, 27, 75, 23.8)
arrow(48.6, 15.5, 51.4, 15.5)
ax.text(50, 2.5, "each layer uses only those below it", ha="center", fontsize=9, style="italic")
fig.savefig(sys.argv[1] if len(sys.argv) > 1 else "docs/dev/layers.png", bbox_inches="tight")
