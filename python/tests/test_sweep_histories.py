"""Sweeps of twolocus-sim with the demography and burn-in columns: a
demography file copied as an input, rows with and without one, each row's
table that of its batch run by hand and of replicate in Python, and the
design's refusals line by line."""

import shutil
import subprocess
from pathlib import Path

from conftest import VALLEY
from sweep_helpers import manifest
from test_simulation_histories import ONE, SEVERAL
from test_sweep_sim import SIM, direct, run_sim, tables

import twolocus
from twolocus.genotypes import LABELS

HEADER = "name\tpopulation-size\tgenerations\tdemography\tburn-in\tfitness\tmu\treplicates"
ROWS = ["plain\t50\t40\t\t\tvalley.tsv\t1e-3\t3",
        "one\t\t45\tone.yaml\t\tvalley.tsv\t1e-3\t3",
        "three\t\t\tthree.yaml\t5\tvalley.tsv\t1e-3\t4"]


def write_design(folder, rows, header=HEADER, name="design.tsv"):
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(VALLEY, folder / "valley.tsv")
    (folder / "one.yaml").write_text(ONE)
    (folder / "three.yaml").write_text(SEVERAL)
    (folder / name).write_text("\n".join([header, *rows]) + "\n")
    return folder / name


def test_rows_with_a_demography_run_their_history_as_a_batch_does(tmp_path):
    design = write_design(tmp_path, ROWS)
    folder = tmp_path / "sweep"
    done = run_sim(design, folder, "--batch-size", "2")
    assert done.returncode == 0, done.stderr
    assert (folder / "inputs" / "one.yaml").read_text() == ONE
    commands = {run["run"]: run["command"] for run in manifest(folder)}
    assert commands["one_0-1"].startswith(
        f"{SIM} --generations=45 --demography=../../inputs/one.yaml --fitness=")
    assert commands["three_2-3"].startswith(
        f"{SIM} --demography=../../inputs/three.yaml --burn-in=5 --fitness=")
    assert "--demography" not in commands["plain_0-1"]
    found = tables(folder)
    model = twolocus.Model(VALLEY, mu=1e-3)
    for name, run, count, keywords in [
            ("one", "one_0-1", 3, dict(demography=folder / "inputs" / "one.yaml", generations=45)),
            ("three", "three_0-1", 4, dict(demography=folder / "inputs" / "three.yaml",
                                           burn_in=5))]:
        header, rows = found[name]
        # The batches of a row give the rows of one batch of all its replicates.
        assert (header, rows) == direct(folder, run, count, tmp_path / name)
        seed = next(r["seed"] for r in manifest(folder) if r["run"] == run)
        table = twolocus.replicate(model, replicates=count, seed=int(seed), **keywords)
        assert [row[:5] for row in rows] == [[str(value) for value in row][:5] for row in table]
    # The row of several demes ends with the whole population: 60 + 20 individuals.
    assert {row[header.index("N")] for row in found["three"][1]} == {"80"}


def test_a_design_with_demographies_is_checked_line_by_line(tmp_path):
    header = "name\tpopulation-size\tgenerations\tdemography\tburn-in\tfitness\treplicates"
    design = write_design(tmp_path, [
        "a\t50\t40\tone.yaml\t\tvalley.tsv\t3",
        "b\t50\t40\t\t5\tvalley.tsv\t3",
        "c\t\t40\tmissing.yaml\t\tvalley.tsv\t3",
        "d\t\t40\tone.yaml\t4\tvalley.tsv\t3",
        "e\t\t\t\t\tvalley.tsv\t3",
        "f\t\t40\tvalley.tsv\t\tvalley.tsv\t3"], header=header)
    result = run_sim(design, tmp_path / "out")
    assert (result.returncode, result.stdout) == (1, "")
    assert not (tmp_path / "out").exists()
    lines = [line.replace(f" of [{design}]", "") for line in result.stderr.splitlines()]
    assert lines[:7] == [
        "Line 2: give one of [population-size] and [demography], not both.",
        "Line 3: [burn-in] is only for a run with [demography].",
        "Line 3: give one of [burn-in] and [generations], not both.",
        "Line 4, column 4 (demography): could not open demography file [missing.yaml] to read.",
        "Line 5: give one of [burn-in] and [generations], not both.",
        "Line 6: no value of [population-size].",
        "Line 6: no value of [generations]."]
    assert lines[7].startswith("Line 7, column 4 (demography): demography file [valley.tsv]: ")
    assert len(lines) == 8
    # A design whose rows all have a demography needs neither column.
    short = write_design(tmp_path / "short", ["only\tone.yaml\tvalley.tsv\t2"],
                         header="name\tdemography\tfitness\treplicates")
    assert run_sim(short, tmp_path / "short-sweep").returncode == 0
    assert len(tables(tmp_path / "short-sweep")["only"][1]) == 2
    # Without a demography column both stay required.
    bare = write_design(tmp_path / "bare", ["x\tvalley.tsv\t2"],
                        header="name\tfitness\treplicates")
    refused = run_sim(bare, tmp_path / "bare-sweep").stderr.splitlines()
    assert [line.split(": ", 1)[1] for line in refused] == [
        "no column [population-size].", "no column [generations]."]
    # A valid model that a run cannot simulate fails its batch with the program's line.
    (tmp_path / "tiny").mkdir()
    (tmp_path / "tiny" / "tiny.yaml").write_text(
        "time_units: generations\ndemes:\n  - name: T\n    epochs: [{start_size: 0.1}]\n")
    tiny = write_design(tmp_path / "tiny", ["t\t5\ttiny.yaml\tvalley.tsv\t2"],
                        header="name\tgenerations\tdemography\tfitness\treplicates")
    failed = run_sim(tiny, tmp_path / "tiny-sweep")
    assert failed.returncode == 1
    log = (tmp_path / "tiny-sweep" / "runs" / "t_0-1" / "console.log").read_text()
    assert log.startswith("twolocus-sim: demography file [../../inputs/tiny.yaml]: deme [T] "
                          "epoch 1: its size 0.10000000000000001")


