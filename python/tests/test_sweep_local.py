"""Local sweeps end to end: files equal direct runs, kills, restarts, extensions,
refusals, --continue, several machines through a stand-in ssh, a full disk, summaries."""

import fcntl
import os
import re
import resource
import shutil
import signal
import subprocess
import threading

import pytest

from conftest import command
from sweep_helpers import (PROGRAM, SWEEP, copy, manifest, reference, run_files,  # noqa: F401
                           run_local, script, stamps, sweep, wait_until, write_design)


def test_manifest_and_every_run_equal_the_program_run_by_hand(reference, tmp_path):
    design, folder, files = reference
    runs = manifest(folder)
    assert [r["run"] for r in runs] == ["cross_1", "cross_2", "cross_3", "slow_1", "slow_2", "slow_3"]
    assert list(runs[0]) == ["run", "row", "replicate", "seed", "name", "fitness", "column", "s",
                             "k", "n", "N", "a12", "a23", "a13", "b12", "b23", "b13",
                             "replicates", "tag_kind", "command"]
    assert len({r["seed"] for r in runs}) == 6
    assert runs[3]["command"] == (f"{PROGRAM} ../../fitness/valley.tsv 1 5 10 20000 10000 "
                                  f"10000 10000 10000 10000 10000 10000 trajectory {runs[3]['seed']}")
    assert (folder / "fitness" / "valley.tsv").read_bytes() == (design.parent / "valley.tsv").read_bytes()
    assert (folder / "design.tsv").read_bytes() == design.read_bytes()
    assert all(f["exit-status"] == b"0\n" and len(f) == 4 for f in files.values())
    # Each manifest command run by hand in a folder laid out like the sweep's.
    direct = tmp_path / "direct"
    shutil.copytree(folder / "fitness", direct / "fitness")
    shutil.copyfile(folder / "manifest.tsv", direct / "manifest.tsv")
    for run in runs:
        (direct / "runs" / run["run"]).mkdir(parents=True)
        subprocess.run(f"{run['command']} > console.log 2>&1; echo $? > exit-status", shell=True,
                       cwd=direct / "runs" / run["run"])
    assert run_files(direct) == files


