"""The tools on twolocus-sim runs: its parameter file read as the program reads
it (the shared cases of tests/cases/sim_params/), and every record's
generation taken from its K, also across a resume and an extension."""

import subprocess

import pytest

from conftest import BUILD, REPOSITORY, VALLEY, command
from twolocus.errors import TwolocusError
from twolocus.runfiles.params import read_params
from twolocus.runfiles.trajectory import read_trajectory

CASES = REPOSITORY / "tests" / "cases" / "sim_params"


def verdicts():
    lines = (CASES / "verdicts.tsv").read_text().splitlines()
    return [line.split("\t") for line in lines if line and not line.startswith("#")]


@pytest.mark.parametrize("name,verdict", verdicts())
def test_shared_cases_read_as_the_program_reads_them(name, verdict):
    if verdict == "read":
        params = read_params(str(CASES / name))
        assert params["N"] == 1000 and params["record_every"] == 7
        assert params["mutation_a"][1, 0] == 3e-7 and params["recombination"] == 0.1
        if name == "conditions.params":
            assert params["conditions"] == [("h22 >= 0.5", True),
                                            ("extinct or count(2122) > 0", False),
                                            ("a1 < 0.01", True)]
    else:
        with pytest.raises(TwolocusError):
            read_params(str(CASES / name))


def sim(*args, cwd):
    done = subprocess.run([str(BUILD / "twolocus-sim"), *map(str, args)], capture_output=True,
                          text=True, cwd=cwd)
    assert done.returncode == 0, done.stderr


def test_generations_follow_the_runs_record_interval(tmp_path):
    run = ["--fitness", VALLEY, "-s", "0.05", "-k", "0.1", "-N", "200", "--mu", "0.01",
           "--record-every", "7", "--engine", "exact", "-o", "run.out"]
    sim(*run, "--generations", "30", cwd=tmp_path)
    whole = (tmp_path / "run.out").read_text()
    trajectory = read_trajectory(str(tmp_path / "run.out"))
    assert trajectory.labels == [0, 7, 14, 21, 28, 30]
    assert trajectory.generations == [1, 8, 15, 22, 29, 30]
    # Killed inside record 21, resumed, then extended to 40: the generations
    # go on from the final record 30 (30 rounds) without a gap.
    (tmp_path / "run.out").write_text(whole[:whole.index("\n21\t") + 30])
    sim("--resume", "run.out", cwd=tmp_path)
    sim("--resume", "run.out", "--generations", "40", cwd=tmp_path)
    trajectory = read_trajectory(str(tmp_path / "run.out"))
    assert trajectory.labels == [0, 7, 14, 21, 28, 30, 35, 40]
    assert trajectory.generations == [1, 8, 15, 22, 29, 30, 36, 40]
    stats = command("twolocus-stats", tmp_path / "run.out")
    assert stats.returncode == 0, stats.stderr
    header, *rows = [line.split("\t") for line in stats.stdout.splitlines()]
    assert [row[header.index("generations")] for row in rows] == ["1", "8", "15", "22", "29", "30", "36", "40"]
    assert all(row[header.index("mean_fitness")] != "" for row in rows)
    plot = command("twolocus-plot", tmp_path / "run.out", "-o", tmp_path / "run.png")
    assert plot.returncode == 0, plot.stderr


def test_a_stop_record_is_read_with_its_generations(tmp_path):
    # Seed 3 stops at label 11 (a2 >= 0.1), one after the record labelled 10;
    # seed 1 at label 8. A stop record is written after generation g: g + 1
    # generations, not a final record of g (it was read as one, and the
    # first dropped as the same population as the record before).
    for seed, label in ((3, 11), (1, 8)):
        out = tmp_path / f"stop-{seed}.out"
        sim("--fitness", VALLEY, "-s", "0.05", "-k", "0.1", "-N", "200", "--mu", "0.01",
            "--record-every", "5", "--seed", seed, "--stop", "a2 >= 0.1", "--generations", "100",
            "-o", out, cwd=tmp_path)
        trajectory = read_trajectory(str(out))
        assert trajectory.labels[-1] == label
        assert trajectory.generations[-1] == label + 1
        summary = (tmp_path / f"stop-{seed}.out.summary.tsv").read_text().splitlines()[1].split("\t")
        assert summary[3:5] == [str(label), str(label + 1)]


@pytest.mark.parametrize("engine", ["exact", "multinomial"])
def test_watched_first_labels_are_those_twolocus_stats_first_finds(tmp_path, engine):
    # The C++ evaluation during the run and the Python one on the records of
    # the run recorded every generation give the same first labels.
    conditions = ["h11 < 0.8", "count(2222) >= 1 or D > 0.01", "Dprime > 0.5 and r2 < 0.2",
                  "mean_fitness < 0.99", "freq(2122) >= 0.01"]
    watches = [word for text in conditions for word in ("--watch", text)]
    sim("--fitness", VALLEY, "-s", "0.05", "-k", "0.1", "-N", "300", "--mu", "0.005",
        "--engine", engine, "--generations", "300", "--record-every", "1", "-o", "run.out",
        *watches, cwd=tmp_path)
    header, row = [line.split("\t") for line in (tmp_path / "run.out.summary.tsv").read_text().splitlines()]
    assert header[5:5 + len(conditions)] == conditions
    firsts = [word for text in conditions for word in ("--first", text)]
    stats = command("twolocus-stats", tmp_path / "run.out", *firsts)
    assert stats.returncode == 0, stats.stderr
    found = [line.split("\t")[2] for line in stats.stdout.splitlines()[1:]]
    assert [label if label != "none" else "" for label in found] == row[5:5 + len(conditions)]
    assert sum(label != "none" for label in found) >= 3