def test_a_designs_s_k_and_column_give_demes_their_own(tmp_path):
    header = "name\tgenerations\tdemography\tfitness\ts\tk\treplicates"
    design = write_design(tmp_path, ["local\t30\tthree.yaml\tvalley.tsv\t0.05; B=0.3\tA=0.1\t2",
                                     "bad\t30\tthree.yaml\tvalley.tsv\t0.05;B=x\t\t2",
                                     "name\t30\tthree.yaml\tvalley.tsv\t1B=0.1\t\t2"], header=header)
    refused = run_sim(design, tmp_path / "refused")
    assert refused.returncode == 1
    assert [line.split(": ", 1)[1] for line in refused.stderr.splitlines()] == [
        "[x] is not a number.", "[1B=0.1] is not a number or NAME=NUMBER for deme NAME."]
    design = write_design(tmp_path / "good", ["local\t30\tthree.yaml\tvalley.tsv\t0.05; B=0.3\tA=0.1\t2"],
                          header=header)
    folder = tmp_path / "sweep"
    done = run_sim(design, folder)
    assert done.returncode == 0, done.stderr
    command = manifest(folder)[0]["command"]
    assert "-s 0.05 -s B=0.3 -k A=0.1" in command
    header, rows = tables(folder)["local"]
    seed = int(manifest(folder)[0]["seed"])
    model = twolocus.Model(VALLEY, s={None: 0.05, "B": 0.3}, k={"A": 0.1})
    table = twolocus.replicate(model, demography=folder / "inputs" / "three.yaml", generations=30,
                               replicates=2, seed=seed)
    assert [row[:5] for row in rows] == [[str(value) for value in row][:5] for row in table]


def test_a_designs_files_give_demes_their_own_tables_and_starts(tmp_path):
    header = ("name\tpopulation-size\tgenerations\tdemography\tfitness\tfitness-values\tinitial"
              "\treplicates")
    design = write_design(tmp_path, [
        "local\t\t30\tthree.yaml\tvalley.tsv\tA=favoured.tsv\tA=start.tsv:0\t2",
        "plain\t20\t30\t\tvalley.tsv\tA=favoured.tsv\t\t2",
        "missing\t\t30\tthree.yaml\tvalley.tsv\tA=none.tsv\t\t2"], header=header)
    printed = subprocess.run([str(Path(SIM)), "--print-fitness", "--s2-a", "0.5"], capture_output=True,
                             text=True, check=True)
    (tmp_path / "favoured.tsv").write_text(printed.stdout)
    (tmp_path / "start.tsv").write_text("generation\t" + "\t".join(LABELS) + "\n0\t"
                                        + "\t".join(["0"] * 4 + ["30"] + ["0"] * 76) + "\n")
    refused = run_sim(design, tmp_path / "refused")
    assert refused.returncode == 1
    assert [line.split(": ", 1)[1] for line in refused.stderr.splitlines()] == [
        "[fitness-values] gives deme [A] its own, and the row has no demography.",
        "could not open fitness file [none.tsv] to read."]
    design = write_design(tmp_path, ["local\t\t30\tthree.yaml\tvalley.tsv\tA=favoured.tsv\t"
                                     "A=start.tsv:0\t2"], header=header)
    folder = tmp_path / "sweep"
    done = run_sim(design, folder)
    assert done.returncode == 0, done.stderr
    command = manifest(folder)[0]["command"]
    assert ("--fitness-values=A=../../inputs/favoured.tsv --initial=A=../../inputs/start.tsv:0"
            in command)
    assert (folder / "inputs" / "favoured.tsv").read_text() == printed.stdout
    header, rows = tables(folder)["local"]
    seed = int(manifest(folder)[0]["seed"])
    model = twolocus.Model(VALLEY, fitness_values={"A": tmp_path / "favoured.tsv"})
    table = twolocus.replicate(model, demography=folder / "inputs" / "three.yaml", generations=30,
                               replicates=2, seed=seed, initial={"A": f"{tmp_path / 'start.tsv'}:0"})
    assert [row[:5] for row in rows] == [[str(value) for value in row][:5] for row in table]
    # Planned again, the sweep keeps its copies and its commands.
    again = run_sim(design, folder)
    assert again.returncode == 0, again.stderr
    assert manifest(folder)[0]["command"] == command
