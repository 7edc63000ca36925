"""twolocus.simulate and replicate with a demography against twolocus-sim
--demography: one deme through time and several demes, the same records
(the whole and each deme's) and the same summary rows."""

import json
import subprocess

import numpy as np
import pytest

from conftest import BUILD, REPOSITORY, VALLEY, records
from test_simulation import MODEL, MODEL_OPTIONS, as_text, program

import twolocus
from twolocus.genotypes import LABELS
from twolocus.run import summary_table

# One deme through a bottleneck, then selfing and cloning.
ONE = """time_units: generations
demes:
  - name: P
    epochs:
      - {start_size: 80, end_time: 30}
      - {start_size: 12, end_time: 20}
      - {start_size: 40, end_size: 90, size_function: exponential, selfing_rate: 0.4,
         cloning_rate: 0.1}
"""

# A throughout; B split from A 40 generations ago and gone 10 generations
# ago; C founded from A and B 25 generations ago; migration between A and
# B, and a pulse from C into A.
SEVERAL = """time_units: generations
demes:
  - name: A
    epochs: [{start_size: 60}]
  - name: B
    ancestors: [A]
    start_time: 40
    epochs: [{start_size: 30, end_time: 10, selfing_rate: 0.3}]
  - name: C
    ancestors: [A, B]
    proportions: [0.5, 0.5]
    start_time: 25
    epochs: [{start_size: 20, cloning_rate: 0.2}]
migrations:
  - {demes: [A, B], rate: 0.05}
pulses:
  - {sources: [C], dest: A, time: 15, proportions: [0.25]}
"""


def write(path, text):
    path.write_text(text)
    return path


@pytest.mark.parametrize("engine", ["multinomial", "exact"])
@pytest.mark.parametrize("start", [["--generations", 45], ["--burn-in", 7]])
def test_one_deme_through_time_is_the_programs_run(tmp_path, engine, start):
    demes = write(tmp_path / "one.yaml", ONE)
    out = tmp_path / "run.out"
    done = program(*MODEL_OPTIONS, "--demography", demes, *start, "--record-every", 4,
                   "--seed", 31, "--engine", engine, "--watch", "h11 < 0.9", "-o", out)
    assert done.returncode == 0, done.stderr
    keyword = {"--generations": "generations", "--burn-in": "burn_in"}[start[0]]
    run = twolocus.simulate(twolocus.Model(VALLEY, **MODEL), demography=demes,
                            **{keyword: start[1]}, record_every=4, seed=31, engine=engine,
                            watch="h11 < 0.9")
    written = np.array(records(out))
    assert run.labels.tolist() == written[:, 0].tolist()
    assert np.array_equal(run.counts, written[:, 1:])
    # Each record's N is that generation's size: the bottleneck is there.
    assert 12 in run.counts.sum(axis=1)
    assert run.n == (45 if keyword == "generations" else 37) and run.demes == {}
    assert run.N == 80
    summary = (tmp_path / "run.out.summary.tsv").read_text().splitlines()[1]
    assert as_text(run.summary) == as_text(summary_table([summary], ["h11 < 0.9"]))


@pytest.mark.parametrize("engine", ["multinomial", "exact"])
def test_several_demes_give_the_whole_and_each_demes_records(tmp_path, engine):
    demes = write(tmp_path / "three.yaml", SEVERAL)
    out = tmp_path / "run.out"
    done = program(*MODEL_OPTIONS, "--demography", demes, "--generations", 50, "--record-every",
                   3, "--seed", 5, "--engine", engine, "-o", out)
    assert done.returncode == 0, done.stderr
    run = twolocus.simulate(twolocus.Model(VALLEY, **MODEL), demography=str(demes),
                            generations=50, record_every=3, seed=5, engine=engine)
    written = np.array(records(out))
    assert run.labels.tolist() == written[:, 0].tolist()
    assert np.array_equal(run.counts, written[:, 1:])
    assert list(run.demes) == ["A", "B", "C"]
    for name, deme in run.demes.items():
        own = np.array(records(f"{out}@{name}"))
        assert deme.labels.tolist() == own[:, 0].tolist(), name
        assert np.array_equal(deme.counts, own[:, 1:]), name
        assert (deme.generations[:-1] == deme.labels[:-1] + 1).all()
    # B exists for birth times 39 to 10 (generations 10 to 39), C from 24.
    assert run.demes["B"].labels.tolist() == list(range(12, 40, 3))
    assert run.demes["C"].labels[0] == 27 and run.demes["A"].labels.tolist() == run.labels.tolist()
    # The whole is the demes that exist, summed; B is gone at the end.
    assert np.array_equal(run.population, run.demes["A"].population + run.demes["C"].population)
    assert run.demes["B"].population.sum() == 0 and run.demes["C"].population.sum() == 20
    assert run.population.sum() == 80 and run.N == 60


