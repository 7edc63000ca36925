"""The design file's checks, grid, and the documented seed function."""

import hashlib
import os

from sweep_helpers import HEADER, PROGRAM, run_local, sweep, write_design
from twolocus.sweeps.design import read_design
from twolocus.sweeps.kinds import CLASSIC
from twolocus.sweeps.seeds import assign_seeds, derived_seed

PARAMS = {"fitness": "valley.tsv", "column": "1", "s": "0", "k": "50", "n": "4000", "N": "1000",
          "a12": "1000000", "a23": "10000", "a13": "1000000", "b12": "1000000", "b23": "10000",
          "b13": "1000000"}


def test_every_design_problem_is_reported_with_its_line_and_column_and_nothing_starts(tmp_path):
    good = write_design(tmp_path).read_text().splitlines()

    def errors(name, lines, *args):
        (tmp_path / name).write_text("\n".join(lines) + "\n")
        result = run_local(tmp_path / name, tmp_path / "out", *args)
        assert (result.returncode, result.stdout) == (1, "")
        return [line.replace(f"of [{tmp_path}/{name}]", "of []")
                for line in result.stderr.splitlines()]

    # Header problems come alone: an unknown column, a repeated one, a missing one.
    assert errors("head.tsv", [HEADER.replace("\tb13", "\tb31").replace("tag_kind", "kind")
                               + "\ts"]) == [
        "Line 1, column 13 of []: unknown column [b31]; extra columns start with [tag_].",
        "Line 1, column 15 of []: unknown column [kind]; extra columns start with [tag_].",
        "Line 1, column 16 of []: column [s] is also column 4.",
        "Line 1 of []: no column [b13]."]
    assert errors("both.tsv", [HEADER + "\tseed"])[-1].endswith(
        "give a column [replicates] or a column [seed], not both.")
    # Cell problems: all of them at once, each with line, column and name.
    assert errors("bad.tsv", [
        good[0], good[1].replace("\t1000\t", "\t1e3\t"),             # N not an integer
        good[2].replace("slow", "cross").replace("\t5\t", "\t-5\t"),  # name again, s < 0
        "x\tnone.tsv\t1\t0\t0\t10\t10\t0\t0\t0\t0\t0\t3000000000\t0\tt",
        "short\tvalley.tsv\t1"]) == [
        "Line 2, column 7 (N) of []: [1e3] is not an integer.",
        "Line 3, column 4 (s) of []: [-5] is below [0].",
        "Line 3, column 1 (name) of []: name [cross] is also on line 2.",
        "Line 4, column 2 (fitness) of []: could not open fitness file [none.tsv] to read.",
        "Line 4, column 13 (b13) of []: [3000000000] is above [2147483647].",
        "Line 4, column 14 (replicates) of []: [0] is below [1].",
        "Line 5 of []: 3 fields, the header has 15."]
    # Control characters and line separators would break the manifest's lines.
    assert errors("odd.tsv", [good[0], good[1].replace("fast", "fa\u2028st"),
                              good[2].replace("slow", "sl\x0bow")]) == [
        "Line 2, column 15 (tag_kind) of []: a control character (U+2028) is not allowed.",
        "Line 3, column 1 (name) of []: a control character (U+000B) is not allowed.",
        "Line 3, column 15 (tag_kind) of []: a control character (U+000B) is not allowed."]
    assert errors("design.tsv", good, "--slurm", "--throttle", "0") == [
        "Argument --throttle: [0] is not a whole number of at least 1. "
        "See [twolocus-sweep run --help]."]
    os.symlink(PROGRAM, tmp_path / "sim")
    seeded = ["name\tfitness\tcolumn\ts\tk\tn\tN\ta12\ta23\ta13\tb12\tb23\tb13\tseed\tprogram",
              "one\tvalley.tsv\t1\t0\t50\t300\t50\t0\t0\t0\t0\t0\t0\t2222\t./sim",
              "two\tvalley.tsv\t1\t0\t50\t300\t50\t0\t0\t0\t0\t0\t0\t0\tmissing-program"]
    assert errors("seeded.tsv", seeded) == [
        "Line 3, column 15 (program) of []: could not find the program [missing-program]."]
    assert not (tmp_path / "out").exists()
    # Explicit seeds and a program per row, relative to the design.
    (tmp_path / "seeded.tsv").write_text("\n".join(seeded[:2]) + "\n")
    assert run_local(tmp_path / "seeded.tsv", tmp_path / "out").returncode == 0
    command = (tmp_path / "out" / "manifest.tsv").read_text().splitlines()[1].split("\t")[-1]
    assert command.endswith("/sim ../../fitness/valley.tsv 1 0 50 300 50 0 0 0 0 0 0 trajectory 2222")
    (tmp_path / "afile").write_text("")
    for folder in ("afile", "afile/sub"):
        result = sweep("run", "design.tsv", folder, cwd=tmp_path)
        assert (result.returncode, result.stderr) == (
            1, f"Could not create the sweep folder [{folder}].\n")


