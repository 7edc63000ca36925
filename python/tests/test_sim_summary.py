"""twolocus-sim's OUT.summary.tsv against twolocus-stats: the last
population's statistics, written by the program in C++, equal what
twolocus-stats writes for the same record, and what population_stats and
format_value give for the same counts (large populations, fixed alleles,
extinction)."""

import random
import subprocess

from conftest import BUILD, VALLEY, command
from twolocus.analysis.statistics import STAT_COLUMNS, format_value, population_stats
from twolocus.genotypes import LABELS


def sim(*args, cwd):
    done = subprocess.run([str(BUILD / "twolocus-sim"), *map(str, args)], capture_output=True,
                          text=True, cwd=cwd)
    assert done.returncode == 0, done.stderr


def summary(path):
    header, *rows = [line.split("\t") for line in path.read_text().splitlines()]
    assert header[:5] == ["replicate", "seed", "end", "label", "generations"]
    assert header[5:] == STAT_COLUMNS
    return [dict(zip(header, row)) for row in rows]


def test_summary_equals_twolocus_stats_on_the_final_record(tmp_path):
    runs = [
        ["-N", "300", "--mu", "0.01", "--mu-a21", "0.003", "--generations", "501", "--seed", "7"],
        ["-N", "1000000000", "--mu", "1e-4", "--recombination", "0.1", "--generations", "77"],
        ["-N", "50", "--generations", "33", "--engine", "exact"],  # no mutation: D' and r2 empty
        ["-N", "2147483647", "--mu", "0.3", "--mu-b31", "0.2", "--generations", "5"],
    ]
    for number, run in enumerate(runs):
        out = tmp_path / f"r{number}.out"
        sim("--fitness", VALLEY, "-s", "0.3", "-k", "0.5", "--record-every", "10", "-o", out,
            *run, cwd=tmp_path)
        stats = command("twolocus-stats", out)
        assert stats.returncode == 0, stats.stderr
        header, *rows = [line.split("\t") for line in stats.stdout.splitlines()]
        last = dict(zip(header, rows[-1]))
        [row] = summary(tmp_path / f"r{number}.out.summary.tsv")
        assert row["end"] == "last" and row["replicate"] == "0"
        # The label as if every generation were recorded (generations - 1);
        # the trajectory's final record of the same population says n.
        assert row["generations"] == last["generations"]
        assert int(row["label"]) == int(row["generations"]) - 1
        assert [row[c] for c in STAT_COLUMNS] == [last[c] for c in STAT_COLUMNS]


def test_summary_equals_population_stats_on_any_counts(tmp_path):
    generator = random.Random(19)
    fitness = tmp_path / "fit.tsv"
    fitness.write_text("".join(f"{' '.join(label)} {generator.uniform(0, 3)!r}\n"
                               for label in LABELS))
    cases = [{"1111": 0}, {"1111": 5}, {"1111": 2147483647}, {"2222": 1, "1111": 2147483646},
             {"1212": 1073741823, "2121": 1073741824}]
    for _ in range(6):
        labels = generator.sample(LABELS, generator.randint(1, 81))
        cases.append({label: generator.randint(0, 2147483647 // len(labels)) for label in labels})
    for number, counts in enumerate(cases):
        start = tmp_path / f"start{number}.tsv"
        start.write_text("".join(f"{label}\t{count}\n" for label, count in counts.items()))
        sim("--fitness-values", fitness, "-N", "10", "--generations", "0", "--initial", start,
            "-o", f"c{number}.out", cwd=tmp_path)
        [row] = summary(tmp_path / f"c{number}.out.summary.tsv")
        assert (row["label"], row["generations"]) == ("-1", "0")
        values = [float(line.split()[4]) for line in fitness.read_text().splitlines()]
        expected = population_stats([counts.get(label, 0) for label in LABELS], values)
        assert [row[c] for c in STAT_COLUMNS] == [format_value(expected[c]) for c in STAT_COLUMNS]