def test_replicates_of_a_history_are_the_programs_batch(tmp_path):
    model = twolocus.Model(VALLEY, **MODEL)
    for name, text in [("one", ONE), ("three", SEVERAL)]:
        demes = write(tmp_path / f"{name}.yaml", text)
        out = tmp_path / name
        done = program(*MODEL_OPTIONS, "--demography", demes, "--generations", 45,
                       "--replicates", 5, "--seed", 9, "--threads", 2, "--stop", "h11 < 0.8",
                       "-o", out)
        assert done.returncode == 0, done.stderr
        table = twolocus.replicate(model, demography=demes, generations=45, replicates=5, seed=9,
                                   threads=2, stop="h11 < 0.8", summary=tmp_path / f"{name}.tsv")
        written = (tmp_path / f"{name}.summary.tsv").read_bytes()
        assert (tmp_path / f"{name}.tsv").read_bytes() == written
        lines = (tmp_path / f"{name}.summary.tsv").read_text().splitlines()[1:]
        assert as_text(table) == as_text(summary_table(lines, ["h11 < 0.8"]))
        # And each row is the replicate's simulate.
        seed = int(table["seed"][2])
        run = twolocus.simulate(model, demography=demes, generations=45, seed=seed,
                                stop="h11 < 0.8")
        assert as_text(run.summary)[0][1:] == as_text(table)[2][1:]


def test_what_cannot_be_done_with_a_demography_is_refused_in_one_line(tmp_path):
    model = twolocus.Model(VALLEY, **MODEL)
    demes = write(tmp_path / "one.yaml", ONE)
    tiny = write(tmp_path / "tiny.yaml", "time_units: generations\ndemes:\n"
                 "  - name: T\n    epochs: [{start_size: 0.1}]\n")
    bad = write(tmp_path / "bad.yaml", "time_units: generations\ndemes: []\n")
    # Refused as the program refuses the same options, in its words.
    cases = [(dict(demography=tiny, generations=3), ["--demography", tiny, "--generations", 3]),
             (dict(demography=bad, generations=3), ["--demography", bad, "--generations", 3])]
    for keywords, options in cases:
        done = program(*MODEL_OPTIONS, *options, "-o", tmp_path / "x")
        assert done.returncode == 1 and done.stderr.count("\n") == 1
        for call in (twolocus.simulate, twolocus.replicate):
            extra = {"replicates": 2} if call is twolocus.replicate else {}
            with pytest.raises(ValueError) as raised:
                call(model, **keywords, **extra)
            assert str(raised.value) == done.stderr.strip()
    # Keywords that do not go together, naming them.
    for keywords, words in [(dict(demography=demes, N=50, generations=5), "[N]"),
                            (dict(demography=demes, generations=5, burn_in=3), "[burn_in]"),
                            (dict(N=50, generations=5, burn_in=3), "[burn_in]")]:
        for call in (twolocus.simulate, twolocus.replicate):
            extra = {"replicates": 2} if call is twolocus.replicate else {}
            with pytest.raises(ValueError, match=r"^keyword \[\w+\] cannot be used with") as raised:
                call(model, **keywords, **extra)
            assert words in str(raised.value) and "\n" not in str(raised.value)
    with pytest.raises(FileNotFoundError, match="could not open demography file"):
        twolocus.simulate(model, demography=tmp_path / "missing.yaml", generations=3)
    # A summary is never written over the demography it read.
    with pytest.raises(ValueError, match="is an input|input"):
        twolocus.replicate(model, demography=demes, generations=3, replicates=1, summary=demes)
    assert demes.read_text() == ONE


