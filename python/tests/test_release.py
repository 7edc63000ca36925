"""The release: one number in the file VERSION, shown everywhere it is asked for, and the files
of release 1.0.0 (tests/cases/release-1.0.0/) read, resumed and reproduced by this one."""

import re
import shutil
import subprocess

import pytest

from conftest import BIN, BUILD, REPOSITORY, VALLEY

RELEASE = (REPOSITORY / "VERSION").read_text().strip()
STORED = REPOSITORY / "tests" / "cases" / "release-1.0.0"


def test_the_release_is_one_semantic_version_in_one_line():
    assert re.fullmatch(r"(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)", RELEASE)
    assert (REPOSITORY / "VERSION").read_text() == RELEASE + "\n"


def test_every_program_and_the_package_give_the_release():
    shown = subprocess.run([BUILD / "twolocus-sim", "--version"], capture_output=True, text=True)
    assert (shown.returncode, shown.stdout, shown.stderr) == (0, f"twolocus-sim version {RELEASE}\n", "")
    for name in ("twolocus-stats", "twolocus-plot", "twolocus-sweep"):
        shown = subprocess.run([BIN / name, "--version"], capture_output=True, text=True)
        assert (shown.returncode, shown.stdout, shown.stderr) == (0, f"{name} version {RELEASE}\n", "")
    version = subprocess.run(["/usr/bin/python3", "-c", "import twolocus; print(twolocus.__version__)"],
                             capture_output=True, text=True, cwd=REPOSITORY / "python", check=True)
    assert version.stdout == RELEASE + "\n"
    # The classic programs' banner keeps its own text in every release.
    banner = subprocess.run([BUILD / "twolocus"], capture_output=True, text=True)
    assert banner.stdout.startswith("Called [")
    assert "] version 110303\n" in banner.stdout


def test_the_pages_and_man_pages_name_the_release():
    docs = BUILD / "docs"
    if not (docs / "html" / "index.html").exists():
        pytest.skip("the documentation is not built (TWOLOCUS_DOCS=OFF)")
    assert f"twolocus {RELEASE} documentation</title>" in (docs / "html" / "index.html").read_text()
    page = (docs / "html" / "reference" / "releases.html").read_text()
    assert f"twolocus {RELEASE} documentation" in page
    man = (docs / "man" / "twolocus-sim.1").read_text()
    assert re.search(r'^\.TH "TWOLOCUS-SIM" "1" "2026" "%s" ' % re.escape(RELEASE), man, re.MULTILINE)


def test_the_change_log_and_the_citation():
    changes = (REPOSITORY / "CHANGELOG.md").read_text()
    # The newest release heading is this release: a new release is entered in the log.
    assert re.findall(r"^## ([0-9][^ \n]*)", changes, re.MULTILINE)[0] == RELEASE
    citation = (REPOSITORY / "CITATION.cff").read_text()
    assert "cff-version: 1.2.0\n" in citation and "license: MIT\n" in citation
    assert re.search(r"^title: ", citation, re.MULTILINE) and "- name: the twolocus developers\n" in citation
    # The release is written in VERSION only.
    assert not re.search(r"^version:", citation, re.MULTILINE)
    assert (REPOSITORY / "LICENSE").read_text().startswith(
        "MIT License\n\nCopyright (c) 2026 the twolocus developers\n")


def sim(*args, cwd):
    done = subprocess.run([BUILD / "twolocus-sim", *map(str, args)], capture_output=True,
                          text=True, cwd=cwd)
    assert done.returncode == 0, done.stderr
    return done


COMMON = ["--fitness", VALLEY, "-s", "0.02", "-k", "0.1", "-N", "30", "--mu", "0.01",
          "--recombination", "0.1", "--watch", "a2>=0.2"]


@pytest.mark.parametrize("engine,seed", [("exact", 11), ("multinomial", 12)])
def test_runs_of_release_1_0_0_are_extended_and_rerun_to_the_same_files(tmp_path, engine, seed):
    stored = {path.name: path.read_bytes() for path in STORED.glob(f"{engine}*")}
    for name, data in stored.items():
        (tmp_path / name).write_bytes(data)
    # The same seed and parameters give the files release 1.0.0 wrote.
    sim(*COMMON, "--record-every", "10", "--engine", engine, "--seed", seed, "--generations", 65,
        "-o", "again.out", cwd=tmp_path)
    for suffix in ("", ".params", ".checkpoint", ".summary.tsv"):
        assert (tmp_path / f"again.out{suffix}").read_bytes() == stored[f"{engine}-65.out{suffix}"]
    # The finished run of 35 generations, extended to 65 from its files, gives the records of the
    # run of 65 with the resume's markings (its final record, a blank line, the record again).
    sim("--resume", f"{engine}.out", "--generations", 65, cwd=tmp_path)
    lines = (tmp_path / f"{engine}.out").read_bytes().split(b"\n")
    final = lines[5]
    assert final.startswith(b"35\t") and lines[6:8] == [b"", final]
    assert b"\n".join(lines[:5] + lines[8:]) == stored[f"{engine}-65.out"]
    assert (tmp_path / f"{engine}.out.params").read_bytes() == stored[f"{engine}-65.out.params"]
    assert (tmp_path / f"{engine}.out.summary.tsv").read_bytes() == stored[f"{engine}-65.out.summary.tsv"]


def test_a_batch_of_release_1_0_0_is_read_and_rerun_to_the_same_table(tmp_path):
    for path in STORED.glob("batch*"):
        shutil.copy(path, tmp_path)
    done = sim("--resume", "batch", cwd=tmp_path)
    assert "already holds all its 6 replicates. Nothing to do." in done.stderr
    for path in STORED.glob("batch*"):
        assert (tmp_path / path.name).read_bytes() == path.read_bytes()
    sim(*COMMON, "--engine", "multinomial", "--seed", 13, "--generations", 40, "--record-every", 0,
        "--replicates", 6, "--threads", 1, "-o", "again", cwd=tmp_path)
    assert (tmp_path / "again.summary.tsv").read_bytes() == (STORED / "batch.summary.tsv").read_bytes()
    assert (tmp_path / "again.params").read_bytes() == (STORED / "batch.params").read_bytes()
