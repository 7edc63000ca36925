"""twolocus-plot's picture of a run's demes: the whole population and each
deme in one picture, one colour per deme (by the model's order), each
deme's lines only where it exists; from --demes or from OUT@NAME files."""

import matplotlib.colors
import numpy as np
import pytest

from conftest import VALLEY, command
from test_simulation import program
from test_simulation_histories import SEVERAL, write

import twolocus
from twolocus.analysis.conditions import parse_threshold
from twolocus.pictures.demes import DEME_COLOURS, WHOLE, draw_demes

OPTIONS = ["--fitness", VALLEY, "--column", "1", "-s", "0.02", "-k", "0.1", "--mu", "0.002",
           "--recombination", "0.1", "--record-every", "2", "--generations", "50"]


def a_run(tmp_path):
    out = tmp_path / "run.out"
    done = program(*OPTIONS, "--demography", write(tmp_path / "three.yaml", SEVERAL), "-o", out)
    assert done.returncode == 0, done.stderr
    return out


def fitness_lines(figure):
    """The mean fitness panel's lines of data (not the thresholds' dotted
    lines): (colour, x) each."""
    axes = next(a for a in figure.axes if a.get_title() == "mean fitness")
    return [(matplotlib.colors.to_hex(line.get_color()), np.asarray(line.get_xdata()).tolist())
            for line in axes.get_lines() if line.get_linestyle() == "-"]


def test_a_runs_demes_are_drawn_in_one_picture_one_colour_each(tmp_path):
    out = a_run(tmp_path)
    run = twolocus.load_run(str(out))
    populations = [(WHOLE, run)] + list(run.demes.items())
    figure = draw_demes(populations, [parse_threshold("a2 >= 0.1")], order=list(run.demes))
    lines = fitness_lines(figure)
    colours = ["#000000"] + [matplotlib.colors.to_hex(c) for c in DEME_COLOURS[:3]]
    assert [colour for colour, _ in lines] == colours
    # Each population's line spans its records: B only while it exists.
    for (_, x), (_, population) in zip(lines, populations):
        assert x == population.generations.astype(float).tolist()
    assert run.demes["B"].labels.tolist() == list(range(10, 40, 2))
    legend = [text.get_text() for text in figure.axes[-1].get_legend().get_texts()]
    assert legend == [WHOLE, "A", "B", "C", "first a2 >= 0.1"]
    assert figure._suptitle.get_text().startswith(f"{out}: {WHOLE}, A, B, C")

    # The command: --demes, and the same picture from the files themselves.
    for arguments in ([out, "--demes"], [out, f"{out}@B", f"{out}@C"]):
        picture = tmp_path / "demes.png"
        done = command("twolocus-plot", *arguments, "-o", picture, "--first", "a2 >= 0.1",
                       "--size", "8x7", "--dpi", "60")
        assert (done.returncode, done.stderr) == (0, ""), done.stderr
        assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        picture.unlink()
    # Demes given alone keep their model colours: C is the third deme's.
    from twolocus.commands.plot import deme_populations
    populations, whole, name, order = deme_populations([f"{out}@C", f"{out}@A"], False)
    assert (whole, name, order) == (False, str(out), ["A", "B", "C"])
    assert [label for label, _ in populations] == ["C", "A"]
    assert populations[0][1].fitness is not None
    lines = fitness_lines(draw_demes(populations, whole=False, order=order))
    assert [colour for colour, _ in lines] == [matplotlib.colors.to_hex(DEME_COLOURS[2]),
                                               matplotlib.colors.to_hex(DEME_COLOURS[0])]


def test_what_a_picture_of_demes_refuses(tmp_path):
    out = a_run(tmp_path)
    plain = tmp_path / "plain.out"
    assert program(*OPTIONS, "-N", 30, "-o", plain).returncode == 0
    for arguments, message in [
            ([out, plain, "--demes"], "Give one trajectory file with --demes.\n"),
            ([plain, "--demes"], f"Run [{plain}] has no demes: its parameter file names no "
                                 "demes whose FILE@NAME file is there.\n")]:
        done = command("twolocus-plot", *arguments, "-o", tmp_path / "x.png")
        assert (done.returncode, done.stderr) == (1, message)
        assert not (tmp_path / "x.png").exists()
    # A deme's file is an input: never written over.
    link = tmp_path / "pic.png"
    link.symlink_to(f"{out}@A")
    before = (tmp_path / "run.out@A").read_bytes()
    done = command("twolocus-plot", out, "--demes", "-o", link)
    assert done.returncode == 1 and "is the input file" in done.stderr
    assert (tmp_path / "run.out@A").read_bytes() == before
    # Files of two runs, or one file of a deme, are runs as before.
    assert command("twolocus-plot", f"{out}@A", "-o", tmp_path / "a.png").returncode == 0
    assert np.array_equal(twolocus.load_run(f"{out}@A").counts, twolocus.load_run(
        str(out)).demes["A"].counts)


def test_twolocus_stats_reads_a_demes_file_with_its_runs_parameters(tmp_path):
    out = a_run(tmp_path)
    done = command("twolocus-stats", f"{out}@B")
    assert done.returncode == 0, done.stderr
    header, *rows = [line.split("\t") for line in done.stdout.splitlines()]
    assert [row[1] for row in rows] == [str(label) for label in range(10, 40, 2)]
    # Generations as the run's K gives them, and the mean fitness from its fitness table.
    assert [row[2] for row in rows] == [str(label + 1) for label in range(10, 40, 2)]
    assert all(row[header.index("mean_fitness")] != "" for row in rows)


def test_a_simulated_runs_demes_are_its_plot_with_demes(tmp_path):
    model = twolocus.Model(VALLEY, column=1, s=0.02, k=0.1, mu=0.002)
    run = twolocus.simulate(model, demography=write(tmp_path / "three.yaml", SEVERAL),
                            generations=50, record_every=2, seed=3)
    figure = run.plot(thresholds=["a2 >= 0.1"], demes=True)
    assert [colour for colour, _ in fitness_lines(figure)] == (
        ["#000000"] + [matplotlib.colors.to_hex(c) for c in DEME_COLOURS[:3]])
    assert figure._suptitle.get_text().startswith(f"simulate: {WHOLE}, A, B, C\nN = 60, n = 50")
    plain = twolocus.simulate(model, N=20, generations=5)
    with pytest.raises(ValueError, match="no demes"):
        plain.plot(demes=True)
    assert len(plain.plot().axes) >= 6
