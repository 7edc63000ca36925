"""Statistics against values worked by hand on tiny populations, and thresholds."""

import pytest

from twolocus.errors import TwolocusError
from twolocus.genotypes import LABELS
from twolocus.stats import STAT_COLUMNS, first_passage, parse_threshold, population_stats


def population(**counts):
    """81 counts from genotype labels, e.g. population(g1111=3, g1212=1)."""
    row = [0] * 81
    for name, count in counts.items():
        row[LABELS.index(name[1:])] = count
    return row


def test_one_class():
    stats = population_stats(population(g2211=10), fitness=[0.5] * 81)
    assert set(stats) == set(STAT_COLUMNS)
    assert (stats["N"], stats["classes"], stats["extinct"]) == (10, 1, 0)
    assert (stats["a2"], stats["b1"], stats["h21"], stats["h11"]) == (1, 1, 1, 0)
    assert (stats["D"], stats["Dprime"], stats["r2"]) == (0, None, None)  # allele 1 fixed
    assert (stats["Ha"], stats["Hb"], stats["mean_fitness"]) == (0, 0, 0.5)


def test_slots_1_and_3_make_one_haplotype():
    # 1111 and 1212: haplotypes 1-1, 1-1, 1-1, 2-2. Full disequilibrium.
    stats = population_stats(population(g1111=1, g1212=1))
    assert (stats["h11"], stats["h22"], stats["h12"], stats["h21"]) == (0.75, 0.25, 0, 0)
    assert (stats["a1"], stats["b1"], stats["Ha"]) == (0.75, 0.75, 0.375)
    assert (stats["D"], stats["Dprime"], stats["r2"]) == (3 / 16, 1, 1)
    # 1111 and 1221 carry the same alleles but the haplotypes 1-2 and 2-1.
    stats = population_stats(population(g1111=1, g1221=1))
    assert (stats["h11"], stats["h12"], stats["h21"], stats["h22"]) == (0.5, 0.25, 0.25, 0)
    assert (stats["D"], stats["Dprime"], stats["r2"]) == (-1 / 16, -1, 1 / 9)


def test_full_disequilibrium_equilibrium_and_extinction():
    stats = population_stats(population(g1111=5, g3333=5), fitness=[1.0] + [0.0] * 80)
    assert (stats["D"], stats["Dprime"], stats["r2"], stats["h33"]) == (0.25, 1, 1, 0.5)
    assert stats["mean_fitness"] == 0.5
    # Every haplotype of alleles 1 and 2 equally often: D is exactly 0.
    stats = population_stats(population(g1111=3, g2222=3, g1221=3, g2112=3))
    assert (stats["D"], stats["Dprime"], stats["r2"], stats["classes"]) == (0, 0, 0, 4)
    stats = population_stats([0] * 81, fitness=[1.0] * 81)
    assert (stats["N"], stats["classes"], stats["extinct"]) == (0, 0, 1)
    assert all(stats[c] is None for c in STAT_COLUMNS if c not in ("N", "classes", "extinct"))


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
    rows = [{"label": label, "generations": label + 1, "a2": value, "r2": value}
            for label, value in ((0, 0.1), (200, None), (400, 0.5), (600, 0.7))]
    assert first_passage(rows, ("a2", ">=", 0.5)) == (400, 401)
    assert first_passage(rows, ("a2", ">", 0.5)) == (600, 601)
    assert first_passage(rows, ("r2", "<", 0.1)) is None  # an empty value never passes
    assert first_passage(rows, ("a2", "<=", 0.1)) == (0, 1)
