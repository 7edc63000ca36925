"""twolocus-stats and twolocus-plot on twolocus-sim summary tables, end to end.

The hand-made tables hold three conditions: A = 'h22 >= 0.5' and X = 'extinct'
(stop conditions) and B = 'count(2222) > 0' (watched). Times are label + 1.
"""

import subprocess

import matplotlib.image
import pytest

from conftest import BUILD, VALLEY, command
from twolocus.analysis.statistics import STAT_COLUMNS
from twolocus.genotypes import LABELS
from twolocus.native import core

# Every key that twolocus-sim's parameter file always has, in its order (the table
# of parameters; a key marked "?" is written only by a run that has it).
KEYS = [(entry["key"] + label if entry["key"].endswith("_") else entry["key"], None)
        for entry in core.parameters()
        if entry["key"] and not entry["key"].startswith(("batch:", "?")) and entry["kind"] != "condition"
        for label in (LABELS if entry["key"].endswith("_") else [""])]

A, B, X = "h22 >= 0.5", "count(2222) > 0", "extinct"
HEADER = ["replicate", "seed", "end", "label", "generations", A, B, X] + STAT_COLUMNS
# Set a: A at 10 and 20, censored twice at 50, stopped by X at 25 (competing for A).
ROWS_A = [(A, 9, 9, 4, ""), (A, 19, 19, 14, ""), ("last", 49, "", 29, ""),
          ("last", 49, "", "", ""), (X, 24, "", "", 24)]
# Set b: every run stopped by A, at 10, 20, 30, 40: nothing censored (Wilson).
ROWS_B = [(A, label, label, label - 5, "") for label in (9, 19, 29, 39)]


def params(N, r):
    values = {"version": "1", "engine": "multinomial", "seed": "7", "population_size": str(N),
              "generations": "50", "record_every": "0", "recombination": r, "weights": "exact",
              "initial_1111": str(N)}
    return "twolocus-sim parameters 1\n" + "".join(
        f"{key} = {values.get(key, '1' if key.startswith('fitness') else '0')}\n"
        for key, _ in KEYS)


def table(folder, name, rows, N=1000, r="0.5", header=HEADER):
    lines = ["\t".join(header)]
    for number, (end, label, *firsts) in enumerate(rows):
        lines.append("\t".join(map(str, [number, 100 + number, end, label, label + 1, *firsts,
                                         N] + ["0.5"] * 21 + [1, 0])))
    (folder / f"{name}.summary.tsv").write_text("\n".join(lines) + "\n")
    (folder / f"{name}.params").write_text(params(N, r))
    return f"{name}.summary.tsv"


def rows(done):
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    return [line.split("\t") for line in done.stdout.splitlines()]


@pytest.fixture
def hand(tmp_path):
    table(tmp_path, "a", ROWS_A, r="0.5")
    table(tmp_path, "b", ROWS_B, r="0.01")
    return tmp_path


def test_hand_worked_table_and_grouping(hand):
    found = rows(command("twolocus-stats", "a.summary.tsv", "b.summary.tsv", "--by",
                         "recombination", cwd=hand))
    assert found[0] == ["recombination", "condition", "runs", "events", "censored", "competing",
                        "median", "median_low", "median_high", "rmst", "rmst_low", "rmst_high",
                        "horizon"]
    by = {(row[0], row[1]): row[2:] for row in found[1:]}
    assert [row[:2] for row in found[1:]] == [["0.01", A], ["0.01", B], ["0.01", X],
                                             ["0.5", A], ["0.5", B], ["0.5", X]]
    # b, A: F = 1/4, 1/2, 3/4, 1 at 10..40; F = 1/2 on [20, 30): median 25. Wilson's
    # upper edge at k = 1 is .699 >= 1/2 (low 10), its lower edge first >= 1/2 at
    # k = 4 (.510; high 40). Restricted mean to 40 = mean(10, 20, 30, 40) = 25,
    # variance sum (T - 25)^2 / n^2 = 500 / 16, half-width 1.959964 x 5.590170.
    assert by["0.01", A] == ["4", "4", "0", "0", "25", "10", "40", "25", "14.04346824",
                             "35.95653176", "40"]
    # a, A: Aalen-Johansen F = 1/5 at 10, + 4/5 x 1/4 at 20 = 2/5, then the stop at 25:
    # F never reaches 1/2. Restricted mean to 50: 10 + 10 x 4/5 + 30 x 3/5 = 36.
    assert by["0.5", A][:4] + by["0.5", A][4:8:3] == ["5", "2", "2", "1", "", "36"]
    # a, B: events at 5, 15, 30, the stop at 25: F = .2, .4, then .4 + .4 / 2 = .6 at
    # 30 (median 30); restricted mean 50 - (.2 x 45 + .2 x 35 + .2 x 20) = 30.
    assert by["0.5", B][:5] + by["0.5", B][7:8] == ["5", "3", "1", "1", "30", "30"]
    # b, X: every run stopped by A; a, X: the one event at 25.
    assert by["0.01", X][:8] == ["4", "0", "0", "4", "", "", "", "40"]
    assert by["0.5", X][:4] == ["5", "1", "2", "2"]
    # One set per table by default (key column file, sorted); both in one set by N.
    found = rows(command("twolocus-stats", "b.summary.tsv", "a.summary.tsv", cwd=hand))
    assert [row[:3] for row in found[1:]] == [[f"{name}.summary.tsv", c, runs] for name, runs
                                             in (("a", "5"), ("b", "4")) for c in (A, B, X)]
    found = rows(command("twolocus-stats", "a.summary.tsv", "b.summary.tsv", "--by",
                         "population-size", "--by", "weights", "--event", A, cwd=hand))
    assert found[1][:6] == ["1000", "exact", A, "9", "6", "2"]


