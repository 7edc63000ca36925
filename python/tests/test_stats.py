"""Statistics against values worked by hand on tiny populations, and thresholds."""

import math

import pytest

from twolocus.analysis.conditions import parse_threshold
from twolocus.analysis.statistics import STAT_COLUMNS, population_stats
from twolocus.errors import TwolocusError
from twolocus.genotypes import LABELS

EXTINCT = {c: None for c in STAT_COLUMNS}


@pytest.mark.parametrize("counts, fitness, expected", [
    # One class: allele 1 fixed at locus B, so D' and r^2 are undefined.
    ({"2211": 10}, [0.5] * 81, dict(N=10, classes=1, extinct=0, a2=1, b1=1, h21=1, h11=0, D=0,
                                    Dprime=None, r2=None, Ha=0, Hb=0, mean_fitness=0.5)),
    # Slots 1 and 3 make one haplotype: 1-1, 1-1, 1-1, 2-2. Full disequilibrium.
    ({"1111": 1, "1212": 1}, None, dict(h11=0.75, h22=0.25, h12=0, h21=0, a1=0.75, b1=0.75,
                                        Ha=0.375, D=3 / 16, Dprime=1, r2=1)),
    # The same alleles, but the haplotypes 1-2 and 2-1.
    ({"1111": 1, "1221": 1}, None, dict(h11=0.5, h12=0.25, h21=0.25, h22=0, D=-1 / 16,
                                        Dprime=-1, r2=1 / 9)),
    ({"1111": 5, "3333": 5}, [1.0] + [0.0] * 80, dict(D=0.25, Dprime=1, r2=1, h33=0.5,
                                                      mean_fitness=0.5)),
    # Every haplotype of alleles 1 and 2 equally often: D is exactly 0.
    ({"1111": 3, "2222": 3, "1221": 3, "2112": 3}, None, dict(D=0, Dprime=0, r2=0, classes=4)),
    ({}, [1.0] * 81, dict(EXTINCT, N=0, classes=0, extinct=1)),
])
def test_populations_worked_by_hand(counts, fitness, expected):
    row = [0] * 81
    for name, count in counts.items():
        row[LABELS.index(name)] = count
    stats = population_stats(row, fitness=fitness)
    assert set(stats) == set(STAT_COLUMNS)
    assert {name: stats[name] for name in expected} == expected


def test_thresholds():
    assert parse_threshold("h22 >= 0.5") == ("h22", ">=", 0.5)
    assert parse_threshold("a1<1e-2") == ("a1", "<", 0.01)
    for text, message in [("h44 > 1", "Unknown statistic [h44]."),
                          ("label > 1", "Unknown statistic [label]."),
                          ("a1 = 0.5", "Could not read the threshold [a1 = 0.5]."),
                          ("a1 < half", "Could not read the threshold [a1 < half]."),
                          ("a1 < nan", "Could not read the threshold [a1 < nan].")]:
        with pytest.raises(TwolocusError) as error:
            parse_threshold(text)
        assert str(error.value) == message


def test_hand_made_counts_of_any_sign_give_the_ratios_they_give():
    """A resume repeats a hand-made record's negative counts: twolocus-stats takes
    their ratios as they come (no copies of a negative N is -0, as always)."""
    row = [0] * 81
    row[LABELS.index("1111")], row[LABELS.index("2111")] = -3, 1
    stats = population_stats(row, [2.0] * 81)
    assert (stats["N"], stats["a1"], stats["a2"], stats["classes"]) == (-2, 1.25, -0.25, 1)
    assert math.copysign(1, stats["a3"]) == -1 and stats["mean_fitness"] == 2.0
