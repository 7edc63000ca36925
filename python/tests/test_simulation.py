"""twolocus.Model, simulate and replicate against twolocus-sim: the same numbers, messages and files."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import BUILD, REPOSITORY, VALLEY, records

import twolocus
from twolocus.analysis.statistics import STAT_COLUMNS, population_stats
from twolocus.run import summary_table

MODEL = dict(column=1, s=0.05, k=0.1, mu=2e-3, mu_b21=1e-3, recombination=0.01)
MODEL_OPTIONS = ["--fitness", VALLEY, "--column", "1", "-s", "0.05", "-k", "0.1", "--mu", "0.002",
                 "--mu-b21", "0.001", "--recombination", "0.01"]


def program(*args):
    """Runs the built twolocus-sim; returns its CompletedProcess."""
    return subprocess.run([str(BUILD / "twolocus-sim"), *map(str, args)], capture_output=True,
                          text=True)


def in_python(stderr, options=()):
    """A message of twolocus-sim as the Python module says it: without the
    program's name, naming each option's keyword (the table's)."""
    text = stderr.strip().removeprefix("twolocus-sim: ")
    for option in options:
        keyword = next(entry["keyword"] for entry in twolocus._core.parameters()
                       if option in entry["options"].split())
        text = text.replace(f"option [{option}]", f"keyword [{keyword}]")
    return text


def as_text(table):
    """Rows of a structured array as tuples of text (NaN equal to NaN)."""
    return [tuple(str(value) for value in row) for row in np.atleast_1d(table)]


@pytest.mark.parametrize("engine", ["multinomial", "exact"])
def test_simulate_is_the_programs_run_record_for_record(tmp_path, engine):
    out = tmp_path / "run.out"
    assert program(*MODEL_OPTIONS, "-N", 60, "--generations", 29, "--record-every", 7,
                   "--seed", 11, "--engine", engine, "-o", out).returncode == 0
    model = twolocus.Model(VALLEY, **MODEL)
    run = twolocus.simulate(model, N=60, generations=29, record_every=7, seed=11, engine=engine)
    written = np.array(records(out))
    assert run.labels.tolist() == written[:, 0].tolist() == [0, 7, 14, 21, 28, 29]
    assert run.generations.tolist() == [1, 8, 15, 22, 29, 29]
    assert np.array_equal(run.counts, written[:, 1:]) and run.counts.shape == (6, 81)
    assert np.array_equal(run.population, written[-1, 1:])
    summary = (tmp_path / "run.out.summary.tsv").read_text().splitlines()[1]
    assert as_text(run.summary) == as_text(summary_table([summary]))
    # Continuing from the run's last population is the program's --initial of its file.
    assert program(*MODEL_OPTIONS, "-N", 60, "--generations", 5, "--record-every", 1,
                   "--initial", out, "--engine", engine, "-o", tmp_path / "next.out").returncode == 0
    after = twolocus.simulate(model, N=60, generations=5, record_every=1, initial=run,
                              engine=engine)
    assert np.array_equal(after.counts, np.array(records(tmp_path / "next.out"))[:, 1:])
    from_file = twolocus.simulate(model, N=60, generations=5, record_every=1,
                                  initial=f"{out}:21", engine=engine)
    assert np.array_equal(from_file.counts[0], twolocus.simulate(
        model, N=60, generations=1, initial=run.counts[3], engine=engine).counts[0])


def test_replicate_is_the_programs_batch_row_for_row(tmp_path):
    out = tmp_path / "batch"
    assert program(*MODEL_OPTIONS, "-N", 200, "--generations", 40, "--replicates", 7,
                   "--first-replicate", 3, "--seed", -5, "--threads", 2, "-o", out).returncode == 0
    written = (tmp_path / "batch.summary.tsv").read_bytes()
    model = twolocus.Model(VALLEY, **MODEL)
    tables = [twolocus.replicate(model, N=200, generations=40, replicates=7, first_replicate=3,
                                 seed=-5, threads=threads, summary=tmp_path / f"{threads}.tsv")
              for threads in (1, 3, 7)]
    lines = written.decode().splitlines()[1:]
    for threads, table in zip((1, 3, 7), tables):
        assert (tmp_path / f"{threads}.tsv").read_bytes() == written
        assert as_text(table) == as_text(summary_table(lines))
    assert tables[0].dtype.names == tuple(twolocus.SUMMARY_COLUMNS)
    assert tables[0]["replicate"].tolist() == list(range(3, 10))
    assert tables[0]["seed"].tolist() == [twolocus._core.replicate_seed(-5, r) for r in range(3, 10)]
    # Each row is the single run with the row's seed.
    run = twolocus.simulate(model, N=200, generations=40, seed=int(tables[0]["seed"][2]))
    assert as_text(run.summary)[0][1:] == as_text(tables[0][2])[0][1:]


def test_stop_and_watch_are_the_programs(tmp_path):
    conditions = ["--stop", "a1 < 0.97", "--stop", "extinct", "--watch", "h12 > 0.01",
                  "--watch", "N > 1000"]
    out = tmp_path / "run.out"
    assert program(*MODEL_OPTIONS, "-N", 100, "--generations", 500, "--record-every", 50,
                   *conditions, "-o", out).returncode == 0
    model = twolocus.Model(VALLEY, **MODEL)
    keywords = dict(stop=["a1 < 0.97", "extinct"], watch=["h12 > 0.01", "N > 1000"])
    run = twolocus.simulate(model, N=100, generations=500, record_every=50, **keywords)
    written = np.array(records(out))
    assert run.end == "a1 < 0.97" and run.labels[-1] == run.reached["a1 < 0.97"] < 499
    assert run.labels.tolist() == written[:, 0].tolist()
    assert np.array_equal(run.counts, written[:, 1:])
    assert run.reached["N > 1000"] is None and run.holds("a1 < 0.97").tolist()[-2:] == [False, True]
    summary = (tmp_path / "run.out.summary.tsv").read_text().splitlines()
    assert list(run.summary.dtype.names) == summary[0].replace(
        "extinct\th12", "extinct (condition)\th12").split("\t")
    assert as_text(run.summary) == as_text(summary_table(summary[1:], summary[0].split("\t")[5:9]))
    assert program(*MODEL_OPTIONS, "-N", 100, "--generations", 500, "--replicates", 6, "--threads",
                   2, *conditions, "-o", tmp_path / "batch").returncode == 0
    table = twolocus.replicate(model, N=100, generations=500, replicates=6, threads=2,
                               summary=tmp_path / "batch.tsv", **keywords)
    assert (tmp_path / "batch.tsv").read_bytes() == (tmp_path / "batch.summary.tsv").read_bytes()
    assert (table["end"] == "a1 < 0.97").all() and np.isnan(table["N > 1000"]).all()
    with pytest.raises(ValueError) as raised:
        twolocus.simulate(model, N=10, generations=5, stop="h22 >=")
    assert str(raised.value) == in_python(program("--fitness", VALLEY, "-N", 10, "--generations", 5,
                                                  "-o", tmp_path / "x", "--stop", "h22 >=").stderr,
                                          ["--stop"])


ERRORS = [  # keywords of Model / of the call, and the same on the command line
    (dict(recombination=0.7), {}, ["--recombination", "0.7"]),
    (dict(mu_a12=0.6, mu_a13=0.5), {}, ["--mu-a12", "0.6", "--mu-a13", "0.5"]),
    (dict(weights="floored"), {}, ["--weights", "floored"]),
    (dict(column=1001), {}, ["--column", "1001"]),
    (dict(s=float("inf")), {}, ["-s", "inf"]),
    ({}, dict(N=0), ["-N", "0"]),
    ({}, dict(generations=10 ** 12), ["--generations", str(10 ** 12)]),
    ({}, dict(seed=2 ** 31), ["--seed", str(2 ** 31)]),
    ({}, dict(engine="fast"), ["--engine", "fast"]),
    ({}, dict(record_every=-1), ["--record-every", "-1"]),
    ({}, dict(threads=257), ["--threads", "257"]),
    ({}, dict(replicates=0), ["--replicates", "0"]),
]


@pytest.mark.parametrize("model_keywords, call_keywords, options", ERRORS)
def test_bad_values_raise_the_programs_message_naming_the_keyword(tmp_path, model_keywords,
                                                                   call_keywords, options):
    batch = "threads" in call_keywords or "replicates" in call_keywords
    run = {"-N": 10, "--generations": 5, **({"--replicates": 2} if batch else {})}
    run.update(zip(options[::2], options[1::2]))
    stderr = program("--fitness", VALLEY, "-o", tmp_path / "x", *sum(run.items(), ())).stderr
    assert stderr.count("\n") == 1 and not (tmp_path / "x.params").exists()
    with pytest.raises(ValueError) as raised:
        model = twolocus.Model(VALLEY, **model_keywords)
        call = {"N": 10, "generations": 5, **call_keywords}
        if batch:
            twolocus.replicate(model, **{"replicates": 2, **call})
        else:
            twolocus.simulate(model, **call)
    assert str(raised.value) == in_python(stderr, options[::2])


def test_files_and_types_raise_the_fitting_exceptions(tmp_path):
    with pytest.raises(FileNotFoundError, match=r"could not open fitness file \[.*missing\]"):
        twolocus.Model(tmp_path / "missing")
    with pytest.raises(ValueError, match=r"keyword \[s\] cannot be used with \[fitness_values\]"):
        twolocus.Model(fitness_values=VALLEY, s=0.1)
    (tmp_path / "bad.tsv").write_text("1\t1\t1\t1\t9\n")
    with pytest.raises(ValueError, match=r"line 1 of fitness file .* an unknown code"):
        twolocus.Model(tmp_path / "bad.tsv")
    model = twolocus.Model(VALLEY)
    with pytest.raises(TypeError):
        twolocus.simulate(model, N="100", generations=5)
    with pytest.raises(TypeError):
        twolocus.Model(VALLEY, mu_a14=0.1)
    with pytest.raises(TypeError):
        twolocus.simulate(model, N=10, generations=5, initial=np.zeros(81))
    for counts in (np.zeros(80, int), np.full(81, -1), np.full(81, 2 ** 30)):
        with pytest.raises(ValueError, match="initial counts"):
            twolocus.simulate(model, N=10, generations=5, initial=counts)
    with pytest.raises(FileNotFoundError, match=r"could not open initial file"):
        twolocus.simulate(model, N=10, generations=5, initial=tmp_path / "none")
    with pytest.raises(OSError, match=r"could not write summary file"):
        twolocus.replicate(model, N=10, generations=5, replicates=1, summary=tmp_path / "no" / "s")


def test_a_population_goes_in_and_comes_out_as_81_counts():
    model = twolocus.Model(VALLEY, mu=0.01)
    start = np.zeros(81, dtype=np.int64)
    start[[0, 40, 80]] = [5, 6, 7]
    run = twolocus.simulate(model, N=30, generations=0, initial=start)
    assert run.labels.size == 0 and run.population.tolist() == start.tolist()
    run = twolocus.simulate(model, N=30, generations=3, record_every=1, initial=start)
    assert run.counts.dtype == np.int32 and run.counts.sum(axis=1).tolist() == [30, 30, 30]
    assert run.summary["label"] == 2 and run.summary["N"] == 30


def test_statistics_are_twolocus_stats_vectorised():
    generator = np.random.default_rng(3)
    counts = generator.integers(0, 50, size=(40, 81))
    counts[1] = 0                          # extinct
    counts[2] = 0
    counts[2, 0] = 9                       # allele 1 fixed: no D', r2
    counts[3] *= 2 ** 20                   # large: exact rows
    fitness = generator.uniform(0.5, 1.5, 81)
    table = twolocus.statistics(counts, fitness)
    for row, values in zip(table, counts):
        expected = population_stats(values, fitness)
        assert [row[c] for c in STAT_COLUMNS] == pytest.approx(
            [np.nan if expected[c] is None else expected[c] for c in STAT_COLUMNS],
            rel=0, abs=0, nan_ok=True)
    run = twolocus.simulate(twolocus.Model(VALLEY, mu=0.05), N=40, generations=50, record_every=5)
    assert run.holds("a1 < 0.9").tolist() == (run.statistics()["a1"] < 0.9).tolist()


def test_plot_draws_a_run():
    model = twolocus.Model(VALLEY, mu=0.01)
    runs = [twolocus.simulate(model, N=50, generations=40, record_every=4, seed=seed)
            for seed in (1, 2)]
    figure = runs[0].plot(thresholds=["a1 < 0.95"])
    assert len(figure.axes) >= 6 and "N = 50" in figure._suptitle.get_text()
    assert len(twolocus.plot_runs(runs, thresholds=["a1 < 0.95"]).axes) >= 7


CHILD = """
import sys, time
sys.path.insert(0, {python!r})
import twolocus
model = twolocus.Model({valley!r}, mu=1e-3)
print("started", flush=True)
began = time.monotonic()
try:
    twolocus.{call}
except KeyboardInterrupt:
    print("interrupted", time.monotonic() - began, flush=True)
"""


@pytest.mark.parametrize("call", [
    "replicate(model, N=10**6, generations=10**7, replicates=4, threads=2, summary={summary!r})",
    "simulate(model, N=10**6, generations=10**8, record_every=0)"])
def test_ctrl_c_stops_a_long_call_promptly(tmp_path, call):
    summary = tmp_path / "summary.tsv"
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD.format(python=str(REPOSITORY / "python"), valley=str(VALLEY),
                                            call=call.format(summary=str(summary)))],
        stdout=subprocess.PIPE, text=True, env={"TWOLOCUS_BUILD": str(BUILD)})
    assert child.stdout.readline() == "started\n"
    time.sleep(0.5)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    output, _ = child.communicate(timeout=20)
    assert child.returncode == 0 and output.startswith("interrupted")
    assert time.monotonic() - sent < 2
    assert list(tmp_path.iterdir()) == []