def test_curves_and_level(hand):
    found = rows(command("twolocus-stats", "a.summary.tsv", "b.summary.tsv", "--curves",
                         "--event", A, "--by", "recombination", cwd=hand))
    assert found[0] == ["recombination", "condition", "generations", "at_risk", "events",
                        "competing", "fraction", "low", "high", "method"]
    assert [row[2:7] + row[9:] for row in found[1:]] == [
        ["10", "4", "1", "0", "0.25", "wilson"], ["20", "3", "1", "0", "0.5", "wilson"],
        ["30", "2", "1", "0", "0.75", "wilson"], ["40", "1", "1", "0", "1", "wilson"],
        ["10", "5", "1", "0", "0.2", "aalen-johansen"],
        ["20", "4", "1", "0", "0.4", "aalen-johansen"],
        ["25", "3", "0", "1", "0.4", "aalen-johansen"]]
    assert [float(value) for value in found[1][7:9]] == pytest.approx([.045587, .699358],
                                                                      abs=1e-6)
    narrow = rows(command("twolocus-stats", "b.summary.tsv", "--event", A, "--level", "0.5",
                          cwd=hand))
    # At 50 %, z = .674490: 25 -+ .674490 x 5.590170; Wilson's edges cross 1/2 at 20 and 30.
    assert narrow[1][6:12] == ["25", "20", "30", "25", "21.22948767", "28.77051233"]


@pytest.mark.parametrize("arguments, message", [
    (["a.summary.tsv", "run.out"], "Give trajectory files or summary tables, not both."),
    (["a.summary.tsv", "--first", "a1 < 1"], "Option --first needs trajectory files; a summary "
                                             "table's conditions are its columns (see --event)."),
    (["run.out", "--level", "0.9"], "Option --level needs summary tables."),
    (["a.summary.tsv", "--level", "95"], "Could not read the level [95]."),
    (["a.summary.tsv", "--by", "mu"], "The parameters of [a.summary.tsv] have no [mu]."),
    (["a.summary.tsv", "--event", "a1 < 1"], "No summary table has the condition [a1 < 1]."),
    (["bad.summary.tsv"], "Line 3 of [bad.summary.tsv] is not a summary row."),
    (["a.summary.tsv", "other.summary.tsv", "--by", "population_size"],
     "Summary tables [a.summary.tsv] and [other.summary.tsv] of one parameter set have "
     "different conditions."),
    (["copy.tsv", "--by", "recombination"], "The parameters of [copy.tsv] are unknown: its "
                                            "name does not end in [.summary.tsv]."),
    (["bare.summary.tsv"], "The summary tables have no condition column."),
])
def test_errors(hand, arguments, message):
    (hand / "run.out").write_text("nothing\n")
    table(hand, "bad", [ROWS_A[0], (A, 9, 10, "", "")])  # an event after the last label
    table(hand, "other", ROWS_B, header=HEADER[:5] + [A, B, "a1 < 0.5"] + STAT_COLUMNS)
    table(hand, "bare", [("last", 49)], header=HEADER[:5] + STAT_COLUMNS)
    (hand / "copy.tsv").write_text((hand / "a.summary.tsv").read_text())
    for name in ("twolocus-stats", "twolocus-plot"):
        done = command(name, *arguments, "-o", "out.png", cwd=hand)
        assert (done.returncode, done.stdout, done.stderr) == (1, "", message + "\n")
        assert not (hand / "out.png").exists()
    done = command("twolocus-plot", "a.summary.tsv", "--log-y", "-o", "out.png", cwd=hand)
    assert done.stderr == "Option --log-y needs --against.\n"
    done = command("twolocus-plot", "a.summary.tsv", "--against", "file", "-o", "o.png", cwd=hand)
    assert done.stderr == "The value [a.summary.tsv] of [file] is not a number.\n"


