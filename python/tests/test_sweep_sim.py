"""Sweeps of twolocus-sim with GNU parallel: designs in its option names, rows
cut into batches, a kill and a restart, extensions, the documented row seed,
and the folder read back row by row."""

import hashlib
import os
import shlex
import shutil
import signal
import subprocess
from pathlib import Path

from conftest import BUILD, VALLEY, command
from sweep_helpers import SWEEP, manifest, sweep, wait_until
from twolocus.sweeps.summary import read_sim_sweep, row_table

SIM = BUILD / "twolocus-sim"
HEADER = ("name\tpopulation-size\tgenerations\tfitness\tk\tmu\tmu-b21\trecombination\t"
          "record-every\tengine\treplicates\ttag_kind")
# "fast": 5 replicates of a small population; "slow": about 0.5 s a replicate.
FAST = "fast\t200\t300\tvalley.tsv\t0.5\t1e-3\t\t0.1\t0\t\t5\tx"
SLOW = "slow\t20000\t4000\tvalley.tsv\t0.1\t0.0001\t1E-4\t0.5\t0\texact\t4\ty"


def write_design(folder, rows=(FAST, SLOW), header=HEADER, name="design.tsv"):
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(VALLEY, folder / "valley.tsv")
    (folder / name).write_text("\n".join([header, *rows]) + "\n")
    return folder / name


def run_sim(design, folder, *args, **options):
    return sweep("run", "--sim", design, folder, "--program", SIM, *args, **options)


def tables(folder):
    """{row name: (header, rows)} of a sweep folder, through the library function."""
    return {entry["name"]: row_table(entry, warn=False) for entry in read_sim_sweep(folder)}


def direct(folder, run, count, out):
    """The summary table of one batch of all of a row's replicates, run by hand
    with the command of its batch `run`, in folder `out`."""
    command = next(r["command"] for r in manifest(folder) if r["run"] == run)
    argv = [a.replace("../../inputs/", f"{folder}/inputs/") for a in shlex.split(command)
            if not a.startswith(("--replicates=", "--first-replicate="))]
    out.mkdir()
    subprocess.run([*argv, f"--replicates={count}"], cwd=out, check=True)
    lines = (out / "batch.summary.tsv").read_text().splitlines()
    return lines[0].split("\t"), [line.split("\t") for line in lines[1:]]


