"""The design file's checks, grid, and the documented seed function."""

import hashlib
import os
import subprocess

from conftest import BUILD
from sweep_helpers import HEADER, PROGRAM, manifest, run_local, sweep, write_design
from twolocus.design import read_design
from twolocus.seeds import assign_seeds, derived_seed

PARAMS = {"fitness": "valley.tsv", "column": "1", "s": "0", "k": "50", "n": "4000", "N": "1000",
          "a12": "1000000", "a23": "10000", "a13": "1000000", "b12": "1000000", "b23": "10000",
          "b13": "1000000"}


def test_every_design_problem_is_reported_with_its_line_and_column_and_nothing_starts(tmp_path):
    design = write_design(tmp_path)
    good = design.read_text().splitlines()
    # Header problems come alone: an unknown column, a repeated one, a missing one.
    (tmp_path / "bad-header.tsv").write_text(
        HEADER.replace("\tb13", "\tb31").replace("tag_kind", "kind") + "\ts\n")
    result = run_local(tmp_path / "bad-header.tsv", tmp_path / "out")
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.splitlines() == [
        f"Line 1, column 13 of [{tmp_path}/bad-header.tsv]: unknown column [b31]; "
        "extra columns start with [tag_].",
        f"Line 1, column 15 of [{tmp_path}/bad-header.tsv]: unknown column [kind]; "
        "extra columns start with [tag_].",
        f"Line 1, column 16 of [{tmp_path}/bad-header.tsv]: column [s] is also column 4.",
        f"Line 1 of [{tmp_path}/bad-header.tsv]: no column [b13].",
    ]
    (tmp_path / "both.tsv").write_text(HEADER + "\tseed\n")
    assert sweep("run", tmp_path / "both.tsv", tmp_path / "out").stderr.endswith(
        "give a column [replicates] or a column [seed], not both.\n")
    # Cell problems: all of them at once, each with line, column and name.
    rows = [good[0],
            good[1].replace("\t1000\t", "\t1e3\t"),                  # N not an integer
            good[2].replace("slow", "cross").replace("\t5\t", "\t-5\t"),  # name again, s < 0
            "x\tnone.tsv\t1\t0\t0\t10\t10\t0\t0\t0\t0\t0\t3000000000\t0\tt",
            "short\tvalley.tsv\t1"]
    (tmp_path / "bad.tsv").write_text("\n".join(rows) + "\n")
    result = run_local(tmp_path / "bad.tsv", tmp_path / "out")
    where = f"of [{tmp_path}/bad.tsv]"
    assert result.returncode == 1
    assert result.stderr.splitlines() == [
        f"Line 2, column 7 (N) {where}: [1e3] is not an integer.",
        f"Line 3, column 4 (s) {where}: [-5] is below [0].",
        f"Line 3, column 1 (name) {where}: name [cross] is also on line 2.",
        f"Line 4, column 2 (fitness) {where}: could not open fitness file [none.tsv] to read.",
        f"Line 4, column 13 (b13) {where}: [3000000000] is above [2147483647].",
        f"Line 4, column 14 (replicates) {where}: [0] is below [1].",
        f"Line 5 {where}: 3 fields, the header has 15.",
    ]
    assert not (tmp_path / "out").exists()


def test_grid_writes_the_product_with_names_and_fitness_relative_to_the_design(tmp_path):
    write_design(tmp_path)
    (tmp_path / "sub").mkdir()
    result = sweep("grid", f"fitness={tmp_path}/valley.tsv", "column=1", "s=0,1", "k=50",
                   "n=100", "N=10,100,1000", "rates=100", "replicates=2",
                   "-o", tmp_path / "sub" / "grid.tsv")
    assert result.returncode == 0, result.stderr
    design = read_design(str(tmp_path / "sub" / "grid.tsv"))
    assert design.columns[:3] == ["name", "fitness", "column"]
    assert [row["name"] for row in design.rows] == [
        "s0-N10", "s0-N100", "s0-N1000", "s1-N10", "s1-N100", "s1-N1000"]
    assert {row["fitness"] for row in design.rows} == {"../valley.tsv"}
    assert all(row["b13"] == "100" and row["replicates"] == "2" for row in design.rows)
    bad = sweep("grid", "fitness=valley.tsv", "s=x", "-o", tmp_path / "g.tsv")
    assert bad.returncode == 1 and "no column [column]" in bad.stderr