def test_a_runs_files_give_each_demes_records_by_name(tmp_path):
    demes = write(tmp_path / "three.yaml", SEVERAL)
    out = tmp_path / "run.out"
    assert program(*MODEL_OPTIONS, "--demography", demes, "--generations", 50, "--record-every",
                   5, "-o", out).returncode == 0
    run = twolocus.load_run(str(out))
    simulated = twolocus.simulate(twolocus.Model(VALLEY, **MODEL), demography=demes,
                                  generations=50, record_every=5)
    assert list(run.demes) == list(simulated.demes) == ["A", "B", "C"]
    for name, deme in run.demes.items():
        assert deme.path == f"{out}@{name}"
        assert deme.labels.tolist() == simulated.demes[name].labels.tolist()
        assert deme.generations.tolist() == simulated.demes[name].generations.tolist()
        assert np.array_equal(deme.counts, simulated.demes[name].counts)
        # A deme's file read on its own follows the run's parameter file too.
        alone = twolocus.load_run(f"{out}@{name}")
        assert alone.generations.tolist() == deme.generations.tolist() and alone.N is None
        assert np.array_equal(alone.fitness, run.fitness) and alone.demes == {}
        assert np.array_equal(deme.fitness, run.fitness) and deme.demes == {}
    params = twolocus.read_params(str(out) + ".params")
    assert [d["name"] for d in params["demography"]["demes"]] == ["A", "B", "C"]
    assert params["history_start"] == 50
    # A deme's file that is gone is left out; a run of one population has no demes.
    (tmp_path / "run.out@B").unlink()
    assert list(twolocus.load_run(str(out)).demes) == ["A", "C"]
    assert program(*MODEL_OPTIONS, "--demography", write(tmp_path / "one.yaml", ONE),
                   "--generations", 5, "-o", tmp_path / "one.out").returncode == 0
    one = twolocus.load_run(str(tmp_path / "one.out"))
    assert one.demes == {} and twolocus.read_params(str(tmp_path / "one.out.params"))["demography"]
    fresh = tmp_path / "plain.out"
    assert program(*MODEL_OPTIONS, "-N", 20, "--generations", 5, "-o", fresh).returncode == 0
    assert twolocus.read_params(str(fresh) + ".params")["demography"] is None


def test_resolve_demography_is_the_programs_resolve(tmp_path):
    examples = REPOSITORY / "tests" / "cases" / "demes" / "examples"
    for yaml in sorted(examples.glob("*.yaml")):
        resolved = twolocus.resolve_demography(yaml)
        printed = subprocess.run([str(BUILD / "twolocus-sim"), "--demography", str(yaml),
                                  "--resolve"], capture_output=True, text=True).stdout
        assert resolved == json.loads(printed)
        assert resolved == json.loads(yaml.with_suffix(".resolved.json").read_text())
    bad = write(tmp_path / "bad.yaml", "demes: [1]\n")
    with pytest.raises(ValueError, match=r"^twolocus-sim: demography file \["):
        twolocus.resolve_demography(bad)
    with pytest.raises(FileNotFoundError):
        twolocus.resolve_demography(tmp_path / "none.yaml")


@pytest.mark.parametrize("engine", ["multinomial", "exact"])
def test_every_deme_starts_from_the_initial_counts_as_the_programs_do(tmp_path, engine):
    demes = write(tmp_path / "three.yaml", SEVERAL)
    start = np.zeros(81, dtype=np.int64)
    start[0], start[4], start[40] = 30, 20, 10  # 1111, 2211 and 2222
    initial = tmp_path / "start.tsv"
    initial.write_text("".join(f"{label}\t{count}\n" for label, count in
                               zip(LABELS, start) if count))
    out = tmp_path / "run.out"
    done = program(*MODEL_OPTIONS, "--demography", demes, "--generations", 30, "--record-every",
                   5, "--initial", initial, "--engine", engine, "--seed", 8, "-o", out)
    assert done.returncode == 0, done.stderr
    model = twolocus.Model(VALLEY, **MODEL)
    for given in (start, initial):
        run = twolocus.simulate(model, demography=demes, generations=30, record_every=5,
                                initial=given, engine=engine, seed=8)
        assert np.array_equal(run.counts, np.array(records(out))[:, 1:])
        assert np.array_equal(run.demes["A"].counts, np.array(records(f"{out}@A"))[:, 1:])
    # A and B exist at the start (30 generations before time 0); C comes later.
    assert [run.demes[name].labels[0] for name in "ABC"] == [0, 0, 5]


