"""The condition language, read and evaluated by the compiled module, against
the shared cases (the C++ tests pass the same file), and the message."""

import math
from pathlib import Path

import pytest

from twolocus.analysis.conditions import ConditionError, parse_condition
from twolocus.errors import TwolocusError
from twolocus.genotypes import LABELS

CASES = Path(__file__).resolve().parents[2] / "tests" / "cases" / "conditions" / "cases.tsv"


def fitness_preset(name):
    special = {"-": None, "ones": {}, "wide": {"1111": 2.0 ** 100, "2222": 2.0 ** -100},
               "cancel": {"1111": 1e300, "2222": -1e300, "2111": 1e-300},
               "inf1111": {"1111": math.inf}}
    if name == "mixed":
        return [(index + 1) / 10 for index in range(81)]
    if special[name] is None:
        return None
    return [special[name].get(label, 1.0) for label in LABELS]


def population(text):
    """A case's population: the demes together, and each deme named NAME:."""
    row, demes = [0] * 81, {}
    for pair in text.split() if text != "-" else []:
        counts = row
        if ":" in pair:
            name, pair = pair.split(":")
            counts = demes.setdefault(name, [0] * 81)
            if pair == "-":
                continue
        label, count = pair.split("=")
        counts[LABELS.index(label)] = int(count)
    return row, demes


def read_cases():
    lines = CASES.read_text(encoding="utf-8").splitlines()
    rows = [line.split("\t") for line in lines if not line.startswith("#")][1:]
    return [(text, *population(pop), fitness_preset(fit), expected)
            for text, pop, fit, expected in rows]


CASE_LIST = read_cases()


@pytest.mark.parametrize("text, counts, demes, fitness, expected", CASE_LIST,
                         ids=[case[0][:40] for case in CASE_LIST])
def test_shared_cases(text, counts, demes, fitness, expected):
    if expected.startswith("error:"):
        with pytest.raises(ConditionError) as raised:
            parse_condition(text)
        assert f"{raised.value.kind}@{raised.value.position}" == expected[len("error:"):]
        return
    condition = parse_condition(text)
    rows = {name: [deme] for name, deme in demes.items()}
    assert condition.holds([counts], fitness, rows).tolist() == [expected == "true"]
    assert condition.first([counts], fitness, rows) == (0 if expected == "true" else None)


def test_message_names_the_text_and_the_character():
    with pytest.raises(ConditionError, match=r"^Could not read the condition \[h22 >= 0\.5 "
                       r"0\.3\]: text after the end of the condition at character 12\.$"):
        parse_condition("h22 >= 0.5 0.3")


def test_stats_first_reads_the_whole_language(tmp_path):
    from conftest import command, fresh
    from twolocus.runfiles.params import read_params
    from twolocus.runfiles.trajectory import read_trajectory
    path = fresh(tmp_path / "run", 1001)
    trajectory = read_trajectory(path)
    fitness = read_params(f"{path}.params")["fitness"]
    text = "a1 < 0.97 and (count(1111) >= 20 or mean_fitness > 2)"
    held = [label for label, holds in zip(trajectory.labels,
                                          parse_condition(text).holds(trajectory.counts, fitness))
            if holds]
    assert held, "choose a condition the run meets"
    done = command("twolocus-stats", path, "--first", text, "--first", "a1<0")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.splitlines()[1:] == [f"{path}\t{text}\t{held[0]}\t{held[0] + 1}",
                                            f"{path}\ta1 < 0\tnone\t1001"]
    for condition, message in [("a1 < 0.5 and", "Could not read the threshold [a1 < 0.5 and]."),
                               ("count(1111) > 0 or h44 > 1", "Unknown statistic [h44].")]:
        done = command("twolocus-stats", path, "--first", condition)
        assert (done.returncode, done.stderr) == (1, message + "\n")


def test_a_deme_named_needs_its_populations_row_by_row():
    condition = parse_condition("N@A > N@B or h22 > 0")
    assert condition.demes == ["A", "B"]
    whole = [[0] * 81, [0] * 81]
    a, b = [[0] * 81, [0] * 81], [[0] * 81, [0] * 81]
    a[1][0], b[0][0] = 5, 3
    assert condition.holds(whole, demes={"A": a, "B": b}).tolist() == [False, True]
    assert condition.first(whole, demes={"A": a, "B": b}) == 1
    with pytest.raises(TwolocusError, match=r"^The condition \[N@A > N@B or h22 > 0\] reads deme "
                       r"\[B\]: give its records \(OUT@B\)\.$"):
        condition.holds(whole, demes={"A": a})
    with pytest.raises(ValueError, match="another number of populations"):
        condition.holds(whole, demes={"A": a, "B": b[:1]})
