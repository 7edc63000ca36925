"""Prints the random section of cases.tsv: small random populations compared
with thresholds at, just below and just above the double nearest a statistic,
and statistics with each other; expected values from the evaluator that the
programs and the Python tools share (through the compiled module). Run with
/usr/bin/python3 from the repository's top folder, after the build."""

import math
import random
import sys

sys.path.insert(0, "python")
from twolocus.analysis.conditions import parse_condition  # noqa: E402
from twolocus.analysis.statistics import STAT_COLUMNS, population_stats  # noqa: E402
from twolocus.genotypes import LABELS  # noqa: E402

MIXED = [(index + 1) / 10 for index in range(81)]
chooser = random.Random(19)
print("# Random populations (random_cases.py, seed 19)")
for case in range(80):
    labels = chooser.sample(LABELS, chooser.randint(1, 4))
    counts = {label: chooser.randint(1, 9) for label in labels}
    row = [counts.get(label, 0) for label in LABELS]
    population = " ".join(f"{label}={count}" for label, count in counts.items())
    stat = chooser.choice(STAT_COLUMNS[1:-1])
    op = chooser.choice(["<", "<=", ">", ">=", "==", "!="])
    if case % 4 == 3:
        text = f"{stat} {op} {chooser.choice(STAT_COLUMNS[1:-1])}"
    else:
        exact = population_stats(row, MIXED)[stat]
        value = 0.5 if exact is None else float(exact)
        value = [value, math.nextafter(value, -1), math.nextafter(value, 2)][case % 3]
        text = f"{stat} {op} {value!r}"
    expected = bool(parse_condition(text).holds(row, MIXED)[0])
    print(f"{text}\t{population}\tmixed\t{str(expected).lower()}")