def test_grid_writes_the_product_with_unique_names_and_fitness_relative_to_the_design(tmp_path):
    write_design(tmp_path)
    for sub in ("sub", "g1", "g2"):
        (tmp_path / sub).mkdir()
        (tmp_path / sub / "v.tsv").write_bytes((tmp_path / "valley.tsv").read_bytes())
    result = sweep("grid", f"fitness={tmp_path}/valley.tsv", "column=1", "s=0,1", "k=50",
                   "n=100", "N=10,100,1000", "rates=100", "replicates=2",
                   "-o", tmp_path / "sub" / "grid.tsv")
    assert result.returncode == 0, result.stderr
    design = read_design(CLASSIC, str(tmp_path / "sub" / "grid.tsv"))
    assert design.columns[:3] == ["name", "fitness", "column"]
    assert [row["name"] for row in design.rows] == [
        "s0-N10", "s0-N100", "s0-N1000", "s1-N10", "s1-N100", "s1-N1000"]
    assert {row["fitness"] for row in design.rows} == {"../valley.tsv"}
    assert all(row["b13"] == "100" and row["replicates"] == "2" for row in design.rows)
    made = sweep("grid", "fitness=g1/v.tsv,g2/v.tsv", "column=1", "s=0", "k=50", "n=10", "N=10",
                 "rates=0", "replicates=1", "tag_x=a-b,a.b", "-o", "g.tsv", cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    assert [row["name"] for row in read_design(CLASSIC, str(tmp_path / "g.tsv")).rows] == [
        "fitnessg1.v-tag.xa.b", "fitnessg1.v-tag.xa.b-2",
        "fitnessg2.v-tag.xa.b", "fitnessg2.v-tag.xa.b-2"]
    bad = sweep("grid", "fitness=g1/v.tsv", "column=1", "s=0,x", "k=50", "n=10", "N=10",
                "rates=0", "replicates=1", "-o", "bad.tsv", cwd=tmp_path)
    assert bad.returncode == 1 and not (tmp_path / "bad.tsv").exists()
    bad = sweep("grid", "fitness=valley.tsv", "s=x", "-o", "g2.tsv", cwd=tmp_path)
    assert bad.returncode == 1 and "no column [column]" in bad.stderr
    # A classic fitness path with "WORD=" in it is a path, not a deme's value.
    (tmp_path / "N=1").mkdir()
    (tmp_path / "N=1" / "v.tsv").write_bytes((tmp_path / "valley.tsv").read_bytes())
    made = sweep("grid", "fitness=N=1/v.tsv", "column=1", "s=0", "k=50", "n=10", "N=10",
                 "rates=0", "replicates=1", "-o", tmp_path / "sub" / "eq.tsv", cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    assert read_design(CLASSIC, str(tmp_path / "sub" / "eq.tsv")).rows[0]["fitness"] == "../N=1/v.tsv"


def test_seeds_follow_the_documented_function_whatever_the_rows_position():
    text = "\t".join(["7", *PARAMS.values(), "2"])
    digest = hashlib.sha256(text.encode()).digest()
    assert derived_seed(7, PARAMS, 2) == 1 + int.from_bytes(digest[:8], "big") % 2147483647
    assert derived_seed(7, dict(PARAMS, s="1"), 2) != derived_seed(7, PARAMS, 2)

    def seeds(rows, seed=None):
        runs = [dict(values, replicate=r, seed=seed, name=name)
                for name, values, count in rows for r in range(1, count + 1)]
        assign_seeds(7, runs)
        return {(r["name"], r["replicate"]): r["seed"] for r in runs}

    other = dict(PARAMS, N="100")
    first = seeds([("a", PARAMS, 3), ("b", other, 2)])
    # Rows swapped, more replicates, a new row: the earlier runs keep their seeds.
    second = seeds([("b", other, 4), ("a", PARAMS, 5), ("c", dict(PARAMS, k="1"), 1)])
    assert first.items() <= second.items()
    assert all(1 <= seed <= 2147483647 for seed in second.values())
    # Two rows with the same values: the later one takes the next attempts.
    assert list(seeds([("a", PARAMS, 2), ("twin", PARAMS, 2)]).values()) == [
        derived_seed(7, PARAMS, 1), derived_seed(7, PARAMS, 2), derived_seed(7, PARAMS, 1, 1),
        derived_seed(7, PARAMS, 2, 1)]
    assert seeds([("a", PARAMS, 1)], seed=5) == {("a", 1): 5}



def test_limits_and_inputs_a_sweep_cannot_use_are_refused_in_one_line_each(tmp_path):
    good = write_design(tmp_path, replicates=1).read_text().splitlines()
    long_name = "n" * 253

    def refused(lines, *args, design="limits.tsv"):
        if lines is not None:
            (tmp_path / design).write_text("\n".join(lines) + "\n")
        result = run_local(tmp_path / design, tmp_path / "out", *args)
        assert (result.returncode, result.stdout) == (1, "")
        assert not (tmp_path / "out").exists()
        return result.stderr.replace(f"[{tmp_path}/{design}]", "[]")

    # A run folder is NAME_REPLICATE: 253 letters and "_10" do not fit a file name.
    assert refused([good[0], good[1].replace("cross", long_name).replace("\t1\tfast", "\t10\tfast")]) == (
        f"Line 2, column 1 (name) of []: the run name [{long_name}_10] is longer than 255 bytes, "
        "the longest file name.\n")
    assert refused([good[0], good[1].replace("\t1\tfast", "\t60000\tfast"),
                    good[2].replace("\t1\tslow", "\t2147483647\tslow")]) == (
        "[] has 2147543647 runs; a sweep holds at most 100000 runs.\n")
    assert refused(good, "--jobs", "abc") == (
        "Argument --jobs/-j: [abc] is not a number of runs at once: N, +N, -N or N%. "
        "See [twolocus-sweep run --help].\n")
    os.mkfifo(tmp_path / "fifo.tsv")
    assert refused(None, design="fifo.tsv") == "Design file [] is not a regular file.\n"
    assert refused([good[0], good[1].replace("valley.tsv", "fifo.tsv")]) == (
        "Line 2, column 2 (fitness) of []: fitness file [fifo.tsv] is not a regular file.\n")
    # The design may not be a file that the sweep rewrites.
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "manifest.tsv").write_text("\n".join(good) + "\n")
    result = run_local(tmp_path / "out" / "manifest.tsv", tmp_path / "out")
    assert (result.returncode, result.stderr) == (
        1, f"Output file [{tmp_path}/out/manifest.tsv] is the input file "
           f"[{tmp_path}/out/manifest.tsv].\n")
    assert (tmp_path / "out" / "manifest.tsv").read_text() == "\n".join(good) + "\n"