def test_a_demography_given_as_text_or_data_is_the_files(tmp_path):
    model = twolocus.Model(VALLEY, **MODEL)
    demes = write(tmp_path / "three.yaml", SEVERAL)
    from_file = twolocus.simulate(model, demography=demes, generations=40, record_every=3)
    for given in (SEVERAL, twolocus.resolve_demography(demes)):
        run = twolocus.simulate(model, demography=given, generations=40, record_every=3)
        assert np.array_equal(run.counts, from_file.counts)
        assert all(np.array_equal(run.demes[name].counts, deme.counts)
                   for name, deme in from_file.demes.items())
        table = twolocus.replicate(model, demography=given, burn_in=4, replicates=3)
        assert as_text(table) == as_text(twolocus.replicate(model, demography=demes, burn_in=4,
                                                            replicates=3))
    # Text that is not a valid model, or one a run cannot simulate, in one line.
    for text, words in [("demes: [1]\n", "twolocus-sim: demography file [<demography text>]: "),
                        ("time_units: generations\ndemes:\n  - name: T\n"
                         "    epochs: [{start_size: 0.1}]\n",
                         "twolocus-sim: demography file [<demography text>]: deme [T] epoch 1: ")]:
        with pytest.raises(ValueError) as raised:
            twolocus.simulate(model, demography=text, generations=3)
        assert str(raised.value).startswith(words) and "\n" not in str(raised.value)
    with pytest.raises(ValueError, match="keyword \\[N\\] cannot be used with \\[demography\\]"):
        twolocus.simulate(model, demography=SEVERAL, N=5, generations=3)
    with pytest.raises(ValueError, match="JSON"):
        twolocus.simulate(model, demography={"demes": [float("nan")]}, generations=3)


@pytest.mark.parametrize("engine", ["multinomial", "exact"])
def test_conditions_on_one_deme_are_the_programs(tmp_path, engine):
    demes = write(tmp_path / "three.yaml", SEVERAL)
    out = tmp_path / "run.out"
    conditions = ["--watch", "N@C > 0", "--watch", "extinct@B", "--stop", "h11@A < 0.9 and N@B == 0"]
    done = program(*MODEL_OPTIONS, "--demography", demes, "--generations", 50, "--record-every",
                   1, "--seed", 4, "--engine", engine, *conditions, "-o", out)
    assert done.returncode == 0, done.stderr
    run = twolocus.simulate(twolocus.Model(VALLEY, **MODEL), demography=str(demes),
                            generations=50, record_every=1, seed=4, engine=engine,
                            watch=["N@C > 0", "extinct@B"], stop="h11@A < 0.9 and N@B == 0")
    header, row = (tmp_path / "run.out.summary.tsv").read_text().splitlines()[:2]
    written = dict(zip(header.split("\t")[5:8], row.split("\t")[5:8]))
    found = {text: first for text, _, first in run.conditions}
    assert {text: "" if first is None else str(first) for text, first in found.items()} == written
    # C is founded 25 generations ago (its first generation is 25) unless the
    # stop came first; B does not exist at the start.
    stopped = found["h11@A < 0.9 and N@B == 0"]
    assert found["N@C > 0"] == (25 if stopped is None or stopped >= 25 else None)
    assert found["extinct@B"] == -1
    with pytest.raises(ValueError, match=r"^the condition \[N@D > 0\] names deme \[D\], which the "
                       r"model does not have$"):
        twolocus.simulate(twolocus.Model(VALLEY, **MODEL), demography=str(demes), generations=5,
                          watch="N@D > 0")
    with pytest.raises(ValueError, match=r"names deme \[A\], which the model does not have"):
        twolocus.replicate(twolocus.Model(VALLEY, **MODEL), N=10, generations=5, replicates=2,
                           stop="N@A > 0")


