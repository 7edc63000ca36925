"""The trajectory and parameter readers on files the program itself writes."""

from pathlib import Path

import numpy as np
import pytest

from conftest import fresh, records, resume
from twolocus.errors import TwolocusError
from twolocus.runfiles.params import read_params
from twolocus.runfiles.trajectory import read_trajectory


def kill_inside_last_record(path, entries):
    """Cuts the last record after its label and `entries` counts, as a kill
    between two flushed fields leaves it (entries = 81: before its newline)."""
    text = path.read_text()
    start = text.rstrip("\n").rfind("\n") + 1
    path.write_text(text[:start] + "\t".join(text[start:].split("\t")[:entries + 1]).rstrip("\n"))


def rows(path):
    trajectory = read_trajectory(str(path))
    return trajectory.labels, trajectory.generations


def labels(path):
    return [r[0] if r else None for r in records(path)]


def test_fresh_runs_count_rounds_and_equal_counts_never_merge(tmp_path):
    # Record g (a multiple of 200) holds g + 1 rounds, a final record n holds n.
    assert rows(fresh(tmp_path / "n0", 0)) == ([], [])
    assert rows(fresh(tmp_path / "n1", 1)) == ([0], [1])  # record 1 repeats record 0
    assert rows(fresh(tmp_path / "n200", 200)) == ([0], [1])
    assert rows(fresh(tmp_path / "n401", 401)) == ([0, 200, 400], [1, 201, 401])
    assert rows(fresh(tmp_path / "n450", 450)) == ([0, 200, 400, 450], [1, 201, 401, 450])
    trajectory = read_trajectory(str(tmp_path / "n450"))
    assert trajectory.counts.dtype == np.int64 and trajectory.counts.shape == (4, 81)
    assert trajectory.counts.tolist() == [r[1:] for r in records(tmp_path / "n450")]
    assert trajectory.partial_last is None and trajectory.line_numbers == [2, 3, 4, 5]
    path = fresh(tmp_path / "still", 801, rates=["0"] * 6)  # all 1111 throughout
    assert rows(path) == ([0, 200, 400, 600, 800], [1, 201, 401, 601, 801])


def test_resumes_continue_the_round_count(tmp_path):
    path = fresh(tmp_path / "run", 450)
    resume(path, 1001)  # empty line, 450 again, then 600 .. 1000 and the final 1001
    assert records(path)[4] == [] and records(path)[5] == records(path)[3]
    # From the final record 450 the resume runs generation 451 onwards, so
    # record 600 holds 450 + 150 rounds, and 1001 (after generation 1000)
    # holds what record 1000 holds.
    assert rows(path) == ([0, 200, 400, 450, 600, 800, 1000],
                          [1, 201, 401, 450, 600, 800, 1000])
    resume(path, 1500)  # a resume of a resumed file, from its record 1001
    assert rows(path) == ([0, 200, 400, 450, 600, 800, 1000, 1200, 1400, 1500],
                          [1, 201, 401, 450, 600, 800, 1000, 1199, 1399, 1498])
    resume(path)  # nothing to do (n = 450 from .params): 1500 again and 1501
    assert labels(path)[-4:] == [1500, None, 1500, 1501]
    assert rows(path)[1][-1] == 1498 and len(rows(path)[0]) == 10
    path = fresh(tmp_path / "run199", 199)
    resume(path)  # nothing to do before a multiple of 200: the empty line and 199 again
    assert labels(path) == [0, 199, None, 199] and rows(path) == ([0, 199], [1, 199])


def test_killed_runs_and_their_resumes(tmp_path):
    path = fresh(tmp_path / "run", 1001)
    kill_inside_last_record(path, 28)
    trajectory = read_trajectory(str(path))
    assert trajectory.partial_last == 28
    assert (trajectory.labels, trajectory.generations) == ([0, 200, 400, 600, 800, 1000],
                                                           [1, 201, 401, 601, 801, 1001])
    kill_inside_last_record(path, 0)  # the label alone
    assert read_trajectory(str(path)).partial_last == 0
    resume(path)  # ends the partial line, repeats record 1000, writes 1001
    assert len(records(path)[-3]) == 1 and records(path)[-2] == records(path)[-4]
    assert rows(path) == ([0, 200, 400, 600, 800, 1000], [1, 201, 401, 601, 801, 1001])
    assert read_trajectory(str(path)).partial_last is None
    # A record killed before its newline is kept.
    path = fresh(tmp_path / "run800", 800)
    kill_inside_last_record(path, 81)
    assert rows(path) == ([0, 200, 400, 600], [1, 201, 401, 601])
    resume(path, 1000)  # the resume's newline ends record 600; 600 again follows
    assert records(path)[3][0] == records(path)[4][0] == 600
    assert rows(path) == ([0, 200, 400, 600, 800], [1, 201, 401, 601, 801])
    # A kill just after a TAB: left out at the end, and resumed from like any cut.
    path = fresh(tmp_path / "run401", 401)
    lines = path.read_text().split("\n")
    path.write_text("\n".join(lines[:3] + ["\t".join(lines[2].split("\t")[:10]) + "\t"]))
    assert read_trajectory(str(path)).partial_last == 9
    resume(path)
    assert rows(path) == ([0, 200, 400], [1, 201, 401])


