"""A sweep as a Slurm job array on a real single-node cluster that the test starts
(slurm_cluster.py), with one task requeued while its run is going. Skipped without
root and the Slurm and munge packages, or where slurmd cannot start (a container or
chroot), unless TWOLOCUS_REQUIRE_SLURM=1 (as CI sets)."""

import os
import re
import shutil
import subprocess
import tempfile
import time

import pytest

import slurm_cluster
from sweep_helpers import manifest, run_files, run_local, sweep, wait_until, write_design


@pytest.fixture(scope="module")
def cluster():
    # Skipped where the cluster cannot be had (not root, no packages, or a
    # container or chroot where slurmd cannot start), unless it is required.
    give_up = pytest.fail if os.environ.get("TWOLOCUS_REQUIRE_SLURM") == "1" else pytest.skip
    if not slurm_cluster.available():
        give_up("the Slurm test cluster needs root and the Slurm and munge packages")
    folder = tempfile.mkdtemp(prefix="twolocus-slurm-")
    try:
        try:
            env = slurm_cluster.start(folder)
        except (subprocess.CalledProcessError, RuntimeError, OSError) as error:
            detail = getattr(error, "stderr", None) or b""
            detail = detail.decode(errors="replace").strip().splitlines()[-1:] if detail else []
            give_up(f"the Slurm test cluster cannot start on this machine: {error}"
                    + "".join(f" ({line})" for line in detail))
        yield env
    finally:
        slurm_cluster.stop(folder)
        shutil.rmtree(folder, ignore_errors=True)


def test_a_job_array_with_a_requeued_task_gives_the_local_sweep_bytes(cluster, tmp_path):
    started = time.monotonic()
    # A long run (N = 50000, about 4 s), so that the requeue lands inside it.
    design = write_design(tmp_path, extra_rows=[
        "long\tvalley.tsv\t1\t5\t10\t20000\t50000" + "\t10000" * 6 + "\t1\tlong"])
    local = run_local(design, tmp_path / "local", "--jobs", "2")
    assert local.returncode == 0, local.stderr
    expected = run_files(tmp_path / "local")

    folder = tmp_path / "slurm 100%"  # sbatch reads % in --output as a pattern
    submitted = run_local(design, folder, "--slurm", "--throttle", "2", "--time", "10",
                          "--mem", "100M", env=cluster)
    assert submitted.returncode == 0, submitted.stderr
    job = re.fullmatch(r"Submitted Slurm job (\d+) for 7 runs of \[.*\]\.\n",
                       submitted.stdout).group(1)
    # The cluster's MaxArraySize is 4, so the 7 runs go two to a task, and
    # long_1 is alone in task 3. Requeue it once its run is going.
    assert (folder / "slurm" / "batch-1.txt").read_text() == (
        "cross_1 cross_2\ncross_3 slow_1\nslow_2 slow_3\nlong_1\n")
    trajectory = folder / "runs" / "long_1" / "trajectory"
    wait_until(lambda: trajectory.exists() and trajectory.stat().st_size > 2000, timeout=180)
    assert not (folder / "runs" / "long_1" / "exit-status").exists()
    status = sweep("status", folder, env=cluster).stdout
    assert re.search(rf"Slurm job {job}: .*\d running tasks\.", status), status
    refused = run_local(design, folder, "--slurm", env=cluster)
    assert refused.returncode == 1 and f"has Slurm job [{job}] in the queue" in refused.stderr
    subprocess.run(["scontrol", "requeue", f"{job}_3"], env=cluster, check=True)
    requeued_at = time.monotonic()
    wait_until(lambda: subprocess.run(["squeue", "-h", "-r", "-j", job, "-o", "%i %T"], env=cluster,
                                      capture_output=True, text=True).stdout == "",
               timeout=240, step=0.5)
    requeue_to_end = time.monotonic() - requeued_at

    assert run_files(folder) == expected
    status = sweep("status", folder, env=cluster)
    assert status.stdout == f"7 runs in [{folder}]: 7 done, 0 failed, 0 running, 0 pending.\n"
    log = (folder / "slurm" / "logs" / f"{job}_3.out").read_text()
    assert re.search(r"task 3 on .*, restart 0\n.*DUE TO JOB REQUEUE.*\ntask 3 on .*, restart 1\n",
                     log, re.S), log
    assert "restart 1" not in (folder / "slurm" / "logs" / f"{job}_0.out").read_text()

    # Two more runs, two to a task, waiting for the end: one task, all done.
    lines = design.read_text().splitlines()
    design.write_text("\n".join([lines[0], lines[1].replace("\t3\tfast", "\t5\tfast"), *lines[2:]])
                      + "\n")
    more = run_local(design, folder, "--slurm", "--runs-per-task", "2", "--wait", "--poll", "0.5",
                     env=cluster)
    assert more.returncode == 0, more.stderr
    assert "9 done, 0 failed, 0 running, 0 pending." in more.stdout
    assert (folder / "slurm" / "batch-2.txt").read_text() == "cross_4 cross_5\n"
    assert len(manifest(folder)) == 9
    again = run_local(design, folder, "--slurm", env=cluster)
    assert again.returncode == 0 and "Submitted" not in again.stdout
    print(f"Slurm test: {time.monotonic() - started:.1f} s in all, "
          f"{requeue_to_end:.1f} s from the requeue to the array's end")


def test_batches_of_twolocus_sim_as_array_tasks_and_a_requeued_batch_resumed(cluster, tmp_path):
    from test_sweep_sim import FAST, SIM, write_design as write_sim_design
    from twolocus.sweeps.summary import read_sim_sweep, row_table
    # A batch of three replicates of about 1.5 s each, so that the requeue lands inside it.
    design = write_sim_design(tmp_path, rows=[
        FAST, "long\t20000\t7000\tvalley.tsv\t0.1\t0.0001\t\t0.5\t0\texact\t3\ty"])
    options = ["--sim", "--batch-size", "3", "--program", SIM]
    local = sweep("run", design, tmp_path / "local", *options)
    assert local.returncode == 0, local.stderr
    folder = tmp_path / "slurm"
    submitted = sweep("run", design, folder, *options, "--slurm", "--time", "10", env=cluster)
    assert submitted.returncode == 0, submitted.stderr
    job = re.fullmatch(r"Submitted Slurm job (\d+) for 3 batches of \[.*\]\.\n",
                       submitted.stdout).group(1)
    assert (folder / "slurm" / "batch-1.txt").read_text() == "fast_0-2\nfast_3-4\nlong_0-2\n"
    summary = folder / "runs" / "long_0-2" / "batch.summary.tsv"
    wait_until(lambda: summary.exists() and summary.read_text().count("\n") >= 2, timeout=180)
    subprocess.run(["scontrol", "requeue", f"{job}_2"], env=cluster, check=True)
    wait_until(lambda: subprocess.run(["squeue", "-h", "-r", "-j", job, "-o", "%i"], env=cluster,
                                      capture_output=True, text=True).stdout == "",
               timeout=240, step=0.5)
    status = sweep("status", folder, env=cluster).stdout
    assert status == (f"3 batches in [{folder}]: 3 done, 0 failed, 0 running, 0 pending; "
                      "8 of 8 replicates done.\n")
    assert (folder / "runs" / "long_0-2" / "resumed").exists()

    def tables(where):
        return {row["name"]: row_table(row, warn=False) for row in read_sim_sweep(where)}

    assert tables(folder) == tables(tmp_path / "local")
