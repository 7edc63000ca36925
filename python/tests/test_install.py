"""The commands installed by cmake --install and by the Debian package run from their bin; the
package declares what it needs and carries the licences."""

import os
import re
import subprocess

from conftest import BUILD, REPOSITORY, VALLEY
from sweep_helpers import manifest, write_design

RELEASE = (REPOSITORY / "VERSION").read_text().strip()


def check_licences(doc):
    """doc holds LICENSE and a copyright file in Debian's format whose Expat text is LICENSE's,
    with a License paragraph for every licence a Files paragraph names."""
    licence = (doc / "LICENSE").read_text()
    assert licence.startswith("MIT License\n\nCopyright (c) 2026 the twolocus developers\n")
    paragraphs = [p for p in (doc / "copyright").read_text().split("\n\n") if p.strip()]
    assert paragraphs[0].startswith(
        "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
    texts, named = {}, set()
    for paragraph in paragraphs[1:]:
        fields = re.findall(r"^([A-Za-z-]+):[ ]?(.*(?:\n .*)*)", paragraph, re.MULTILINE)
        fields = {key: value for key, value in fields}
        if "Files" in fields:
            assert fields.get("Copyright") and fields.get("License"), paragraph
            named |= set(fields["License"].split(" and "))
        else:
            name, _, text = fields["License"].partition("\n")
            texts[name] = text
    assert named == set(texts)
    expat = "\n".join("" if line == " ." else line[1:] for line in texts["Expat"].split("\n"))
    assert licence.split("\n\n", 2)[2].rstrip("\n") == expat


def check_installed(bin_dir, tmp_path):
    """Runs each installed command once on a fresh run."""
    out = tmp_path / "run.out"
    subprocess.run([bin_dir / "twolocus", VALLEY, "1", "5", "10", "401", "20",
                    *["10000"] * 6, out], check=True, capture_output=True)
    subprocess.run([bin_dir / "twolocus-plot", out, "-o", "run.svg"], check=True, cwd=tmp_path)
    assert (tmp_path / "run.svg").stat().st_size > 1000
    stats = subprocess.run([bin_dir / "twolocus-stats", out], check=True, capture_output=True,
                           cwd=tmp_path)
    assert len(stats.stdout.splitlines()) == 4  # header, 0, 200, 400 (401 repeats 400)
    subprocess.run([bin_dir / "twolocus-sim", "--fitness", VALLEY, "-N", "20", "--generations", "30",
                    "--record-every", "10", "-o", tmp_path / "sim.out"], check=True)
    stats = subprocess.run([bin_dir / "twolocus-stats", tmp_path / "sim.out"], check=True,
                           capture_output=True, text=True)
    assert [line.split("\t")[2] for line in stats.stdout.splitlines()[1:]] == ["1", "11", "21"]


def test_install_into_a_prefix(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                   capture_output=True)
    for page in ("twolocus", "twolocus-stats", "twolocus-plot", "twolocus-sweep"):
        assert (prefix / "share" / "man" / "man1" / f"{page}.1.gz").exists()
    # The man pages' examples name the shipped tables.
    doc = prefix / "share" / "doc" / "twolocus"
    assert (doc / "examples" / "valley.tsv").read_bytes() == VALLEY.read_bytes()
    assert (doc / "README.md").exists() and (doc / "examples" / "README.md").exists()
    check_licences(doc)
    check_installed(prefix / "bin", tmp_path)
    # The installed package reads the programs' messages from its own copy of their table,
    # and runs the engines with its own compiled module.
    subprocess.run(["/usr/bin/python3", "-c", "from twolocus.messages import MESSAGES, TABLE_PATHS\n"
                    "assert MESSAGES and TABLE_PATHS[0].startswith(%r)\n" % str(prefix) +
                    "import twolocus, twolocus._core\n"
                    "assert twolocus._core.__file__.startswith(%r)\n" % str(prefix) +
                    "assert twolocus.__version__ == %r\n" % RELEASE +
                    "model = twolocus.Model(%r)\n" % str(VALLEY) +
                    "assert twolocus.simulate(model, N=10, generations=3).population.sum() == 10"],
                   check=True, env=dict(os.environ, PYTHONPATH=prefix / "lib" / "python3" / "dist-packages",
                                        TWOLOCUS_BUILD="/nonexistent"))
    # The installed sweep command runs the installed program, found beside it.
    write_design(tmp_path).write_text(
        "fitness\tcolumn\ts\tk\tn\tN\ta12\ta23\ta13\tb12\tb23\tb13\treplicates\n"
        "valley.tsv\t1\t0\t50\t300\t50\t0\t0\t0\t0\t0\t0\t2\n")
    result = subprocess.run([prefix / "bin" / "twolocus-sweep", "run", "design.tsv", "out"],
                            cwd=tmp_path, capture_output=True, text=True,
                            env=dict(os.environ, PATH="/usr/bin:/bin"))
    assert result.returncode == 0, result.stderr
    assert manifest(tmp_path / "out")[0]["command"].startswith(f"{prefix}/bin/twolocus ")


def test_debian_package(tmp_path):
    subprocess.run(["cpack", "-G", "DEB", "--config", BUILD / "CPackConfig.cmake",
                    "-B", tmp_path], check=True, capture_output=True)
    (package,) = tmp_path.glob("twolocus_*.deb")
    assert package.name == f"twolocus_{RELEASE}_amd64.deb"

    def field(name):
        return subprocess.run(["dpkg-deb", "-f", package, name], check=True,
                              capture_output=True, text=True).stdout.strip()
    assert field("Version") == RELEASE
    depends = set(field("Depends").split(", "))
    assert {"python3-numpy", "python3-matplotlib", "parallel"} <= depends
    root = tmp_path / "root"
    subprocess.run(["dpkg-deb", "-x", package, root], check=True)
    # The compiled module is for one minor version of Python: the package asks for that one.
    (core,) = (root / "usr" / "lib" / "python3" / "dist-packages" / "twolocus").glob("_core.*.so")
    major, minor = re.match(r"_core\.cpython-([0-9])([0-9]+)-", core.name).groups()
    assert {f"python3 (>= {major}.{minor})", f"python3 (<< {major}.{int(minor) + 1})"} <= depends
    assert "python3" not in depends
    check_licences(root / "usr" / "share" / "doc" / "twolocus")
    page = subprocess.run(["gzip", "-dc", root / "usr" / "share" / "man" / "man1" / "twolocus.1.gz"],
                          check=True, capture_output=True, text=True).stdout
    assert "/usr/share/doc/twolocus/examples/valley.tsv" in page
    assert (root / "usr" / "share" / "doc" / "twolocus" / "examples" / "valley.tsv").exists()
    assert (root / "usr" / "bin" / "twolocus-sim").exists()
    assert list((root / "usr" / "lib" / "python3" / "dist-packages" / "twolocus").glob("_core.*.so"))
    check_installed(root / "usr" / "bin", tmp_path)


def test_byte_code_is_not_left_for_git():
    """The tests and the commands import modules from the repository: git ignores their byte
    code (the docs build writes none, which the test docs_installed checks)."""
    for folder in ("docs/_ext", "python/twolocus", "python/tests"):
        ignored = subprocess.run(["git", "check-ignore", "-q",
                                  f"{folder}/__pycache__/module.cpython-311.pyc"], cwd=REPOSITORY)
        assert ignored.returncode == 0, folder