def test_a_killed_batch_and_the_pictures(hand):
    # A batch killed while writing a row: the incomplete line is left out, with a note.
    text = (hand / "a.summary.tsv").read_text()
    (hand / "a.summary.tsv").write_text(text + "5\t105\tlast\t4")
    note = "The last line of [a.summary.tsv] is not complete; it is left out.\n"
    done = command("twolocus-stats", "a.summary.tsv", "--event", A, cwd=hand)
    assert done.stderr == note
    assert done.stdout.splitlines()[1].split("\t")[2] == "5"
    for name, more in (("curves.png", []), ("medians.svg", ["--against", "recombination",
                                                            "--log-x", "--log-y"]),
                       ("curves.pdf", ["--size", "6x5", "--log-x", "--event", A])):
        done = command("twolocus-plot", "a.summary.tsv", "b.summary.tsv", "--by", "recombination",
                       *more, "-o", name, cwd=hand)
        assert (done.returncode, done.stderr) == (0, note)
    done = command("twolocus-plot", "b.summary.tsv", "--size", "3x2", "-o", "small.png", cwd=hand)
    assert done.stderr == "The picture [small.png] is too small for its panels; give a larger " \
                          "--size.\n"
    # A table without rows: a row of counts 0 and empty statistics, nothing drawn.
    table(hand, "e", [])
    assert rows(command("twolocus-stats", "e.summary.tsv", "--event", A, cwd=hand))[1] == \
        ["e.summary.tsv", A, "0", "0", "0", "0"] + [""] * 7
    for more in ([], ["--against", "recombination"]):
        done = command("twolocus-plot", "e.summary.tsv", *more, "-o", "e.png", cwd=hand)
        assert (done.returncode, done.stderr) == (0, "")
    assert matplotlib.image.imread(hand / "curves.png").shape[:2] == (1200, 1000)
    assert (hand / "medians.svg").read_text().lstrip().startswith("<?xml")
    assert (hand / "curves.pdf").read_bytes().startswith(b"%PDF")