def test_batches_give_the_rows_of_one_batch_whatever_their_size_and_a_kill_loses_nothing(
        tmp_path):
    design = write_design(tmp_path)
    # One job at a time, batches of 2: killed while the slow row's first batch runs.
    folder = tmp_path / "sweep"
    process = subprocess.Popen([SWEEP, "run", "--sim", design, folder, "--program", SIM,
                                "--batch-size", "2", "--jobs", "1"], start_new_session=True,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    partial = folder / "runs" / "slow_0-1" / "batch.summary.tsv"
    wait_until(lambda: partial.exists() and partial.read_text().count("\n") >= 2)
    os.killpg(process.pid, signal.SIGKILL)
    process.wait()
    wait_until(lambda: " 0 running" in sweep("status", folder).stdout)
    status = sweep("status", folder).stdout
    assert status == (f"5 batches in [{folder}]: 3 done, 0 failed, 0 running, 2 pending; "
                      "5 of 9 replicates done.\n")
    kept = partial.read_text()
    assert kept.count("\n") == 2  # its first replicate finished before the kill

    again = run_sim(design, folder, "--batch-size", "2", "--jobs", "2")
    assert again.returncode == 0, again.stderr
    assert "5 batches in" in again.stdout and "9 of 9 replicates done." in again.stdout
    assert (folder / "runs" / "slow_0-1" / "resumed").exists()
    assert "resuming batch [batch]: 1 of its 2 replicates left to run." in (
        folder / "runs" / "slow_0-1" / "console.log").read_text()
    assert [r["run"] for r in manifest(folder)] == [
        "fast_0-1", "fast_2-3", "fast_4-4", "slow_0-1", "slow_2-3"]

    # Batches of 4, and one batch of each row run by hand, give the same tables.
    whole = run_sim(design, tmp_path / "fours", "--batch-size", "4")
    assert whole.returncode == 0, whole.stderr
    assert [r["run"] for r in manifest(tmp_path / "fours")] == [
        "fast_0-3", "fast_4-4", "slow_0-3"]
    found = tables(folder)
    assert found == tables(tmp_path / "fours")
    for entry in read_sim_sweep(folder):
        assert found[entry["name"]] == direct(folder, entry["batches"][1]["run"],
                                              entry["replicates"], tmp_path / entry["name"])
    header, rows = found["slow"]
    assert header[:5] == ["replicate", "seed", "end", "label", "generations"]
    assert [row[0] for row in rows] == ["0", "1", "2", "3"]
    assert all(row[3:5] == ["3999", "4000"] for row in rows) and len({r[1] for r in rows}) == 4

    # Once done, the same command runs nothing.
    summary = folder / "runs" / "slow_2-3" / "batch.summary.tsv"
    stamp = summary.stat().st_mtime_ns
    assert run_sim(design, folder, "--batch-size", "2").returncode == 0
    assert summary.stat().st_mtime_ns == stamp


def test_the_library_gives_each_row_its_parameters_seed_and_batches(tmp_path):
    design = write_design(tmp_path, rows=[FAST])
    assert run_sim(design, tmp_path / "sweep", "--batch-size", "3").returncode == 0
    (entry,) = read_sim_sweep(tmp_path / "sweep")
    # The documented rule: the parameter cells, canonical, in the order of their names.
    text = ("twolocus-sim\t1\tengine=\tfitness=valley.tsv\tgenerations=300\tk=0.5\tmu=0.001\t"
            "population-size=200\trecombination=0.1\trecord-every=0")
    text = "\t".join(field for field in text.split("\t") if not field.endswith("="))
    digest = hashlib.sha256(text.encode()).digest()
    assert entry["seed"] == 1 + int.from_bytes(digest[:8], "big") % 2147483647
    assert entry["parameters"] == {
        "population-size": "200", "generations": "300", "fitness": "valley.tsv", "k": "0.5",
        "mu": "0.001", "mu-b21": "", "recombination": "0.1", "record-every": "0",
        "engine": "", "replicates": "5", "tag_kind": "x", "seed": str(entry["seed"])}
    assert [(b["run"], b["first_replicate"], b["replicates"], b["state"])
            for b in entry["batches"]] == [("fast_0-2", 0, 3, "done"), ("fast_3-4", 3, 2, "done")]
    assert entry["done"] == 5 and len(row_table(entry)[1]) == 5
    command = manifest(tmp_path / "sweep")[1]["command"]
    assert command == (f"{SIM} --population-size=200 --generations=300 "
                       "--fitness=../../inputs/valley.tsv -k 0.5 --mu=0.001 "
                       f"--recombination=0.1 --record-every=0 --seed={entry['seed']} "
                       "--replicates=2 --first-replicate=3 --output=batch")
    # Another spelling of the same values is the same sweep; the rows' order does not matter.
    respelled = write_design(tmp_path / "other", rows=[FAST.replace("1e-3", "0.0010").replace(
        "\t200\t", "\t+200\t")])
    assert run_sim(respelled, tmp_path / "sweep", "--batch-size", "3").returncode == 0

    # More replicates: new batches after the old ones, which are kept as they are.
    grown = write_design(tmp_path, rows=[FAST.replace("\t5\tx", "\t9\tx")], name="grown.tsv")
    assert run_sim(grown, tmp_path / "sweep", "--batch-size", "2").returncode == 0
    assert [r["run"] for r in manifest(tmp_path / "sweep")] == [
        "fast_0-2", "fast_3-4", "fast_5-6", "fast_7-8"]
    assert len(row_table(read_sim_sweep(tmp_path / "sweep")[0])[1]) == 9
    # A changed value or fewer replicates is refused; so is a classic run on the folder.
    for rows, message in [
            ([FAST.replace("\t0.5\t", "\t0.4\t").replace("\t5\tx", "\t9\tx")],
             f"Batch [fast_0-2] of [{tmp_path / 'sweep'}] would change: [k] was [0.5], now [0.4]."),
            ([FAST.replace("\t5\tx", "\t4\tx")],
             f"Row [fast] of [{tmp_path / 'sweep'}] has 9 replicates; the design gives it 4.")]:
        refused = run_sim(write_design(tmp_path, rows=rows, name="changed.tsv"),
                          tmp_path / "sweep")
        assert refused.returncode == 1 and refused.stderr.splitlines()[0] == message
    classic = sweep("run", grown, tmp_path / "sweep")
    assert classic.stderr == (f"Sweep folder [{tmp_path / 'sweep'}] is a sweep of twolocus-sim; "
                              "give --sim.\n")

    # A seed column gives a row its seed as it is.
    seeded = write_design(tmp_path, rows=[FAST + "\t-7"], header=HEADER + "\tseed",
                          name="seeded.tsv")
    assert run_sim(seeded, tmp_path / "seeded").returncode == 0
    assert read_sim_sweep(tmp_path / "seeded")[0]["seed"] == -7
    assert " --seed=-7 --replicates=5 " in manifest(tmp_path / "seeded")[0]["command"]

    # grid --sim: twolocus-sim's columns first, in its order, files relative to the design.
    (tmp_path / "grid").mkdir()
    made = sweep("grid", "--sim", "replicates=2", f"initial={tmp_path / 'valley.tsv'}:4",
                 "generations=10", "population-size=10,20", f"fitness={VALLEY}", "-o",
                 tmp_path / "grid" / "design.tsv", cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    relative = os.path.relpath(VALLEY, tmp_path / "grid")
    assert (tmp_path / "grid" / "design.tsv").read_text().splitlines() == [
        "name\tpopulation-size\tgenerations\tfitness\tinitial\treplicates",
        f"population.size10\t10\t10\t{relative}\t../valley.tsv:4\t2",
        f"population.size20\t20\t10\t{relative}\t../valley.tsv:4\t2"]


def test_a_design_for_twolocus_sim_refuses_classic_columns_and_bad_cells_line_by_line(tmp_path):
    def errors(header, *rows):
        design = write_design(tmp_path, rows=rows, header=header)
        result = run_sim(design, tmp_path / "out")
        assert (result.returncode, result.stdout) == (1, "")
        assert not (tmp_path / "out").exists()
        return [line.replace(f" of [{design}]", "") for line in result.stderr.splitlines()]

    assert errors("name\tN\tn\tfitness\ts\tk\ta12\tb13\treplicates\ttrajectories") == [
        "Line 1: [N], [n], [a12], [b13] are columns of the classic programs; twolocus-sim's are "
        "[population-size], [generations], [mu-a12], [mu-b13], in its units.",
        "Line 1, column 10: unknown column [trajectories] for twolocus-sim; "
        "extra columns start with [tag_]."]
    assert errors("name\tfitness-values\treplicates\ta23") == [
        "Line 1: [a23] is a column of the classic programs; twolocus-sim's is [mu-a23], "
        "in its units.", "Line 1: no column [population-size].", "Line 1: no column [generations]."]
    header = ("population-size\tgenerations\tfitness\tfitness-values\tk\tmu-a12\tmu-a13\t"
              "weights\tinitial\tstop\twatch\treplicates")
    assert errors(header,
                  "1e3\t10\tvalley.tsv\t\t2000\t0.5\t0.6\tround\tnone.tsv:5\t\t\t2",
                  "10\t10\tvalley.tsv\tvalley.tsv\t0\t0\t0\t\t\t\t\t1",
                  "10\t10\t\tvalley.tsv\t\t0.5\t0.5\t\t\th22 >= 0.5; a1 = 1\t\t0",
                  "10\t\t\tvalley.tsv\t0.5\t0.5\t0.6\t\tvalley.tsv:3\th22>=.5;extinct\t"
                  "count(2222) > 0\t1") == [
        "Line 2, column 1 (population-size): [1e3] is not a whole number.",
        "Line 2, column 5 (k): [2000] is not from -1 to 1000.",
        "Line 2, column 8 (weights): [round] is not exact or floor.",
        "Line 2, column 9 (initial): could not open initial file [none.tsv] to read.",
        "Line 3: give one of [fitness] and [fitness-values], not both.",
        "Line 4, column 10 (stop): Could not read the condition [a1 = 1]: "
        "an unexpected character at character 4.",
        "Line 4, column 12 (replicates): [0] is not from 1 to 2147483647.",
        "Line 5: [k] is only for [fitness], not [fitness-values].",
        "Line 5: no value of [generations].",
        "Line 5: the mutation rates out of allele 1 at locus a sum to 1.1000000000000001, "
        "more than 1."]


def test_several_conditions_in_one_cell_become_one_option_each(tmp_path):
    design = write_design(tmp_path, rows=[FAST], header=HEADER + "\tstop\twatch")
    design.write_text(design.read_text().replace(
        "\tx\n", "\tx\th22 >= 0.5 ; extinct\tcount(2222) > 0\n"))
    result = run_sim(design, tmp_path / "sweep")
    command = manifest(tmp_path / "sweep")[0]["command"]
    assert "'--stop=h22 >= 0.5' --stop=extinct '--watch=count(2222) > 0' --seed=" in command
    assert manifest(tmp_path / "sweep")[0]["stop"] == "h22 >= 0.5;extinct"
    help_text = subprocess.run([SIM, "--help"], capture_output=True, text=True).stdout
    if "--stop" in help_text:
        assert result.returncode == 0, result.stderr
        header, rows = tables(tmp_path / "sweep")["fast"]
        assert header[5:8] == ["h22 >= 0.5", "extinct", "count(2222) > 0"]
        # A stopped replicate ends at the first label that meets its condition.
        stopped = [row for row in rows if row[2] == "h22 >= 0.5"]
        assert stopped and all(row[3] == row[5] and int(row[4]) == int(row[3]) + 1 < 300
                               for row in stopped)
    else:  # a twolocus-sim without conditions refuses the option, batch by batch
        assert result.returncode == 1 and "unknown option [--stop]" in result.stdout


def test_conditions_given_twice_a_missing_sweep_and_the_values_printed(tmp_path):
    # Several conditions go in one cell, and the messages say so.
    done = sweep("grid", "--sim", "population-size=10", "generations=5", f"fitness={VALLEY}",
                 "stop=a1 < 1", "stop=b1 < 1", "replicates=2", "-o", tmp_path / "d.tsv")
    assert (done.returncode, done.stderr) == (
        1, "Column [stop] is given twice. Several conditions go in one value, separated by "
           "[;]: 'stop=h22 >= 0.5;a3 == 1'.\n")
    design = write_design(tmp_path, rows=[FAST.replace("\tx", "\tx\ta1 < 1\tb1 < 1")],
                          header=HEADER + "\twatch\twatch")
    done = run_sim(design, tmp_path / "out")
    assert done.stderr == (f"Line 1, column 14 of [{design}]: column [watch] is also column "
                           "13. Several conditions go in one cell, separated by [;].\n")
    # A sweep folder that is missing is said to be missing, whatever else is given.
    for name in ("twolocus-stats", "twolocus-plot"):
        done = command(name, "--sweep", tmp_path / "missing", "--by", "N", "--by", "r",
                       "--first", "a1 < 1", "-o", tmp_path / "o.png")
        assert (done.returncode, done.stdout, done.stderr) == (
            1, "", f"Could not open the sweep folder [{tmp_path / 'missing'}].\n")
    # The design's canonical 0.0 and 1E-4 print as 0 and 0.0001, as the batches' files give them.
    other = FAST.replace("fast", "other").replace("\t0.1\t", "\t1E-4\t")
    design = write_design(tmp_path, rows=[FAST.replace("\t0.1\t", "\t0\t"), other],
                          header=HEADER + "\tstop", name="r.tsv")
    design.write_text(design.read_text().replace("\tx\n", "\tx\ta2 > 0\n").replace("\ty\n",
                                                                                   "\ty\ta2 > 0\n"))
    assert run_sim(design, tmp_path / "r").returncode == 0
    by_sweep = command("twolocus-stats", "--sweep", tmp_path / "r", "--by", "recombination")
    by_files = command("twolocus-stats", *sorted(tmp_path.glob("r/runs/*/batch.summary.tsv")),
                       "--by", "recombination")
    assert by_sweep.stdout == by_files.stdout
    assert [line.split("\t")[0] for line in by_sweep.stdout.splitlines()] == [
        "recombination", "0", "0.0001"]