def test_the_tutorial_runs_as_written(tmp_path):
    """The tutorial's blocks, one after the other, print what the page shows."""
    import contextlib
    import io
    import re
    page = (REPOSITORY / "docs" / "python" / "tutorial.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```\n\n```text\n(.*?)```", page, re.S)
    (tmp_path / "examples").symlink_to(REPOSITORY / "examples")
    (tmp_path / "python").symlink_to(REPOSITORY / "python")
    names = {}
    with contextlib.chdir(tmp_path):
        for code, shown in blocks:
            printed = io.StringIO()
            with contextlib.redirect_stdout(printed):
                exec(code, names)
            assert printed.getvalue() == shown
    assert len(blocks) == 5 and (tmp_path / "run.png").stat().st_size > 20000


def test_a_summary_never_writes_over_an_input(tmp_path):
    """summary= naming the fitness table or the initial file, by any path or link, or
    naming a file whose temporary file is one of them, is refused before anything runs."""
    fitness = tmp_path / "fitness.tsv"
    fitness.write_bytes(VALLEY.read_bytes())
    start = tmp_path / "start.tsv"
    start.write_text("1111\t10\n")
    os.symlink("fitness.tsv", tmp_path / "link")
    os.link(fitness, tmp_path / "hard")
    os.link(start, tmp_path / "s.tmp")  # the temporary file of summary "s"
    kept = {path: path.read_bytes() for path in (fitness, start)}
    for keywords in (dict(fitness=fitness), dict(fitness_values=fitness)):
        model = twolocus.Model(**keywords)
        for summary, read in [(fitness, fitness), (tmp_path / "link", fitness),
                              (tmp_path / "hard", fitness), (tmp_path / "s", start),
                              (str(start), start)]:
            with pytest.raises(ValueError) as raised:
                twolocus.replicate(model, N=10, generations=3, replicates=2, initial=start,
                                   summary=summary)
            shown = f"{summary}.tmp" if summary == tmp_path / "s" else summary
            assert str(raised.value) == (f"twolocus-sim: output file [{shown}] is the input "
                                         f"file [{read}].")
    assert {path: path.read_bytes() for path in kept} == kept
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fitness.tsv", "hard", "link",
                                                          "s.tmp", "start.tsv"]
    with pytest.raises(ValueError, match="summary must name a file"):
        twolocus.replicate(model, N=10, generations=3, replicates=2, summary="")
    twolocus.replicate(model, N=10, generations=3, replicates=2, summary=tmp_path / "new")
    assert (tmp_path / "new").read_text().count("\n") == 3