def test_real_runs_of_a_batch_and_of_a_sweep(tmp_path):
    # The valley at N = 1000: runs cross (A), are stopped by allele 3 (competing) or
    # reach generation 3000 (censored); h22 >= 0.05 is watched.
    options = ["--fitness", VALLEY, "-s", "0.01", "-k", "0.1", "--mu", "1e-4", "--mu-a23",
               "1e-6", "--mu-b23", "1e-6", "--record-every", "0", "--stop", A, "--stop",
               "a3 >= 0.1", "--watch", "h22 >= 0.05"]
    done = subprocess.run([BUILD / "twolocus-sim", *options, "-N", "1000", "--generations",
                           "3000", "--replicates", "30", "--seed", "3", "-o", tmp_path / "rb"],
                          capture_output=True)
    assert done.returncode == 0, done.stderr
    cells = [line.split("\t") for line in (tmp_path / "rb.summary.tsv").read_text().splitlines()]
    column = cells[0].index(A)
    kinds = ["event" if row[column] else "censored" if row[2] == "last" else "competing"
             for row in cells[1:]]
    found = rows(command("twolocus-stats", "rb.summary.tsv", "--by", "recombination",
                         cwd=tmp_path))
    assert [row[:3] for row in found[1:]] == [["0.5", c, "30"] for c in (A, "a3 >= 0.1",
                                                                          "h22 >= 0.05")]
    assert found[1][3:6] == [str(kinds.count(k)) for k in ("event", "censored", "competing")]
    assert all(kinds.count(k) > 0 for k in ("event", "censored", "competing"))
    low, median, high = (float(value or "inf") for value in found[1][7:8] + found[1][6:7]
                         + found[1][8:9])
    assert low <= median <= high
    # The same design as a sweep of two rows in batches of 10; one batch not done.
    design = tmp_path / "design.tsv"
    header = ["population-size", "generations", "fitness", "s", "k", "mu", "mu-a23", "mu-b23",
              "recombination", "record-every", "stop", "watch", "replicates"]
    design.write_text("\t".join(header) + "\n" + "".join(
        "\t".join(["1000", "3000", str(VALLEY), "0.01", "0.1", "1e-4", "1e-6", "1e-6", r, "0",
                   f"{A};a3 >= 0.1", "h22 >= 0.05", "20"]) + "\n" for r in ("0", "0.5")))
    done = command("twolocus-sweep", "run", "--sim", "--batch-size", "10", design,
                   tmp_path / "out", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    whole = rows(command("twolocus-stats", "--sweep", "out", "--by", "recombination",
                         cwd=tmp_path))
    pooled = rows(command("twolocus-stats", *sorted(str(p) for p in tmp_path.glob(
        "out/runs/*/batch.summary.tsv")), "--by", "recombination", cwd=tmp_path))
    assert [row[1:] for row in whole] == [row[1:] for row in pooled]
    assert [row[2] for row in whole[1:]] == ["20"] * 6
    (tmp_path / "out" / "runs" / "1_0-9" / "exit-status").unlink()  # row 1, r = 0
    done = command("twolocus-stats", "--sweep", "out", "--event", A, cwd=tmp_path)
    assert done.stderr.endswith("10 of its 20 replicates are not done; they are left out.\n")
    assert [line.split("\t")[2] for line in done.stdout.splitlines()[1:]] == ["10", "20"]


def test_levels_tables_given_twice_and_inputs_that_are_no_files(hand):
    import os
    from twolocus.analysis.survival import MAX_LEVEL, z_value
    from twolocus.errors import TwolocusError
    os.symlink("a.summary.tsv", hand / "link.summary.tsv")
    os.link(hand / "a.summary.tsv", hand / "hard.summary.tsv")
    os.mkfifo(hand / "fifo.summary.tsv")
    too_close = ("The level [0.9999999999999999] is too close to 1: its intervals would be "
                 "infinite; give at most 0.9999999999999998.")
    for arguments, message in [
            (["a.summary.tsv", "--level", "0.9999999999999999"], too_close),
            (["a.summary.tsv", "b.summary.tsv", "./a.summary.tsv"],
             "Summary tables [a.summary.tsv] and [./a.summary.tsv] are the same file; give it "
             "once."),
            (["link.summary.tsv", "a.summary.tsv"],
             "Summary tables [link.summary.tsv] and [a.summary.tsv] are the same file; give it "
             "once."),
            (["a.summary.tsv", f"{hand}/hard.summary.tsv", "--by", "recombination"],
             f"Summary tables [a.summary.tsv] and [{hand}/hard.summary.tsv] are the same file; "
             "give it once."),
            (["a.summary.tsv", "fifo.summary.tsv"],
             "Input [fifo.summary.tsv] is a FIFO, not a trajectory file or a summary table.")]:
        for name in ("twolocus-stats", "twolocus-plot"):
            done = command(name, *arguments, "-o", "out.png", cwd=hand, timeout=60)
            assert (done.returncode, done.stdout, done.stderr) == (1, "", message + "\n")
            assert not (hand / "out.png").exists()
    found = rows(command("twolocus-stats", "b.summary.tsv", "--level", repr(MAX_LEVEL),
                         cwd=hand))
    assert found[1][3:6] == ["4", "0", "0"]
    with pytest.raises(TwolocusError, match=r"too close to 1"):
        z_value(0.9999999999999999)
    assert z_value(MAX_LEVEL) == pytest.approx(8.2095, abs=1e-4)


def test_parameter_values_print_as_the_shortest_text_that_reads_back(hand):
    """OUT.params holds 0.10000000000000001 for 0.1 (17 digits): the keys, the
    legends and the labels print 0.1, and 0 for a value written 0.0."""
    from twolocus.analysis.studies import shown_number
    from twolocus.commands.common import study_samples
    from twolocus.commands.plot import parser
    from twolocus.pictures.studies import draw_curves, draw_medians
    table(hand, "c", ROWS_B, r="0.10000000000000001")
    table(hand, "d", ROWS_B, r="0.0")
    table(hand, "e", ROWS_B, r="1.0000000000000001e-05")
    found = rows(command("twolocus-stats", "a.summary.tsv", "c.summary.tsv", "d.summary.tsv",
                         "e.summary.tsv", "--by", "recombination", "--event", A, cwd=hand))
    assert [row[0] for row in found[1:]] == ["0", "1e-05", "0.1", "0.5"]
    args = parser().parse_args(["c.summary.tsv", "d.summary.tsv", "--by",
                                "recombination", "--event", A, "-o", "x.png"])
    args.files = [str(hand / name) for name in args.files]
    samples = study_samples(args)
    legend = [text.get_text() for text in draw_curves(samples, 0.95).axes[0].get_legend().texts]
    assert legend == ["recombination = 0: 4 runs, 4 events, 0 censored",
                      "recombination = 0.1: 4 runs, 4 events, 0 censored"]
    figure = draw_medians(samples, "recombination", 0.95)
    assert figure.axes[0].get_xlabel() == "recombination"
    assert [shown_number(text) for text in ("0.10000000000000001", "100", "1e+22", "-0.0",
                                            "h22 >= 0.5", "exact", "1e400")] == [
        "0.1", "100", "1e+22", "-0", "h22 >= 0.5", "exact", "1e400"]


def test_the_curves_legend_fits_beside_full_width_panels(hand):
    """Long legend entries take one column (wrapped where wider than the picture)
    instead of squeezing the panels; short ones two."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    from twolocus.commands.common import study_samples
    from twolocus.commands.plot import parser
    from twolocus.pictures.studies import draw_curves
    for name in ("c", "d", "e"):
        table(hand, f"{name}-with-a-long-name-that-makes-a-long-legend-entry", ROWS_A)
    files = sorted(str(path.name) for path in hand.glob("*.summary.tsv"))
    for width, by in ((10.0, ["file", "recombination", "population-size"]),
                      (10.0, ["recombination"]), (5.0, ["file", "recombination"])):
        args = parser().parse_args(files + sum((["--by", b] for b in by), []) + ["-o", "x.png"])
        args.files = [str(hand / name) for name in args.files]
        figure = draw_curves(study_samples(args), 0.95, size=None if width == 10 else
                             (width, 14.0))
        renderer = FigureCanvasAgg(figure).get_renderer()
        figure.draw(renderer)
        pixels = figure.get_size_inches()[0] * figure.dpi
        for panel in figure.axes:
            legend = panel.get_legend().get_window_extent(renderer)
            assert 0 <= legend.x0 and legend.x1 <= pixels, (width, by)
            assert panel.get_window_extent(renderer).width > 0.75 * pixels, (width, by)
        columns = figure.axes[0].get_legend()._ncols
        assert columns == (2 if by == ["recombination"] else 1)


def test_a_batch_of_several_demes_reads_with_each_demes_statistics(tmp_path):
    # Two islands exchanging migrants: the summary has the whole's statistics,
    # then each deme's (STAT@NAME), and the survival statistics read it as any.
    (tmp_path / "islands.yaml").write_text(
        "time_units: generations\ndemes:\n  - name: A\n    epochs: [{start_size: 60}]\n"
        "  - name: B\n    epochs: [{start_size: 40}]\nmigrations:\n  - demes: [A, B]\n"
        "    rate: 0.01\n")
    done = subprocess.run([BUILD / "twolocus-sim", "--fitness", VALLEY, "-s", "0.01", "-k", "0.1",
                           "--mu", "1e-3", "--demography", tmp_path / "islands.yaml",
                           "--generations", "300", "--record-every", "0", "--replicates", "6",
                           "--stop", "a1@B < 0.9", "--watch", "count(2222) > 0",
                           "-o", tmp_path / "isl"], capture_output=True)
    assert done.returncode == 0, done.stderr
    from twolocus.runfiles.summary import deme_columns, read_summary_table
    header = (tmp_path / "isl.summary.tsv").read_text().splitlines()[0].split("\t")
    assert deme_columns(header) == ["A", "B"]
    assert len(header) == 5 + 2 + len(STAT_COLUMNS) * 3
    table = read_summary_table(str(tmp_path / "isl.summary.tsv"))
    assert table.conditions == ["a1@B < 0.9", "count(2222) > 0"]
    for line in (tmp_path / "isl.summary.tsv").read_text().splitlines()[1:]:
        cells = dict(zip(header[::-1], line.split("\t")[::-1]))  # the last of a name
        assert int(cells["N@A"]) + int(cells["N@B"]) == int(line.split("\t")[7]) == 100
    found = rows(command("twolocus-stats", "isl.summary.tsv", cwd=tmp_path))
    assert [row[:3] for row in found[1:]] == [["isl.summary.tsv", "a1@B < 0.9", "6"],
                                              ["isl.summary.tsv", "count(2222) > 0", "6"]]