def test_grid_names_are_unique_and_bad_designs_and_folders_leave_nothing(tmp_path):
    write_design(tmp_path)
    for sub in ("g1", "g2"):
        (tmp_path / sub).mkdir()
        (tmp_path / sub / "v.tsv").write_bytes((tmp_path / "valley.tsv").read_bytes())
    made = sweep("grid", "fitness=g1/v.tsv,g2/v.tsv", "column=1", "s=0", "k=50", "n=10", "N=10",
                 "rates=0", "replicates=1", "tag_x=a-b,a.b", "-o", "g.tsv", cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    assert [row["name"] for row in read_design(str(tmp_path / "g.tsv")).rows] == [
        "fitnessg1.v-tag.xa.b", "fitnessg1.v-tag.xa.b-2",
        "fitnessg2.v-tag.xa.b", "fitnessg2.v-tag.xa.b-2"]
    bad = sweep("grid", "fitness=g1/v.tsv", "column=1", "s=0,x", "k=50", "n=10", "N=10",
                "rates=0", "replicates=1", "-o", "bad.tsv", cwd=tmp_path)
    assert bad.returncode == 1 and not (tmp_path / "bad.tsv").exists()
    # Control characters and line separators would break the manifest's lines.
    lines = (tmp_path / "design.tsv").read_text().splitlines()
    (tmp_path / "odd.tsv").write_text("\n".join(
        [lines[0], lines[1].replace("fast", "fa\u2028st"), lines[2].replace("slow", "sl\x0bow")])
        + "\n")
    result = sweep("run", tmp_path / "odd.tsv", tmp_path / "out")
    assert (result.returncode, result.stderr.splitlines()) == (1, [
        f"Line 2, column 15 (tag_kind) of [{tmp_path}/odd.tsv]: "
        "a control character (U+2028) is not allowed.",
        f"Line 3, column 1 (name) of [{tmp_path}/odd.tsv]: "
        "a control character (U+000B) is not allowed.",
        f"Line 3, column 15 (tag_kind) of [{tmp_path}/odd.tsv]: "
        "a control character (U+000B) is not allowed."])
    (tmp_path / "afile").write_text("")
    for folder in ("afile", "afile/sub"):
        result = sweep("run", "design.tsv", folder, cwd=tmp_path)
        assert (result.returncode, result.stderr) == (
            1, f"Could not create the sweep folder [{folder}].\n")
    zero = sweep("run", "design.tsv", "out", "--slurm", "--throttle", "0", cwd=tmp_path)
    assert zero.stderr == ("Argument --throttle: [0] is not a whole number of at least 1. "
                           "See [twolocus-sweep run --help].\n")

def test_seeds_follow_the_documented_function_whatever_the_rows_position():
    text = "\t".join(["7", *PARAMS.values(), "2"])
    digest = hashlib.sha256(text.encode()).digest()
    assert derived_seed(7, PARAMS, 2) == 1 + int.from_bytes(digest[:8], "big") % 2147483647
    assert derived_seed(7, dict(PARAMS, s="1"), 2) != derived_seed(7, PARAMS, 2)

    def runs(rows):
        return [dict(values, replicate=r, seed=None, name=name)
                for name, values, count in rows for r in range(1, count + 1)]

    other = dict(PARAMS, N="100")
    first = runs([("a", PARAMS, 3), ("b", other, 2)])
    assign_seeds(7, first)
    # Rows swapped, more replicates, a new row: the earlier runs keep their seeds.
    second = runs([("b", other, 4), ("a", PARAMS, 5), ("c", dict(PARAMS, k="1"), 1)])
    assign_seeds(7, second)
    seeds = {(r["name"], r["replicate"]): r["seed"] for r in second}
    assert all(seeds[(r["name"], r["replicate"])] == r["seed"] for r in first)
    assert all(1 <= seed <= 2147483647 for seed in seeds.values())
    # Two rows with the same values: the later one takes the next attempts.
    twins = runs([("a", PARAMS, 2), ("twin", PARAMS, 2)])
    assign_seeds(7, twins)
    assert [r["seed"] for r in twins] == [derived_seed(7, PARAMS, 1), derived_seed(7, PARAMS, 2),
                                         derived_seed(7, PARAMS, 1, 1),
                                         derived_seed(7, PARAMS, 2, 1)]
    explicit = runs([("a", PARAMS, 1)])
    explicit[0]["seed"] = 5
    assign_seeds(7, explicit)
    assert explicit[0]["seed"] == 5


def test_explicit_seeds_and_the_program_column(tmp_path):
    write_design(tmp_path)
    os.symlink(PROGRAM, tmp_path / "sim")
    lines = ["name\tfitness\tcolumn\ts\tk\tn\tN\ta12\ta23\ta13\tb12\tb23\tb13\tseed\tprogram",
             "one\tvalley.tsv\t1\t0\t50\t300\t50\t0\t0\t0\t0\t0\t0\t2222\t./sim",
             "two\tvalley.tsv\t1\t0\t50\t300\t50\t0\t0\t0\t0\t0\t0\t0\tmissing-program"]
    (tmp_path / "seeded.tsv").write_text("\n".join(lines) + "\n")
    result = run_local(tmp_path / "seeded.tsv", tmp_path / "out")
    assert result.returncode == 1 and result.stderr == (
        f"Line 3, column 15 (program) of [{tmp_path}/seeded.tsv]: "
        "could not find the program [missing-program].\n")
    (tmp_path / "seeded.tsv").write_text("\n".join(lines[:2]) + "\n")
    assert run_local(tmp_path / "seeded.tsv", tmp_path / "out").returncode == 0
    command = (tmp_path / "out" / "manifest.tsv").read_text().splitlines()[1].split("\t")[-1]
    assert command.endswith("/sim ../../fitness/valley.tsv 1 0 50 300 50 0 0 0 0 0 0 trajectory 2222")


def test_the_installed_command_runs_the_installed_program(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                   capture_output=True)
    assert (prefix / "share" / "man" / "man1" / "twolocus-sweep.1").exists()
    lines = ["fitness\tcolumn\ts\tk\tn\tN\ta12\ta23\ta13\tb12\tb23\tb13\treplicates",
             "valley.tsv\t1\t0\t50\t300\t50\t0\t0\t0\t0\t0\t0\t2"]
    write_design(tmp_path).write_text("\n".join(lines) + "\n")
    result = subprocess.run([prefix / "bin" / "twolocus-sweep", "run", "design.tsv", "out"],
                            cwd=tmp_path, capture_output=True, text=True, env=dict(
                                os.environ, PATH="/usr/bin:/bin"))
    assert result.returncode == 0, result.stderr
    assert manifest(tmp_path / "out")[0]["command"].startswith(f"{prefix}/bin/twolocus ")
