"""A fitness by coefficients in Python and in sweeps: the keywords make the
table twolocus-sim --print-fitness writes, a simulation with them is the
simulation with that table, conflicts are ValueErrors naming the keywords,
and a design's coefficient columns become the batch's options."""

import subprocess

import numpy as np
import pytest

from conftest import BUILD
from sweep_helpers import manifest, sweep
from twolocus import Model, simulate

SIM = BUILD / "twolocus-sim"
KEYWORDS = {"s2_a": -0.01, "h2_a": 0.2, "s3_b": 0.03, "h3_b": 1.0, "combine": "additive",
            "epistasis": 0.08}


def printed_table(tmp_path):
    options = [f"--{key.replace('_', '-')}={value}" for key, value in KEYWORDS.items()]
    result = subprocess.run([SIM, *options, "--print-fitness"], capture_output=True, text=True,
                            check=True)
    path = tmp_path / "values.tsv"
    path.write_text(result.stdout)
    return path


def test_keywords_make_the_printed_table_and_the_same_simulation(tmp_path):
    values = printed_table(tmp_path)
    by_coefficients = Model(**KEYWORDS, mu=1e-3)
    by_table = Model(fitness_values=values, mu=1e-3)
    assert np.array_equal(by_coefficients.fitness, by_table.fitness)
    assert by_coefficients.fitness[80] == pytest.approx(1 + 0.03 + 0.08)  # 3333
    assert repr(by_coefficients).startswith("twolocus.Model(s2_a=-0.01, h2_a=0.2")
    for engine in ("exact", "multinomial"):
        one = simulate(by_coefficients, N=100, generations=50, seed=4, engine=engine, record_every=5)
        two = simulate(by_table, N=100, generations=50, seed=4, engine=engine, record_every=5)
        assert np.array_equal(one.counts, two.counts) and one.counts[-1, 0] < 100


def test_conflicts_and_bad_values_name_the_keywords(tmp_path):
    values = printed_table(tmp_path)
    with pytest.raises(ValueError, match=r"^keyword \[h2_b\] cannot be used with \[fitness_values\]\.$"):
        Model(fitness_values=values, h2_b=0.1)
    with pytest.raises(ValueError, match=r"^keyword \[epistasis\] cannot be used with \[s\]\.$"):
        Model(epistasis=0.1, s=0.1)
    with pytest.raises(ValueError, match=r"takes multiplicative or additive, not \[mixed\]"):
        Model(combine="mixed")
    with pytest.raises(ValueError, match=r"takes a number from -1 to 1000"):
        Model(s2_b=-2)
    with pytest.raises(TypeError):
        Model(s2_c=0.1)


def test_a_design_sweeps_dominance_through_its_columns(tmp_path):
    design = tmp_path / "design.tsv"
    design.write_text("name\tpopulation-size\tgenerations\ts2-a\th2-a\tcombine\treplicates\n"
                      "recessive\t50\t20\t0.1\t0\tadditive\t2\n"
                      "dominant\t50\t20\t0.1\t1\t\t2\n")
    result = sweep("run", "--sim", design, tmp_path / "sweep", "--program", SIM)
    assert result.returncode == 0, result.stdout + result.stderr
    commands = {run["name"]: run["command"] for run in manifest(tmp_path / "sweep")}
    assert "--s2-a=0.1 --h2-a=0.0 --combine=additive" in commands["recessive"]
    assert "--s2-a=0.1 --h2-a=1.0 " in commands["dominant"]
    design.write_text("name\tpopulation-size\tgenerations\ts2-a\tfitness-values\treplicates\n"
                      "both\t50\t20\t0.1\tvalues.tsv\t2\n")
    printed_table(tmp_path)
    result = sweep("run", "--sim", design, tmp_path / "other", "--program", SIM)
    assert result.returncode == 1
    assert "give one of [s2-a] and [fitness-values], not both." in result.stdout + result.stderr


def test_a_locus_by_its_six_fitnesses(tmp_path):
    """fitness_a takes six numbers (a sequence, or the option's text) and is
    the option's table; a design's fitness-b column becomes its option."""
    six = [1, 0.5, 1.25, 0.75, 0.125, 2]
    printed = subprocess.run([SIM, "--fitness-a=1,0.5,1.25,0.75,0.125,2", "--s2-b=0.1",
                              "--print-fitness"], capture_output=True, text=True, check=True)
    (tmp_path / "values.tsv").write_text(printed.stdout)
    table = Model(fitness_values=tmp_path / "values.tsv").fitness
    assert np.array_equal(Model(fitness_a=six, s2_b=0.1).fitness, table)
    assert np.array_equal(Model(fitness_a="1,0.5,1.25,0.75,0.125,2", s2_b=0.1).fitness, table)
    with pytest.raises(ValueError, match=r"^keyword \[h2_a\] cannot be used with \[fitness_a\]\.$"):
        Model(fitness_a=six, h2_a=0.1)
    with pytest.raises(TypeError, match="six numbers"):
        Model(fitness_a=six[:5])
    design = tmp_path / "design.tsv"
    design.write_text("name\tpopulation-size\tgenerations\tfitness-b\treplicates\n"
                      "six\t50\t20\t1,1,1,0.9,1,1\t2\n")
    result = sweep("run", "--sim", design, tmp_path / "sweep", "--program", SIM)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "--fitness-b=1,1,1,0.9,1,1" in manifest(tmp_path / "sweep")[0]["command"]