@pytest.mark.parametrize("keywords, call, message", [
    ({}, dict(stop="a1 < 1\0 or b1 < 2"), "stop must not hold a NUL character"),
    ({}, dict(watch=["a1 < 1", "b1 < 2\0"]), "watch must not hold a NUL character"),
    ({}, dict(engine="exact\0"), "engine must not hold a NUL character"),
    (dict(weights="floor\0"), {}, "weights must not hold a NUL character"),
    (dict(fitness=f"{VALLEY}\0x"), {}, "fitness must not hold a NUL character"),
    ({}, dict(initial="start\0"), "initial must not hold a NUL character"),
    ({}, dict(replicates=1, summary=b"out\0"), "summary must not hold a NUL character"),
    ({}, dict(stop="a1 < 1 \udcff"), r"stop must be text: '\\udcff' at position 7"),
    ({}, dict(watch="h22 > \ud800"), r"watch must be text: '\\ud800' at position 6"),
    ({}, dict(engine="\udcffexact"), "engine must be text"),
    (dict(weights="\udcff"), {}, "weights must be text"),
])
def test_a_string_argument_is_read_whole_or_refused(tmp_path, monkeypatch, keywords, call,
                                                    message):
    """A NUL would end the text the program reads (a1 < 1 alone would run), and a
    lone surrogate is no character: one ValueError each, before anything runs."""
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match=message):
        model = twolocus.Model(keywords.pop("fitness", VALLEY), **keywords)
        run = twolocus.replicate if "replicates" in call else twolocus.simulate
        run(model, N=10, generations=3, **call)
    assert list(tmp_path.iterdir()) == []