@pytest.mark.parametrize("engine", ["multinomial", "exact"])
def test_a_change_with_a_demography_acts_at_the_models_time_as_in_the_program(tmp_path, engine):
    demes = write(tmp_path / "three.yaml", SEVERAL)
    out = tmp_path / "run.out"
    changes = ["20:recombination=0.05", "12:mu-a12=0.02"]
    done = program(*MODEL_OPTIONS, "--demography", demes, "--generations", 50, "--record-every",
                   2, "--seed", 8, "--engine", engine, *[f"--change={c}" for c in changes],
                   "-o", out)
    assert done.returncode == 0, done.stderr
    run = twolocus.simulate(twolocus.Model(VALLEY, change=changes, **MODEL), demography=str(demes),
                            generations=50, record_every=2, seed=8, engine=engine)
    written = np.array(records(out))
    assert np.array_equal(run.counts, written[:, 1:])
    for name, deme in run.demes.items():
        assert np.array_equal(deme.counts, np.array(records(f"{out}@{name}"))[:, 1:]), name


@pytest.mark.parametrize("engine", ["multinomial", "exact"])
def test_a_demes_own_table_and_start_are_the_programs(tmp_path, engine):
    demes = write(tmp_path / "three.yaml", SEVERAL)
    favoured = tmp_path / "favoured.tsv"
    printed = program("--print-fitness", "--s2-a", "0.5")
    assert printed.returncode == 0, printed.stderr
    favoured.write_text(printed.stdout)
    start = tmp_path / "start.tsv"
    start.write_text("2211\t25\n1111\t5\n")
    out = tmp_path / "run.out"
    done = program(*MODEL_OPTIONS, "--demography", demes, "--generations", 50, "--record-every", 3,
                   "--seed", 5, "--engine", engine, "--fitness-values", f"B={favoured}",
                   "-s", "A=0.2", "--initial", f"A={start}", "--stop", "mean_fitness@B > 1.1",
                   "-o", out)
    assert done.returncode == 0, done.stderr
    model = twolocus.Model(VALLEY, fitness_values={"B": favoured}, **{**MODEL, "s": {None: 0.05, "A": 0.2}})
    assert "fitness_values={'B': " in repr(model) and "s={None: 0.05, 'A': 0.2}" in repr(model)
    run = twolocus.simulate(model, demography=demes, generations=50, record_every=3, seed=5,
                            engine=engine, initial={"A": start}, stop="mean_fitness@B > 1.1")
    assert np.array_equal(run.counts, np.array(records(out))[:, 1:])
    for name, deme in run.demes.items():
        written = np.array(records(f"{out}@{name}")).reshape(-1, 82)
        assert np.array_equal(deme.counts.reshape(-1, 81), written[:, 1:]), name
    assert run.demes["A"].counts[0][4] > 15  # A starts mostly 2211
    # Each deme's statistics read its own table, from its files as from the
    # call; the demes together have no mean fitness.
    own = np.array([float(line.split("\t")[4]) for line in favoured.read_text().splitlines()[1:]])
    read = twolocus.load_run(out)
    for found in (run, read):
        b = found.demes["B"]
        assert np.allclose(b.statistics()["mean_fitness"], b.counts @ own / b.counts.sum(axis=1),
                           rtol=1e-15)
        assert np.isnan(found.statistics()["mean_fitness"]).all()
    assert np.array_equal(read.demes["A"].statistics()["mean_fitness"],
                          run.demes["A"].statistics()["mean_fitness"])
    # The stop record (label 10 of K = 3, for both engines) is read as the call gives it.
    for found, expected in [(read, run), *((read.demes[n], run.demes[n]) for n in run.demes)]:
        assert np.array_equal(found.labels, expected.labels)
        assert np.array_equal(found.generations, expected.generations)
    table = twolocus.replicate(model, demography=demes, generations=50, replicates=2, seed=5,
                               engine=engine, stop="mean_fitness@B > 1.1")
    # The demes' tables differ: the demes together have no mean fitness.
    assert np.isnan(table["mean_fitness"]).all()
    header, row = (tmp_path / "run.out.summary.tsv").read_text().splitlines()[:2]
    written = dict(zip(header.split("\t"), row.split("\t")))
    assert written["mean_fitness"] == "" and float(written["mean_fitness@B"]) > 0