def record(label, count):
    return lambda lines: ["\t".join([label, count] + lines[2].split("\t")[2:])]


@pytest.mark.parametrize("line, cut, damage", [
    (1, (0, 1), lambda l: [l[0].replace("2111", "2112")]), (1, (0, None), lambda l: []),
    (3, (2, 3), lambda l: [l[2].replace("\t", "\tx", 1)]), (3, (2, 3), lambda l: [l[2] + "\t1"]),
    (3, (2, 3), lambda l: [l[2][:40]]),  # incomplete, not last
    (4, (3, 3), lambda l: [""]),  # an empty line not before a repeat
    (5, (4, 4), lambda l: [l[2]]),  # a label going back
    # Every field is printed with %d: more than 10 digits, or beyond 32 bits, is damage.
    (3, (2, 3), record("1" * 5000, "0")), (3, (2, 3), record("200", "9" * 20)),
    (3, (2, 3), record("2147483648", "0")), (3, (2, 3), record("10" + "0" * 400, "0")),
])
def test_damaged_files_name_the_line(tmp_path, line, cut, damage):
    path = fresh(tmp_path / "run", 1000)
    lines = path.read_text().split("\n")
    lines[slice(*cut)] = damage(lines)
    path.write_text("\n".join(lines))
    with pytest.raises(TwolocusError) as error:
        read_trajectory(str(path))
    assert str(error.value) == f"Line {line} of [{path}] is not a trajectory record."


def test_a_missing_file_a_negative_count_and_params(tmp_path):
    with pytest.raises(TwolocusError, match=r"^Could not open trajectory file \[.*nothing\] "
                                            r"to read\.$"):
        read_trajectory(str(tmp_path / "nothing"))
    path = fresh(tmp_path / "run", 401)
    lines = path.read_text().split("\n")
    # A resume repeats a hand-made checkpoint's negative count as it reads it.
    path.write_text("\n".join(lines[:3] + record("400", "-3")(lines) + [""]))
    assert read_trajectory(str(path)).counts[-1][0] == -3
    params = read_params(f"{path}.params")
    assert (params["s"], params["k"], params["n"], params["N"]) == (0.05, 0.1, 401, 50)
    assert params["rates"] == {key: 0.001 for key in ("a0", "a1", "a2", "b0", "b1", "b2")}
    assert params["fitness"].tolist() == [1.0] * 81 and params["seed"] is None
    lines = (tmp_path / "run.params").read_text().split("\n")
    (tmp_path / "run.params").write_text("\n".join(lines[:-1] + ["seed = 7", ""]))
    assert read_params(f"{path}.params")["seed"] == 7
    for broken, message in [(lines[1:], r"Line 1 of \[.*\] is not of the right format\."),
                            ([lines[0].replace("[401]", "[4O1]")] + lines[1:],
                             r"^Line 1 of \[.*\] is not of the right format"),
                            (lines[:2] + lines[3:], r"Mutation rates of \[.*\] are incomplete\."),
                            (lines[:-2], r"Fitnesses of \[.*\] are incomplete\."),
                            (lines[:9] + ["9 -> 1 x"] + lines[9:], r"Line 10 of \[.*\] is not")]:
        (tmp_path / "run.params").write_text("\n".join(broken))
        with pytest.raises(TwolocusError, match=message):
            read_params(f"{path}.params")


CASES = Path(__file__).resolve().parents[2] / "tests" / "cases" / "params"


def test_the_shared_params_cases_get_the_programs_verdicts():
    # verdicts.tsv holds what twolocus itself printed for each case (the C++
    # tests run the same table); the tools' messages leave out its first sentence.
    rows = [line.split("\t") for line in (CASES / "verdicts.tsv").read_text().splitlines()[1:]]
    assert len(rows) == len(list(CASES.glob("*.params"))) > 30
    for name, verdict in rows:
        path = str(CASES / name)
        if verdict == "ok":
            params = read_params(path)
            assert len(params["rates"]) == 6 and not np.isnan(params["fitness"]).any(), name
            continue
        with pytest.raises(TwolocusError) as error:
            read_params(path)
        expected = verdict.format(file=path).removeprefix("You have to reenter the parameters.  ")
        assert str(error.value) == expected, name
    seeds = {name: read_params(str(CASES / name))["seed"]
             for name in ("as_written.params", "seed.params", "seed_negative_limit.params")}
    assert seeds == {"as_written.params": None, "seed.params": 5,
                     "seed_negative_limit.params": -2147483648}
    n_and_N = [(p["n"], p["N"]) for p in map(read_params, [
        str(CASES / "line1_n_beyond_32_bits.params"), str(CASES / "line1_n_beyond_long.params")])]
    assert n_and_N == [(2, 10), (-1, 10)]  # the low 32 bits, as the program keeps them
