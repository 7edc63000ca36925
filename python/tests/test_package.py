"""The package's shape: no module imports one that imports it back (imports
inside functions and the package's lazily imported API counted), and
without the compiled module every command says so in one line."""

import ast
import subprocess
import sys

from conftest import BIN, REPOSITORY

PACKAGE = REPOSITORY / "python" / "twolocus"


def module_names():
    """{dotted name: path} of every module of the package (a package by its
    __init__; the compiled module without a path)."""
    names = {"twolocus._core": None}
    for path in PACKAGE.rglob("*.py"):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        names[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return names


def imports(name, path, names):
    """The package's modules that module `name` imports anywhere in its text."""
    tree = ast.parse(path.read_text(), str(path))
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = package.split(".")
            base = base[:len(base) - node.level + 1] if node.level else []
            module = ".".join(base + ([node.module] if node.module else []))
            # `from . import x`: the submodule x where there is one.
            targets = [f"{module}.{alias.name}" if f"{module}.{alias.name}" in names else module
                       for alias in node.names]
        else:
            continue
        found |= {target for target in targets if target in names}
    if name == "twolocus":
        # The public API, imported on first use by name (twolocus/__init__.py's _API).
        api = next(node.value for node in tree.body if isinstance(node, ast.Assign)
                   and node.targets[0].id == "_API")
        found |= {f"twolocus.{key}" for key in ast.literal_eval(api)}
    found.discard(name)
    return found


def cycles_of(graph):
    """The import cycles of a graph {name: names it imports}, each as a path."""
    # Depth-first, keeping the path: a module met again on its own path closes a cycle.
    done, cycles = set(), []

    def visit(name, path):
        if name in path:
            cycles.append(path[path.index(name):] + [name])
            return
        if name in done:
            return
        for target in sorted(graph[name]):
            visit(target, path + [name])
        done.add(name)

    for name in sorted(graph):
        visit(name, [])
    return cycles


def test_the_package_has_no_import_cycle():
    names = module_names()
    graph = {name: imports(name, path, names) if path else set() for name, path in names.items()}
    assert len(graph) > 40 and "twolocus.engines.calls" in graph["twolocus"]
    cycles = cycles_of(graph)
    assert cycles == [], " -> ".join(cycles[0])
    # Nor do its subpackages: each uses only those below it (the map of docs/dev/design.md).
    packages = {}
    for name, targets in graph.items():
        for target in targets:
            source, sink = name.split(".")[:2], target.split(".")[:2]
            if source != sink and len(source) == len(sink) == 2:
                packages.setdefault(".".join(source), set()).add(".".join(sink))
    cycles = cycles_of({name: packages.get(name, set()) for name in set(packages).union(
        *packages.values())})
    assert cycles == [], " -> ".join(cycles[0])
    # "engine" means a simulation engine: GNU parallel and Slurm are launchers.
    assert "twolocus.sweeps.launchers" in graph and not any(
        name.endswith("engines") for name in graph if name != "twolocus.engines")


def test_without_the_compiled_module_each_command_says_so_in_one_line(tmp_path):
    environment = {"TWOLOCUS_BUILD": str(tmp_path / "no-build"), "PATH": "/usr/bin:/bin"}
    for name in ("twolocus-stats", "twolocus-plot", "twolocus-sweep"):
        done = subprocess.run([str(BIN / name), "--version"], capture_output=True, text=True,
                              env=environment)
        assert (done.returncode, done.stdout) == (1, ""), name
        assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr, done.stderr
        assert done.stderr.startswith(f"{name}: The compiled module twolocus._core is missing")
        assert "cmake --build build" in done.stderr and "cmake --install build" in done.stderr
    # From Python: the package imports; its API raises an ImportError saying the same.
    script = ("import sys; sys.path.insert(0, %r)\nimport twolocus\nprint(twolocus.__version__)\n"
              "try:\n    twolocus.simulate\nexcept ImportError as error:\n"
              "    print(type(error).__name__, str(error).count(chr(10)))\n")
    done = subprocess.run([sys.executable, "-c", script % str(REPOSITORY / "python")],
                          capture_output=True, text=True, env=environment)
    release = (REPOSITORY / "VERSION").read_text().strip()
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{release}\nMissingCore 0\n", "")