def test_a_value_of_a_deme_the_model_lacks_is_refused_by_keyword(tmp_path):
    demes = write(tmp_path / "three.yaml", SEVERAL)
    model = twolocus.Model(VALLEY, **{**MODEL, "k": {None: 0.1, "D": 0.1}})
    with pytest.raises(ValueError, match=r"^keyword \[k\] cannot take \[D=0.1\]: the model has no "
                       r"deme \[D\]\.$"):
        twolocus.simulate(model, demography=demes, generations=5)
    # B begins after the run's start: its first generation comes from its ancestors.
    with pytest.raises(ValueError, match=r"deme \[B\] does not exist at the run's start"):
        twolocus.simulate(twolocus.Model(VALLEY, **MODEL), demography=demes, generations=50,
                          initial={"B": VALLEY})
    with pytest.raises(TypeError, match="by deme name"):
        twolocus.Model(VALLEY, s={1: 0.1})


def test_a_demes_start_may_be_counts_or_a_run(tmp_path):
    demes = write(tmp_path / "three.yaml", SEVERAL)
    start = tmp_path / "start.tsv"
    start.write_text("2211\t25\n1111\t5\n")
    counts = np.zeros(81, dtype=np.int64)
    counts[4], counts[0] = 25, 5
    model = twolocus.Model(VALLEY, **MODEL)
    keywords = dict(demography=demes, generations=50, record_every=3, seed=5)
    from_file = twolocus.simulate(model, initial={"A": start}, **keywords)
    from_counts = twolocus.simulate(model, initial={"A": counts}, **keywords)
    assert np.array_equal(from_file.counts, from_counts.counts)
    earlier = twolocus.simulate(model, N=30, generations=3, initial=counts, seed=2)
    from_run = twolocus.simulate(model, initial={"A": earlier}, **keywords)
    assert np.array_equal(from_run.demes["A"].counts[0], twolocus.simulate(
        model, initial={"A": earlier.population}, **keywords).demes["A"].counts[0])
    table = twolocus.replicate(model, initial={"A": counts}, replicates=2, **{
        key: value for key, value in keywords.items() if key != "record_every"})
    assert as_text(table) == as_text(twolocus.replicate(model, initial={"A": start}, replicates=2, **{
        key: value for key, value in keywords.items() if key != "record_every"}))
    for given, words in [({"B": counts}, r"deme \[B\] does not exist at the run's start"),
                         ({"D": counts}, r"the model has no deme \[D\]"),
                         ({"A": counts, None: counts}, None)]:
        if words is None:
            twolocus.simulate(model, initial=given, **keywords)
            continue
        with pytest.raises(ValueError, match=r"^keyword \[initial\] cannot take \[\w=<counts>\]: " + words):
            twolocus.simulate(model, initial=given, **keywords)


def test_a_dict_names_demes_only_and_a_model_of_demes_tables_only_has_none(tmp_path):
    demes = write(tmp_path / "three.yaml", SEVERAL)
    # A file named like a deme's value: a dict's key is a deme, never a file's name.
    (tmp_path / "Z=start.tsv").write_text("1111\t10\n")
    start = tmp_path / "start.tsv"
    start.write_text("1111\t10\n")
    model = twolocus.Model(VALLEY, **MODEL)
    with pytest.raises(ValueError, match=r"the model has no deme \[Z\]"):
        twolocus.simulate(model, demography=demes, generations=3, initial={"Z": start})
    with pytest.raises(ValueError, match=r"the model has no deme \[Z\]"):
        twolocus.simulate(twolocus.Model(VALLEY, fitness_values={"Z": VALLEY}), demography=demes,
                          generations=3)
    # Only the demes' tables: the model has none; a run has its first deme's.
    only = twolocus.Model(fitness={"A": VALLEY, "B": VALLEY, "C": VALLEY}, s={"A": 0.2})
    assert only.fitness is None
    run = twolocus.simulate(only, demography=demes, generations=30, record_every=3, seed=2)
    with_a = twolocus.Model(VALLEY, s=0.2).fitness
    assert np.array_equal(run.demes["A"].fitness, with_a)
    assert np.array_equal(run.demes["B"].fitness, twolocus.Model(VALLEY).fitness)
    with pytest.raises(ValueError, match=r"^keyword \[fitness\] is required: deme \[C\] has no table "
                       r"of its own\.$"):
        twolocus.simulate(twolocus.Model(fitness={"A": VALLEY, "B": VALLEY}), demography=demes,
                          generations=3)
    with pytest.raises(TypeError, match="the run's start, not a dict"):
        twolocus.simulate(model, demography=demes, generations=3, initial={None: {"A": start}})