FIFO_CHILD = """
import sys
sys.path.insert(0, {python!r})
import twolocus
for call in (lambda: twolocus.Model({fifo!r}),
             lambda: twolocus.simulate(twolocus.Model({valley!r}), N=10, generations=1,
                                       initial={fifo!r})):
    try:
        call()
    except OSError as error:
        print(type(error).__name__, error)
"""


def test_types_and_file_names_are_said_plainly(tmp_path):
    model = twolocus.Model(VALLEY)
    wanted = "stop must be a condition's text or a sequence of them (str), not "
    for stop, given in ((b"a1 < 1", "bytes"), (7, "int"),
                        ([b"a1 < 1"], "a sequence holding bytes")):
        with pytest.raises(TypeError) as raised:
            twolocus.simulate(model, N=10, generations=3, stop=stop)
        assert str(raised.value) == wanted + given
    with pytest.raises(TypeError, match=r"fitness must be a file name \(str, bytes or "
                                        r"os.PathLike\), not int"):
        twolocus.Model(3)
    # A folder is said to be unopenable, as the program says it.
    expected = program("--fitness", tmp_path, "-N", 10, "--generations", 1, "-o", tmp_path / "x")
    with pytest.raises(IsADirectoryError) as raised:
        twolocus.Model(tmp_path)
    assert str(raised.value) == expected.stderr.strip()
    with pytest.raises(IsADirectoryError, match=r"initial file \[\.\] is not a regular file"):
        twolocus.simulate(model, N=10, generations=1, initial=".")
    # A FIFO is not waited on (a child process, so that a wait cannot hang the tests).
    os.mkfifo(tmp_path / "fifo")
    child = subprocess.run(
        [sys.executable, "-c", FIFO_CHILD.format(python=str(REPOSITORY / "python"),
                                                 valley=str(VALLEY), fifo=str(tmp_path / "fifo"))],
        capture_output=True, text=True, timeout=60, env={"TWOLOCUS_BUILD": str(BUILD)})
    assert child.stdout == (f"OSError twolocus-sim: fitness file [{tmp_path}/fifo] is not a "
                            f"regular file.\nOSError twolocus-sim: initial file [{tmp_path}/fifo] "
                            f"is not a regular file.\n"), child.stderr
    # A name that is not UTF-8, as os.listdir gives it (str or bytes), names its file.
    odd = os.fsencode(tmp_path) + b"/valley\xff.tsv"
    with open(odd, "wb") as copy:
        copy.write(VALLEY.read_bytes())
    for name in (odd, os.fsdecode(odd)):
        model = twolocus.Model(name)
        assert model.fitness.tolist() == twolocus.Model(VALLEY).fitness.tolist()
        twolocus.replicate(model, N=10, generations=2, replicates=1, summary=name + b".s"
                           if isinstance(name, bytes) else name + ".s")
    assert os.path.exists(odd + b".s")
    with pytest.raises(FileNotFoundError) as raised:
        twolocus.Model(os.fsdecode(odd) + "x")
    assert os.fsencode(str(raised.value)).endswith(b"valley\xff.tsvx] to read.")


