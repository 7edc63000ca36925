"""The commands installed by cmake --install and by the Debian package run from their bin; the
install page's commands work as written; the package declares what it needs and carries the
licences; the man pages' examples name files that are installed."""

import os
import re
import shlex
import subprocess

from conftest import BUILD, REPOSITORY, VALLEY
from sweep_helpers import manifest, write_design

RELEASE = (REPOSITORY / "VERSION").read_text().strip()


def check_man_page_examples(root, prefix="/usr"):
    """Every example table a man page names is an installed file under root (the page's
    prefix replaced by root)."""
    for page in (root / "share" / "man" / "man1").glob("*.1.gz"):
        text = subprocess.run(["gzip", "-dc", page], check=True, capture_output=True,
                              text=True).stdout
        for path in re.findall(r"(\S*)examples/([\w.-]+\.tsv)", text):
            assert path[0].endswith(f"{prefix}/share/doc/twolocus/"), (page.name, path)
            assert (root / "share" / "doc" / "twolocus" / "examples" / path[1]).is_file()


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
    for page in ("twolocus", "twolocus-sim", "twolocus-stats", "twolocus-plot", "twolocus-sweep"):
        assert (prefix / "share" / "man" / "man1" / f"{page}.1.gz").exists()
    # The man pages' examples name the shipped tables.
    doc = prefix / "share" / "doc" / "twolocus"
    assert (doc / "examples" / "valley.tsv").read_bytes() == VALLEY.read_bytes()
    assert (doc / "README.md").exists() and (doc / "examples" / "README.md").exists()
    check_man_page_examples(prefix)
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
    check_man_page_examples(root / "usr")
    page = subprocess.run(["gzip", "-dc", root / "usr" / "share" / "man" / "man1" / "twolocus.1.gz"],
                          check=True, capture_output=True, text=True).stdout
    assert "/usr/share/doc/twolocus/examples/valley.tsv" in page
    assert (root / "usr" / "share" / "doc" / "twolocus" / "examples" / "valley.tsv").exists()
    assert (root / "usr" / "bin" / "twolocus-sim").exists()
    assert list((root / "usr" / "lib" / "python3" / "dist-packages" / "twolocus").glob("_core.*.so"))
    check_installed(root / "usr" / "bin", tmp_path)


def fenced_blocks(page, heading):
    """The sh code blocks of a Markdown page's section (from its ## heading to the next)."""
    text = page.read_text()
    section = text[text.index(f"\n## {heading}\n"):]
    section = section[:section.find("\n## ", 1) if "\n## " in section[1:] else len(section)]
    return re.findall(r"```sh\n(.*?)```", section, re.DOTALL)


def test_the_install_pages_commands_as_written(tmp_path):
    """docs/start/install.md's commands, from the top of the repository, with this build folder
    for build and a scratch prefix for ~/.local: the build they ask for is what the install
    rules install, and the install puts in PREFIX what the page lists."""
    page = REPOSITORY / "docs" / "start" / "install.md"
    (block,) = fenced_blocks(page, "From source")
    commands = [line.split("#")[0].strip() for line in block.splitlines() if line.strip()]
    prefix = tmp_path / "prefix"
    words = [[{"build": str(BUILD), "~/.local": str(prefix)}.get(w, w) for w in shlex.split(c)]
             for c in commands]
    assert [w[:2] for w in words] == [["cmake", "-S"], ["cmake", "--build"], ["cmake", "--install"]]
    # Every file the install rules take from the build folder is made by a target the page
    # builds: a program by its own target, the module by twolocus_core, the pages by docs.
    targets = set(words[1][words[1].index("--target") + 1:])
    rules = (BUILD / "cmake_install.cmake").read_text()
    for kind, source in re.findall(r'file\(INSTALL DESTINATION "[^"]*" TYPE (\w+) FILES\s+"([^"]+)"', rules):
        if not source.startswith(str(BUILD) + "/"):
            continue
        relative = source[len(str(BUILD)) + 1:]
        if kind == "EXECUTABLE":
            assert relative in targets, f"the page does not build {relative}"
        elif kind == "MODULE":
            assert "twolocus_core" in targets
        elif relative.startswith("docs/"):
            assert "docs" in targets
    for command in words:
        done = subprocess.run(command, cwd=REPOSITORY, capture_output=True, text=True)
        assert done.returncode == 0, (command, done.stdout[-2000:], done.stderr[-2000:])
    # What the page lists is what is installed.
    listed = re.findall(r"`bin/([\w-]+)`", page.read_text())
    assert sorted(listed) == sorted(path.name for path in (prefix / "bin").iterdir())
    pages = re.findall(r"`([\w-]+)\(1\)`", page.read_text()[page.read_text().index("## From source"):])
    assert sorted(pages) == sorted(path.name[:-len(".1.gz")]
                                   for path in (prefix / "share" / "man" / "man1").iterdir())
    doc = prefix / "share" / "doc" / "twolocus"
    assert {"README.md", "LICENSE", "copyright", "examples", "html"} <= {p.name for p in doc.iterdir()}


def test_the_readme_names_the_packages_setup_installs():
    needed = re.search(r"needed=\(([^)]*)\)", (REPOSITORY / "scripts" / "setup.sh").read_text())[1]
    needed = [word for word in needed.split() if word != '"$@"']
    readme = (REPOSITORY / "README.md").read_text()
    listed = re.search(r"It checks for the Debian packages\n`([^`]*)`", readme)[1].split()
    assert listed == needed


def test_byte_code_is_not_left_for_git():
    """The tests and the commands import modules from the repository: git ignores their byte
    code (the docs build writes none, which the test docs_installed checks)."""
    for folder in ("docs/_ext", "python/twolocus", "python/tests"):
        ignored = subprocess.run(["git", "check-ignore", "-q",
                                  f"{folder}/__pycache__/module.cpython-311.pyc"], cwd=REPOSITORY)
        assert ignored.returncode == 0, folder