def start_sweep_until_slow_run(tmp_path):
    """Starts a sweep of the test design with one job, in a session of its
    own, and waits until its first slow run has written some records; returns
    the design, the sweep folder, the sweep's process and the slow run's
    trajectory."""
    design, folder = write_design(tmp_path), tmp_path / "sweep"
    process = subprocess.Popen([SWEEP, "run", design, folder, "--program", PROGRAM, "--jobs", "1"],
                               start_new_session=True, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    partial = folder / "runs" / "slow_1" / "trajectory"
    wait_until(lambda: partial.exists() and partial.stat().st_size > 2000)
    return design, folder, process, partial


def test_a_killed_sweep_summarised_continued_and_run_again(reference, tmp_path):
    # Run one job at a time and killed (SIGKILL to its whole process group)
    # while its first slow run is going.
    design, folder, process, partial = start_sweep_until_slow_run(tmp_path)
    os.killpg(process.pid, signal.SIGKILL)
    process.wait()

    def group_gone():
        try:
            os.killpg(process.pid, 0)
        except ProcessLookupError:
            return True
        return False

    wait_until(group_gone)
    done = [r["run"] for r in manifest(folder)
            if (folder / "runs" / r["run"] / "exit-status").exists()]
    assert done == ["cross_1", "cross_2", "cross_3"]
    status = sweep("status", folder)
    assert status.stdout.startswith(f"6 runs in [{folder}]: 3 done, 0 failed, 0 running, 3 pending.")

    # Summaries of the half-done sweep.
    table = command("twolocus-stats", "--sweep", folder, "--first", "h22 >= 0.5")
    assert table.returncode == 0, table.stderr
    rows = [line.split("\t") for line in table.stdout.splitlines()]
    by_run = {row[0]: dict(zip(rows[0], row)) for row in rows[1:]}
    assert [by_run[r]["status"] for r in sorted(by_run)] == ["done"] * 3 + ["pending"] * 3
    assert by_run["slow_1"]["a1"] == "" and by_run["slow_1"]["first_label:h22>=0.5"] == ""
    assert by_run["cross_1"]["N:final"] == "1000" and by_run["cross_1"]["N"] == "1000"
    assert all(by_run[f"cross_{i}"]["first_label:h22>=0.5"] not in ("", "none") for i in (1, 2, 3))
    fractions = command("twolocus-stats", "--sweep", folder, "--first", "h22 >= 0.5", "--by", "name")
    assert fractions.stdout.splitlines() == [
        "name\truns\tdone\tmissing\tpassed:h22>=0.5\tfraction:h22>=0.5",
        "cross\t3\t3\t0\t3\t1", "slow\t3\t0\t3\t0\t"]
    picture = tmp_path / "crossing.png"
    plot = command("twolocus-plot", "--sweep", folder, "--first", "h22 >= 0.5", "--by", "s",
                   "-o", picture)
    assert plot.returncode == 0, plot.stderr
    assert picture.read_bytes().startswith(b"\x89PNG") and picture.stat().st_size > 20000
    for name, args, message in [
            ("twolocus-stats", ["--by", "colour"], "The sweep has no column [colour].\n"),
            ("twolocus-plot", ["-o", picture], "Give one --first threshold with --sweep.\n"),
            ("twolocus-stats", ["x.out"], "Give trajectory files or --sweep, not both.\n")]:
        failed = command(name, "--sweep", folder, *args)
        assert (failed.returncode, failed.stdout, failed.stderr) == (1, "", message)

    # --continue resumes the interrupted run from its last record.
    continued = tmp_path / "continued"
    shutil.copytree(folder, continued)
    kept = partial.read_bytes()[:partial.read_bytes().rindex(b"\n") + 1]
    result = run_local(design, continued, "--continue", "--jobs", "1")
    assert result.returncode == 0, result.stderr
    files = run_files(continued)
    resumed = files.pop("slow_1")
    # The work done before the kill is kept, then comes the resume point.
    assert resumed["trajectory"].startswith(kept)
    assert len(resumed["trajectory"]) > len(reference[2]["slow_1"]["trajectory"])
    assert b"m (where we left off) is" in resumed["console.log"]
    assert (continued / "runs" / "slow_1" / "resumed").exists()
    assert files == {run: f for run, f in reference[2].items() if run != "slow_1"}

    # Run again, it completes with the same bytes and keeps the finished runs.
    before = stamps(folder, done)
    again = run_local(design, folder, "--jobs", "1")
    assert again.returncode == 0, again.stderr
    assert run_files(folder) == reference[2] and stamps(folder, done) == before
    # The job log shows every run started once: the first three by the killed
    # command (the run it was killed in is not logged), the others by this one.
    log = (folder / "parallel.log").read_text().splitlines()
    assert [line.split()[-1] for line in log] == [r["run"] for r in manifest(folder)]
    # Once all are done, the same command runs nothing.
    unchanged = stamps(folder, [r["run"] for r in manifest(folder)])
    assert run_local(design, folder).returncode == 0
    assert stamps(folder, [r["run"] for r in manifest(folder)]) == unchanged


def test_a_design_may_add_runs_but_not_change_or_remove_them(copy, tmp_path):
    design, folder, files = copy
    lines = design.read_text().splitlines()
    before = stamps(folder, files)

    def write(name, rows):
        (tmp_path / name).write_text("\n".join(rows) + "\n")
        return tmp_path / name

    grown = write("grown.tsv", [lines[0], lines[1].replace("\t3\tfast", "\t4\tfast"), lines[2],
                                lines[1].replace("cross", "more").replace("\t3\tfast", "\t1\tx")])
    shutil.copyfile(design.parent / "valley.tsv", tmp_path / "valley.tsv")
    old, result = manifest(folder), run_local(grown, folder)
    assert result.returncode == 0, result.stderr
    runs = manifest(folder)
    assert [r["run"] for r in runs][6:] == ["cross_4", "more_1"]
    assert [dict(r, replicates="") for r in runs[:6]] == [
        dict(r, replicates="") for r in old]
    assert runs[0]["replicates"] == "4" and runs[3]["replicates"] == "3"
    assert stamps(folder, files) == before
    refused = run_local(write("changed.tsv", [lines[0], lines[1].replace("\t50\t", "\t40\t"),
                                              lines[2]]), folder)
    assert refused.returncode == 1 and refused.stderr.splitlines()[0] == (
        f"Run [cross_1] of [{folder}] would change: [k] was [50], now [40].")
    assert f"Run [slow_1] of [{folder}] is not in the design." in run_local(
        write("removed.tsv", lines[:2]), folder).stderr
    reseeded = run_local(design, folder, "--seed", "2")
    assert reseeded.stderr == f"The sweep in [{folder}] has sweep seed [1], not [2].\n"
    (tmp_path / "valley.tsv").write_text("1\t1\t1\t1\t1\n")
    edited = run_local(grown, folder)
    assert edited.returncode == 1 and "differs from the sweep's copy" in edited.stderr
    assert stamps(folder, files) == before


def test_held_folders_and_runs_are_left_alone_and_a_momentary_lock_waited_out(copy):
    from twolocus.sweeps.runner import execute
    design, folder, files = copy
    with open(folder / "lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        refused = run_local(design, folder)
    assert (refused.returncode, refused.stderr) == (
        1, f"Sweep folder [{folder}] is in use by another twolocus-sweep.\n")
    # A momentary shared lock on a run, as status and summaries take it, is waited out.
    os.remove(folder / "runs" / "cross_1" / "exit-status")
    with open(folder / "runs" / "cross_1" / ".lock") as held:
        fcntl.flock(held, fcntl.LOCK_SH)
        threading.Timer(0.3, fcntl.flock, (held, fcntl.LOCK_UN)).start()
        assert execute(str(folder), manifest(folder)[0]) == "done"
    assert run_files(folder)["cross_1"] == files["cross_1"]
    run = folder / "runs" / "slow_2"
    for name in ("exit-status", "trajectory"):
        os.remove(run / name)
    # The program's lock on its trajectory (or a sweep process's on .lock) means running.
    with open(run / ".lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        assert "5 done, 0 failed, 1 running, 0 pending." in sweep("status", folder).stdout
        result = run_local(design, folder)
        assert result.returncode == 1 and "1 running" in result.stdout
    assert not (run / "trajectory").exists()
    # The program run by hand holds its trajectory: running too, and left alone.
    by_hand = subprocess.Popen(manifest(folder)[4]["command"].split(), cwd=run,
                               stdout=subprocess.DEVNULL)
    wait_until(lambda: (run / "trajectory").exists() and (run / "trajectory").stat().st_size > 1000)
    assert "1 running" in sweep("status", folder).stdout
    assert "1 running" in run_local(design, folder).stdout
    assert by_hand.wait() == 0
    assert (run / "trajectory").read_bytes() == files["slow_2"]["trajectory"]


def test_several_machines_through_a_stand_in_for_ssh(reference, tmp_path):
    design, folder, files = reference
    # Like ssh, the stand-in starts the command in a fresh environment.
    fake = script(tmp_path / "fake-ssh", 'echo "$1" >> "$(dirname "$0")/hosts"; shift\n'
                  '[ "$1" = "--" ] && shift\n'
                  'exec env -i PATH="$PATH" HOME="$HOME" SHELL=/bin/sh sh -c "$*"\n')
    # Quotes, blanks and GNU parallel's replacement strings in the folder's name.
    folder = tmp_path / "a 'sweep' {} {.} {1}"
    result = run_local(design, folder, "--ssh", fake, "--sshlogin", "1/node-a",
                       "--sshlogin", "1/node-b")
    assert result.returncode == 0, result.stderr
    assert run_files(folder) == files
    assert set((tmp_path / "hosts").read_text().split()) == {"node-a", "node-b"}
    log = [line.split("\t") for line in (folder / "parallel.log").read_text().splitlines()]
    assert {fields[1] for fields in log} == {"node-a", "node-b"}


def test_a_full_disk_fails_runs_which_run_cleanly_once_space_is_back(reference, tmp_path):
    design, folder, files = reference
    folder = tmp_path / "x{}y"  # not a replacement string for GNU parallel
    full = run_local(design, folder, preexec_fn=lambda: resource.setrlimit(
        resource.RLIMIT_FSIZE, (12000, 12000)))
    assert full.returncode == 1 and "3 done, 3 failed, 0 running, 0 pending." in full.stdout
    status = sweep("status", folder).stdout.splitlines()
    assert [line.split("\t")[:2] for line in status[1:]] == [
        ["failed", "slow_1"], ["failed", "slow_2"], ["failed", "slow_3"]]
    again = run_local(design, folder)
    assert again.returncode == 0, again.stderr
    assert run_files(folder) == files
    # A full file system: a small tmpfs, grown afterwards.
    disk = tmp_path / "disk"
    disk.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=100k", "tmpfs",
                                            str(disk)], capture_output=True).returncode != 0:
        pytest.skip("needs root, to mount a small tmpfs")
    try:
        full = run_local(design, disk / "sweep")
        counts = re.search(r"(\d) done, (\d) failed, 0 running, (\d) pending\.", full.stdout)
        assert full.returncode == 1 and int(counts[2]) >= 1, full.stdout
        # The exit status is recorded although the disk is full; a run that
        # could not even start stays pending. One line each, no traceback.
        for line in full.stderr.splitlines():
            assert re.fullmatch(r"Run \[\w+\] failed(: .*|, with no output\.)|Could not write the "
                                r"files of run \[\w+\] in \[.*\]\.", line), full.stderr
        status = sweep("status", disk / "sweep").stdout.splitlines()
        failed = [line.split("\t")[1] for line in status if line.startswith("failed")]
        assert len(failed) == int(counts[2]) and all(
            (disk / "sweep" / "runs" / run / "exit-status").read_bytes() == b"1\n" for run in failed)
        subprocess.run(["mount", "-o", "remount,size=4m", str(disk)], check=True)
        again = run_local(design, disk / "sweep")
        assert again.returncode == 0, again.stderr
        assert run_files(disk / "sweep") == files
    finally:
        subprocess.run(["umount", str(disk)], check=True)


def test_a_run_killed_by_a_signal_is_interrupted_and_a_crash_failed(reference, tmp_path):
    files = reference[2]
    design = write_design(tmp_path, replicates=1)
    fake = script(tmp_path / "program", 'signal=$(cat "$(dirname "$0")/die-with")\n'
                  f'[ -n "$signal" ] && kill -"$signal" $$\nexec {PROGRAM} "$@"\n')
    folder = tmp_path / "sweep"
    for signal_name, counts, status in [("TERM", "0 failed, 0 running, 2 pending", None),
                                        ("KILL", "0 failed, 0 running, 2 pending", None),
                                        ("SEGV", "2 failed, 0 running, 0 pending", b"139\n"),
                                        ("", "0 failed, 0 running, 0 pending", b"0\n")]:
        (tmp_path / "die-with").write_text(signal_name)
        result = sweep("run", design, folder, "--program", fake)
        assert (result.returncode == 0) == (signal_name == ""), result.stderr
        assert counts in result.stdout
        for run in ("cross_1", "slow_1"):
            recorded = folder / "runs" / run / "exit-status"
            assert (recorded.read_bytes() if recorded.exists() else None) == status
    assert run_files(folder) == {run: files[run] for run in ("cross_1", "slow_1")}


def test_a_failing_squeue_is_an_error_not_an_empty_queue(copy, tmp_path):
    design, folder, files = copy
    (folder / "slurm").mkdir()
    (folder / "slurm" / "jobs.tsv").write_text("job\tbatch\n42\tbatch-1.txt\n")
    (folder / "slurm" / "batch-1.txt").write_text("cross_1 cross_2\n")
    (tmp_path / "bin").mkdir()
    env = dict(os.environ, PATH=f"{tmp_path / 'bin'}:{os.environ['PATH']}")
    down = "squeue: error: Unable to contact slurm controller (connect failure)"
    script(tmp_path / "bin" / "squeue", f"echo '{down}' >&2; exit 1\n")
    result = run_local(design, folder, env=env)
    assert (result.returncode, result.stdout, result.stderr) == (
        1, "", f"Could not read the Slurm queue for job [42]: [{down}].\n")
    # Summaries need the queue only for runs not done: unknown then, with one warning.
    status = sweep("status", folder, env=env)
    assert (status.returncode, status.stdout, status.stderr) == (
        0, f"6 runs in [{folder}]: 6 done, 0 failed, 0 running, 0 pending.\n", "")
    (folder / "runs" / "slow_3" / "exit-status").unlink()
    warning = (f"Could not read the Slurm queue for job [42]: [{down}]. "
               "Runs not done are shown as unknown.\n")
    status = sweep("status", folder, env=env)
    assert (status.returncode, status.stdout, status.stderr) == (
        0, f"6 runs in [{folder}]: 5 done, 0 failed, 0 running, 0 pending, 1 unknown.\n", warning)
    table = command("twolocus-stats", "--sweep", folder, env=env)
    assert (table.returncode, table.stderr) == (0, warning)
    assert [line.split("\t")[1] for line in table.stdout.splitlines()[1:]] == ["done"] * 5 + ["unknown"]
    (folder / "runs" / "slow_3" / "exit-status").write_text("0\n")
    script(tmp_path / "bin" / "squeue",
           "echo 'slurm_load_jobs error: Invalid job id specified' >&2; exit 1\n")
    status = sweep("status", folder, env=env)
    assert (status.returncode, status.stdout) == (
        0, f"6 runs in [{folder}]: 6 done, 0 failed, 0 running, 0 pending.\n")


def _session(pid):
    """The processes (pid, command name) of the session that pid leads."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as text:
                fields = text.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if entry.isdigit() and int(fields[3]) == pid and fields[0] != "Z":
            found.append((int(entry), open(f"/proc/{entry}/comm").read().strip()))
    return found


def test_a_sigkill_of_the_sweep_alone_stops_parallel_and_every_run(reference, tmp_path):
    # Only the sweep's own process is killed: parallel (its child, in its
    # session) and the runs parallel started must end with it.
    design, folder, process, partial = start_sweep_until_slow_run(tmp_path)
    assert any(name == "parallel" for _, name in _session(process.pid))
    process.kill()
    process.wait()
    # (A limit for a slow, loaded machine, not a measure of speed.)
    wait_until(lambda: _session(process.pid) == [], timeout=60)
    # No run was started after the kill (slow_2 would follow slow_1).
    assert not (folder / "runs" / "slow_2" / "trajectory").exists()
    again = run_local(design, folder, "--jobs", "2")
    assert again.returncode == 0, again.stderr
    assert run_files(folder) == reference[2]


def test_a_runner_whose_parent_has_ended_runs_nothing(copy):
    # The parent is passed in before the runner starts: one that is not its
    # parent (already ended) stops it before it touches the run.
    _, folder, _ = copy
    shutil.rmtree(folder / "runs" / "cross_1")
    result = sweep("exec", "--parent", str(os.getpid() + 10 ** 6), folder, "cross_1")
    assert result.returncode == 1 and not (folder / "runs" / "cross_1").exists()


def test_a_run_that_sigkill_ends_again_and_again_is_failed_at_the_limit(reference, tmp_path):
    design = write_design(tmp_path, replicates=1)
    fake = script(tmp_path / "program", f'[ -e "$(dirname "$0")/oom" ] && kill -KILL $$\n'
                  f'exec {PROGRAM} "$@"\n')
    (tmp_path / "oom").write_text("")
    folder = tmp_path / "sweep"
    for attempt in (1, 2, 3):
        result = sweep("run", design, folder, "--program", fake)
        counts = "0 failed, 0 running, 2 pending" if attempt < 3 else "2 failed, 0 running, 0"
        assert result.returncode == 1 and counts in result.stdout
    message = ("Killed by SIGKILL in 3 attempts in a row while the sweep was running "
               "(out of memory?); the run is failed.")
    assert f"failed\tcross_1\t{message}\n" in result.stdout
    assert f"failed\tcross_1\texit status 137\t{message}\n" in sweep("status", folder).stdout
    (tmp_path / "oom").unlink()
    assert sweep("run", design, folder, "--program", fake).returncode == 0
    assert run_files(folder) == {run: reference[2][run] for run in ("cross_1", "slow_1")}


def test_a_failed_runs_line_has_no_progress_dots_and_odd_tags_plot_quietly(tmp_path):
    design = write_design(tmp_path, replicates=1)
    design.write_bytes(design.read_bytes().replace(b"\tfast", b"\tf\xe9st"))
    fake = script(tmp_path / "program", 'case "$*" in *" 20000 "*) printf "Doing...\\n%4000s" ""'
                  ' | tr " " . ; echo "Could not write output file [trajectory]."; exit 1;; esac\n'
                  f'exec {PROGRAM} "$@"\n')
    folder = tmp_path / "sweep"
    result = sweep("run", design, folder, "--program", fake)
    line = "failed\tslow_1\tCould not write output file [trajectory].\n"
    assert result.returncode == 1 and result.stdout.endswith(line)
    assert sweep("status", folder).stdout.endswith(
        "failed\tslow_1\texit status 1\tCould not write output file [trajectory].\n")
    plot = command("twolocus-plot", "--sweep", folder, "--by", "tag_kind", "--first", "a1 < 0.5",
                   "-o", tmp_path / "tags.png")
    assert (plot.returncode, plot.stderr) == (0, "")