def test_a_model_is_rebuilt_from_its_repr_and_a_batch_takes_record_every(tmp_path):
    import pathlib
    model = twolocus.Model(pathlib.Path(VALLEY), column=np.int64(1), s=0.05, k=np.float64(0.1),
                           mu=2e-3, mu_b21=1e-3, recombination=0.01, weights="floor")
    assert repr(model).startswith(f"twolocus.Model(fitness={str(VALLEY)!r}, column=1, s=0.05, ")
    again = eval(repr(model), {"twolocus": twolocus})
    assert repr(again) == repr(model) and again.fitness.tolist() == model.fitness.tolist()
    assert (again.mutation, again.recombination, again.weights) == (
        model.mutation, model.recombination, "floor")
    # record_every is the batch's K (its OUT.params); the rows are the program's.
    assert program("--fitness", VALLEY, "--column", 1, "-s", 0.05, "-k", 0.1, "--mu", 0.002,
                   "--mu-b21", 0.001, "--recombination", 0.01, "--weights", "floor", "-N", 50,
                   "--generations", 20, "--replicates", 3, "--record-every", 7, "-o",
                   tmp_path / "batch").returncode == 0
    table = twolocus.replicate(again, N=50, generations=20, replicates=3, record_every=7,
                               summary=tmp_path / "rows.tsv")
    assert (tmp_path / "rows.tsv").read_bytes() == (tmp_path / "batch.summary.tsv").read_bytes()
    assert as_text(table) == as_text(twolocus.replicate(model, N=50, generations=20, replicates=3))
    with pytest.raises(ValueError) as raised:
        twolocus.replicate(model, N=50, generations=20, replicates=3, record_every=-1)
    assert str(raised.value) == ("keyword [record_every] takes a whole number from 0 to "
                                 "2147483647, not [-1].")
