"""Changes of the environment in Python and in sweeps: a Model's `change`
keyword is twolocus-sim's --change (the same records, summary and batch
rows), a refusal is the program's message naming the keyword, and a
design's change column (several separated by ';') becomes one option each."""

import subprocess

import numpy as np
import pytest

from conftest import BUILD, VALLEY, records
from sweep_helpers import manifest, sweep
import twolocus
from twolocus.run import summary_table

SIM = BUILD / "twolocus-sim"
CHANGES = ["40:s=0.01", "20:recombination=0.05", "30:mu-a21=0.01", "35:k=0.5"]
OPTIONS = ["--fitness", VALLEY, "-s", "0.05", "-k", "0.1", "--mu", "0.002"]


def program(*args):
    return subprocess.run([str(SIM), *map(str, args)], capture_output=True, text=True)


@pytest.mark.parametrize("engine", ["multinomial", "exact"])
def test_a_models_changes_are_the_programs(tmp_path, engine):
    out = tmp_path / "run.out"
    changes = [option for change in CHANGES for option in ("--change", change)]
    done = program(*OPTIONS, *changes, "-N", 60, "--generations", 70, "--record-every", 10,
                   "--seed", 11, "--engine", engine, "-o", out)
    assert done.returncode == 0, done.stderr
    model = twolocus.Model(VALLEY, s=0.05, k=0.1, mu=0.002, change=CHANGES)
    assert model.keywords["change"] == CHANGES
    assert "change=['40:s=0.01'" in repr(model)
    run = twolocus.simulate(model, N=60, generations=70, record_every=10, seed=11, engine=engine)
    assert np.array_equal(run.counts, np.array(records(out))[:, 1:])
    summary = (tmp_path / "run.out.summary.tsv").read_text().splitlines()[1]
    assert [tuple(map(str, row)) for row in np.atleast_1d(run.summary)] == [
        tuple(map(str, row)) for row in np.atleast_1d(summary_table([summary]))]
    # Without the changes the run differs.
    plain = twolocus.simulate(twolocus.Model(VALLEY, s=0.05, k=0.1, mu=0.002), N=60,
                              generations=70, record_every=10, seed=11, engine=engine)
    assert not np.array_equal(plain.counts, run.counts)
    # The batch of replicates takes them too.
    assert program(*OPTIONS, *changes, "-N", 60, "--generations", 70, "--replicates", 4,
                   "--seed", 5, "--engine", engine, "-o", tmp_path / "batch").returncode == 0
    twolocus.replicate(model, N=60, generations=70, replicates=4, seed=5, engine=engine,
                       summary=tmp_path / "batch.tsv")
    assert (tmp_path / "batch.tsv").read_bytes() == (tmp_path / "batch.summary.tsv").read_bytes()


def test_changes_that_do_not_fit_are_the_programs_messages():
    with pytest.raises(ValueError, match=r"^keyword \[change\] cannot take \[2\.5:s=0\.1\]: time "
                                         r"\[2\.5\] is not a whole generation\.$"):
        twolocus.Model(VALLEY, change="2.5:s=0.1")
    with pytest.raises(ValueError, match=r"^keyword \[change\] takes TIME:PARAMETER=VALUE"):
        twolocus.Model(VALLEY, change=["1:s=0.1", "1:nothing=2"])
    with pytest.raises(ValueError, match=r"\[--column\] changes a table"):
        twolocus.Model(s2_a=0.1, change="3:column=2")
    with pytest.raises(FileNotFoundError, match=r"could not open fitness file \[missing\.tsv\]"):
        twolocus.Model(VALLEY, change="3:fitness-values=missing.tsv")
    with pytest.raises(TypeError, match="change must be a change's text"):
        twolocus.Model(VALLEY, change=3)


def test_a_designs_change_column_gives_one_option_each(tmp_path):
    design = tmp_path / "design.tsv"
    design.write_text("name\tpopulation-size\tgenerations\ts2-a\tchange\treplicates\n"
                      "opens\t50\t30\t-0.02\t10:s2-a=0.05 ; 20:recombination=0.1\t2\n"
                      "bad\t50\t30\t-0.02\t10-s2-a\t2\n")
    result = sweep("run", "--sim", design, tmp_path / "refused", "--program", SIM)
    assert result.returncode == 1
    assert "[10-s2-a] is not TIME:PARAMETER=VALUE." in result.stdout + result.stderr
    design.write_text("\n".join(design.read_text().splitlines()[:2]) + "\n")
    result = sweep("run", "--sim", design, tmp_path / "sweep", "--program", SIM)
    assert result.returncode == 0, result.stdout + result.stderr
    command = manifest(tmp_path / "sweep")[0]["command"]
    assert "--change=10:s2-a=0.05 --change=20:recombination=0.1 --seed=" in command
    assert manifest(tmp_path / "sweep")[0]["change"] == "10:s2-a=0.05;20:recombination=0.1"


def test_the_tools_read_a_parameter_file_with_changes(tmp_path):
    """The tools read the change lines with the programs' reader, and say a
    change that breaks a mutation row in their own words."""
    from twolocus.errors import TwolocusError
    from twolocus.runfiles.params import read_params
    out = tmp_path / "run.out"
    assert program("--s2-a", "0.1", "-N", 20, "--generations", 10, "--change", "3:mu=0.01",
                   "-o", out).returncode == 0
    read_params(f"{out}.params")
    text = (tmp_path / "run.out.params").read_text()
    (tmp_path / "run.out.params").write_text(text.replace("change = 3 -1 mu_a12 0.01",
                                                          "change = 3 -1 mu_a12 0.995"))
    with pytest.raises(TwolocusError, match=r"not consistent: a change makes a mutation row sum"):
        read_params(f"{out}.params")


def test_the_mean_fitness_of_a_record_is_by_the_table_in_force_in_its_generation(tmp_path):
    out = tmp_path / "run.out"
    done = program("--fitness", VALLEY, "-s", "0.05", "-k", "0.1", "--mu", "0.02", "--change",
                   "40:s=0.5", "-N", 60, "--generations", 70, "--record-every", 10, "--seed", 11,
                   "-o", out)
    assert done.returncode == 0, done.stderr
    model = twolocus.Model(VALLEY, s=0.05, k=0.1, mu=0.02, change="40:s=0.5")
    run = twolocus.simulate(model, N=60, generations=70, record_every=10, seed=11)
    read = twolocus.load_run(out)
    before = twolocus.Model(VALLEY, s=0.05, k=0.1).fitness
    after = twolocus.Model(VALLEY, s=0.5, k=0.1).fitness
    for found in (run, read):
        fitness = found.statistics()["mean_fitness"]
        for label, counts, value in zip(found.labels, found.counts, fitness):
            table = after if label >= 40 else before
            assert value == pytest.approx(counts @ table / counts.sum(), rel=1e-15), label
        assert np.array_equal(found.holds("mean_fitness < 0.99"),
                              [counts @ (after if label >= 40 else before) / counts.sum() < 0.99
                               for label, counts in zip(found.labels, found.counts)])
    # The summary's row, of the last population, by the table in force then.
    header, row = (tmp_path / "run.out.summary.tsv").read_text().splitlines()[:2]
    written = dict(zip(header.split("\t"), row.split("\t")))
    assert float(written["mean_fitness"]) == pytest.approx(run.population @ after / 60, rel=1e-9)
