"""The study of the guide's page "An environment that opens a valley": the
waiting time to cross a fitness valley that is there from the start, or that
opens after a neutral period, through the Python package's Model(change=...)
and replicate, with the survival statistics of twolocus.analysis.survival.

Run from the top of the repository, after building (the package finds
build/):  /usr/bin/python3 docs/guide/changing/study.py
It writes docs/guide/changing/waiting-times.tsv and waiting-times.png.
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[2] / "python"))
import twolocus  # noqa: E402
from twolocus.analysis import survival  # noqa: E402

N, MU, R_FRACTION = 1000, 1e-4, 0.1
S, K = 0.01, 0.05
HORIZON, REPLICATES, SEED = 40000, 400, 31
EVENT = "h22 >= 0.5"
# The valley by coefficients: single mutants 1 - s (homozygous), 1 - s/2 per
# copy, the double mutant 1 + k (additive, epistasis k + 2s).
VALLEY = {"s2_a": -S, "s2_b": -S, "combine": "additive", "epistasis": K + 2 * S}
NEUTRAL = {"combine": "additive"}
OPENS = (None, 500, 2000)  # None: the valley is there from generation 0


def scenario(opens):
    """(the Model, the generation the valley opens at)."""
    common = dict(mu_a12=MU, mu_b12=MU, recombination=R_FRACTION)
    if opens is None:
        return twolocus.Model(**VALLEY, **common), 0
    change = [f"{opens}:s2-a={-S!r}", f"{opens}:s2-b={-S!r}",
              f"{opens}:epistasis={K + 2 * S!r}"]
    return twolocus.Model(**NEUTRAL, **common, change=change), opens


def waiting_times(opens):
    """The generations from the opening to the event, and each run's status."""
    model, start = scenario(opens)
    table = twolocus.replicate(model, N=N, generations=start + HORIZON, replicates=REPLICATES,
                               seed=SEED, threads=2, stop=EVENT)
    crossed = table["end"] == EVENT
    times = table["generations"].astype(float) - start
    # A crossing before the valley opened (by drift, the landscape flat)
    # counts at the opening.
    before = int(np.sum(crossed & (times <= 0)))
    return np.maximum(times, 0), np.where(crossed, survival.EVENT, survival.CENSORED), before


def main():
    rows = []
    figure, ax = plt.subplots(figsize=(7, 4.5))
    for k, opens in enumerate(OPENS):
        name = "from the start" if opens is None else f"opens at generation {opens}"
        times, status, before = waiting_times(opens)
        row = survival.summary_row(times, status)
        row["before_opening"] = before
        rows.append((name, row))
        found = survival.curve(times, status)
        ax.step(found["time"], found["fraction"], where="post", color=f"C{k}", label=name)
        ax.fill_between(found["time"], found["low"], found["high"], step="post", color=f"C{k}",
                        alpha=0.2, lw=0)
    ax.axhline(0.5, color="grey", lw=0.6, ls=":")
    ax.set_xlabel("generations since the valley opened")
    ax.set_ylabel("fraction crossed (h22 >= 0.5)")
    ax.set_title(f"N = {N}, u = {MU:g}, r = {R_FRACTION}, s = {S}, k = {K}; "
                 f"{REPLICATES} runs each (95 % bands)", fontsize=9)
    ax.legend(fontsize=8, loc="lower right")
    figure.tight_layout()
    figure.savefig(HERE / "waiting-times.png", dpi=90)
    plt.close(figure)
    columns = ["runs", "events", "before_opening", "censored", "median", "median_low",
               "median_high"]
    lines = ["scenario\t" + "\t".join(columns)]
    for name, row in rows:
        lines.append(name + "\t" + "\t".join("" if row[c] is None else f"{row[c]:g}"
                                             for c in columns))
    (HERE / "waiting-times.tsv").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
