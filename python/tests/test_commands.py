"""twolocus-stats and twolocus-plot end to end, from the repository's python/bin."""

import os
import struct
import subprocess

import matplotlib.image
import pytest

from conftest import BIN, BUILD, VALLEY, command, fresh, resume
from test_reader import kill_inside_last_record
from twolocus.analysis.statistics import STAT_COLUMNS


def test_stats_tables_of_whole_and_killed_runs_and_first_crossings(tmp_path):
    path = fresh(tmp_path / "run", 401)
    done = command("twolocus-stats", path)
    assert done.returncode == 0 and done.stderr == ""
    lines = [line.split("\t") for line in done.stdout.splitlines()]
    assert lines[0] == ["file", "label", "generations"] + STAT_COLUMNS
    assert [line[:4] for line in lines[1:]] == [[str(path), label, str(int(label) + 1), "50"]
                                                for label in ("0", "200", "400")]
    mean_fitness = lines[0].index("mean_fitness")
    assert {line[mean_fitness] for line in lines[1:]} == {"1"}  # the neutral column
    (tmp_path / "run.params").unlink()
    assert command("twolocus-stats", path).stdout.splitlines()[1].split("\t")[mean_fitness] == ""
    path = fresh(tmp_path / "killed", 1001)
    kill_inside_last_record(path, 28)
    done = command("twolocus-stats", path, fresh(tmp_path / "two", 1), "-o", tmp_path / "t.tsv")
    assert (done.returncode, done.stdout) == (0, "")
    assert done.stderr == f"The last line of [{path}] is not complete (only 28 entries); " \
                          "it is left out.\n"
    assert len((tmp_path / "t.tsv").read_text().splitlines()) == 1 + 6 + 1
    done = command("twolocus-stats", path, "--first", "N >= 50", "--first", "a1<0")
    assert done.stdout == ("file\tthreshold\tlabel\tgenerations\n"
                           f"{path}\tN >= 50\t0\t1\n{path}\ta1 < 0\tnone\t1001\n")


@pytest.mark.parametrize("arguments, message", [
    (["missing"], "Could not open trajectory file [missing] to read."),
    (["bad"], "Line 3 of [bad] is not a trajectory record."),
    (["good", "--first", "h4 > 1"], "Unknown statistic [h4]."),
    (["good", "--first", "h22 >> 1"], "Could not read the threshold [h22 >> 1]."),
    # Never read, never waited on for a writer, and named for what they are.
    (["/dev/zero"], "Input [/dev/zero] is a character device, not a trajectory file or a "
                    "summary table."),
    (["fifo"], "Input [fifo] is a FIFO, not a trajectory file or a summary table."),
    (["."], "Input [.] is a folder, not a trajectory file or a summary table."),
    (["good", "--by", "N"], "Option --by needs --sweep."),
])
def test_stats_errors(tmp_path, arguments, message):
    fresh(tmp_path / "good", 401)
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "bad").write_text("\n".join((tmp_path / "good").read_text().split("\n")[:2]
                                            + ["200\t1\t2", "400"]))
    for name in ("twolocus-stats", "twolocus-plot"):
        done = command(name, "good", *arguments, "-o", "out.png", cwd=tmp_path)
        assert (done.returncode, done.stdout, done.stderr) == (1, "", message + "\n")
        assert not (tmp_path / "out.png").exists()


def test_an_output_that_is_an_input_is_refused_before_anything_is_written(tmp_path):
    path = fresh(tmp_path / "run", 401)
    kept = {name: (tmp_path / name).read_bytes() for name in ("run", "run.params")}
    os.symlink("run", tmp_path / "link.png")
    os.link(tmp_path / "run.params", tmp_path / "second.svg")
    sweep = tmp_path / "sweep"
    (sweep / "runs" / "a_1").mkdir(parents=True)
    for name in ("manifest.tsv", "runs/a_1/trajectory"):
        (sweep / name).write_text("x\n")
    os.link(sweep / "manifest.tsv", tmp_path / "manifest.png")
    for name, output, message in [
            ("twolocus-stats", "run", "is the input file [run]."),
            ("twolocus-stats", "run.params", "is the input file [run.params]."),
            ("twolocus-plot", "link.png", "is the input file [run]."),
            ("twolocus-plot", "second.svg", "is the input file [run.params]."),
            ("twolocus-stats", "sweep/runs/a_1/trajectory", "is a file of the sweep folder [sweep]."),
            ("twolocus-plot", "manifest.png", "is a file of the sweep folder [sweep].")]:
        given = ["--sweep", "sweep"] if "sweep folder" in message else ["run"]
        done = command(name, *given, "-o", output, cwd=tmp_path)
        assert (done.returncode, done.stdout, done.stderr) == (
            1, "", f"Output file [{output}] {message}\n")
    assert {name: (tmp_path / name).read_bytes() for name in kept} == kept
    assert (sweep / "manifest.tsv").read_text() == "x\n"
    done = command("twolocus-stats", path, "-o", tmp_path / "table.tsv")  # a new file is fine
    assert done.returncode == 0 and (tmp_path / "table.tsv").exists()


def test_plots(tmp_path):
    runs = [fresh(tmp_path / f"run{seed}", 1201, seed=seed) for seed in (1, 2, 3)]
    resume(runs[0], 2001)
    out = tmp_path / "one.png"
    done = command("twolocus-plot", runs[0], "-o", out, "--size", "6x4", "--dpi", "50",
                   "--first", "a1 < 0.9")
    assert (done.returncode, done.stderr) == (0, "")
    data = out.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", data[16:24]) == (300, 200)
    pixels = matplotlib.image.imread(out)
    assert len({tuple(p) for p in pixels.reshape(-1, pixels.shape[-1])}) > 20  # not blank
    for name, magic in (("many.svg", b"<?xml"), ("many.pdf", b"%PDF")):
        done = command("twolocus-plot", *runs, "-o", tmp_path / name, "--first", "a1 < 0.9",
                       "--ld", "r2")
        assert done.returncode == 0 and (tmp_path / name).read_bytes().startswith(magic)
    done = command("twolocus-plot", runs[0], "-o", tmp_path / "x.jpg")
    assert (done.returncode, done.stderr) == (
        1, f"Plot file [{tmp_path / 'x.jpg'}] must end in .png, .svg or .pdf.\n")


def test_write_failures_huge_pictures_and_names_that_are_not_utf8(tmp_path):
    path = fresh(tmp_path / "run", 401)
    with open("/dev/full", "w") as full:
        done = subprocess.run([str(BIN / "twolocus-stats"), str(path)], stdout=full,
                              stderr=subprocess.PIPE, text=True)
    assert (done.returncode, done.stderr) == (1, "Could not write the table to standard output.\n")
    for name, out, arguments, message in [
            ("twolocus-stats", "/dev/full", [], "Could not write [/dev/full]."),
            ("twolocus-plot", "big.png", ["--size", "100x100", "--dpi", "700"],
             "A picture of [100x100] inches at [700] DPI is over 20000 pixels a side.")]:
        done = command(name, path, "-o", out, *arguments, cwd=tmp_path)
        assert (done.returncode, done.stdout, done.stderr) == (1, "", message + "\n")
    assert not (tmp_path / "big.png").exists()
    # A file name of bytes that are not UTF-8 comes back as those bytes.
    odd = os.fsencode(tmp_path) + b"/r\xff"
    os.rename(path, odd)
    done = subprocess.run([str(BIN / "twolocus-stats"), odd, "-o", odd + b".tsv"],
                          capture_output=True)
    assert (done.returncode, done.stderr) == (0, b"")
    with open(odd + b".tsv", "rb") as table:
        assert table.read().split(b"\n")[1].startswith(odd + b"\t0\t1\t50\t")
    assert command("twolocus-plot", os.fsdecode(odd), "-o", tmp_path / "odd.png").returncode == 0


def test_the_default_title_fits_the_picture(tmp_path):
    """A run with every mutation rate has a long default title: it is wrapped (and a
    name wider than the picture made smaller) so that nothing of it is cut off, nor of
    the panels' titles."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    from twolocus.pictures.runs import draw
    from twolocus.runfiles.runs import load_runs
    long_name = tmp_path / ("a-run-with-a-very-long-name-" * 4 + ".out")
    done = subprocess.run([BUILD / "twolocus-sim", "--fitness", VALLEY, "-N", "100",
                           "--generations", "20", "--mu", "1e-5", "--mu-a21", "1e-6",
                           "--mu-b32", "1e-6", "--record-every", "5", "-o", long_name],
                          capture_output=True)
    assert done.returncode == 0, done.stderr
    for size in ((10.0, 9.0), (6.0, 5.0), (4.0, 4.0)):
        figure = draw(load_runs([str(long_name)]), size=size)
        renderer = FigureCanvasAgg(figure).get_renderer()
        titles = [figure._suptitle] + [axes.title for axes in figure.axes if axes.get_visible()]
        for title in titles:
            box = title.get_window_extent(renderer)
            assert 0 <= box.x0 and box.x1 <= size[0] * figure.dpi, (size, title.get_text())
        assert "mutation a1→2 1e-05" in figure._suptitle.get_text().replace("\n", " ")
