"""A throw-away single-node Slurm cluster for the sweep tests.

start(folder) writes a munge key and a slurm.conf into folder, starts munged, slurmctld
and slurmd there on loopback (free ports), waits until the node is idle and returns the
environment (SLURM_CONF) for the Slurm commands. stop(folder) ends those three daemons by
the pid files they wrote in folder, and nothing else. Needs root and the Debian packages
slurmctld, slurmd, slurm-client and munge; no systemd or cgroups (tracking by /proc,
accounting off). MaxArraySize is 4, so a sweep of more runs groups them into tasks.
Also a command for trying things by hand: slurm_cluster.py start|stop FOLDER.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

DAEMONS = ("slurmd", "slurmctld", "munged")


def available():
    """True when this machine can run the test cluster (root and the daemons)."""
    return os.geteuid() == 0 and all(
        shutil.which(name, path="/usr/sbin:/usr/bin:/sbin:/bin")
        for name in ("munged", "slurmctld", "slurmd", "sbatch", "squeue", "scontrol"))


def _free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    for sock in sockets:
        sock.bind(("127.0.0.1", 0))
    ports = [sock.getsockname()[1] for sock in sockets]
    for sock in sockets:
        sock.close()
    return ports


def _config(folder, ctld_port, d_port, socket_path):
    cpus = os.cpu_count() or 1
    return f"""\
ClusterName=sweeptest
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort={ctld_port}
SlurmdPort={d_port}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={socket_path},cred_expire=10
StateSaveLocation={folder}/ctld-state
SlurmdSpoolDir={folder}/d-spool
SlurmctldPidFile={folder}/slurmctld.pid
SlurmdPidFile={folder}/slurmd.pid
SlurmctldLogFile={folder}/slurmctld.log
SlurmdLogFile={folder}/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/backfill
SchedulerParameters=sched_interval=1,bf_interval=1
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MinJobAge=5
KillWait=2
MessageTimeout=10
SlurmdTimeout=60
InactiveLimit=0
MaxArraySize=4
MpiDefault=none
NodeName=sweepnode NodeHostname={socket.gethostname()} NodeAddr=127.0.0.1 CPUs={cpus} RealMemory=1000 State=UNKNOWN
PartitionName=main Nodes=sweepnode Default=YES MaxTime=INFINITE State=UP OverSubscribe=NO
"""


def start(folder, timeout=60):
    """Start the cluster in folder (created if needed); return the environment to use."""
    folder = os.path.abspath(folder)
    munge_dir, key = os.path.join(folder, "munge"), os.path.join(folder, "munge", "munge.key")
    for sub in ("munge", "ctld-state", "d-spool"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
    for path in (folder, munge_dir):  # munged refuses a socket folder others cannot reach
        os.chmod(path, 0o755)
    with open(key, "wb") as out:
        out.write(os.urandom(1024))
    os.chmod(key, 0o600)
    socket_path = os.path.join(munge_dir, "munge.socket")
    ctld_port, d_port = _free_ports(2)
    conf = os.path.join(folder, "slurm.conf")
    with open(conf, "w") as out:
        out.write(_config(folder, ctld_port, d_port, socket_path))
    env = dict(os.environ, SLURM_CONF=conf)
    run = lambda *argv: subprocess.run(argv, env=env, check=True, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    run("/usr/sbin/munged", "--force", f"--socket={socket_path}", f"--key-file={key}",
        f"--pid-file={munge_dir}/munged.pid", f"--log-file={munge_dir}/munged.log",
        f"--seed-file={munge_dir}/munged.seed")
    os.symlink("munge/munged.pid", os.path.join(folder, "munged.pid"))
    run("/usr/sbin/slurmctld", "-f", conf, "-i")
    run("/usr/sbin/slurmd", "-f", conf, "-N", "sweepnode")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        state = subprocess.run(["sinfo", "-h", "-N", "-o", "%T"], env=env, capture_output=True,
                               text=True, stdin=subprocess.DEVNULL).stdout.strip()
        if state == "idle":
            return env
        time.sleep(0.5)
    raise RuntimeError(f"the test cluster in {folder} did not come up (node state [{state}])")


def stop(folder, timeout=20):
    """Cancel the jobs left on the cluster of folder (whose steps would outlive
    slurmd), then stop the daemons that start(folder) began, by their pid files."""
    conf = os.path.join(folder, "slurm.conf")
    if os.path.exists(conf):
        env = dict(os.environ, SLURM_CONF=conf)
        subprocess.run(["scancel", "--user", str(os.geteuid())], env=env, capture_output=True,
                       stdin=subprocess.DEVNULL, timeout=30)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and subprocess.run(
                ["squeue", "-h"], env=env, capture_output=True, text=True,
                stdin=subprocess.DEVNULL, timeout=30).stdout.strip():
            time.sleep(0.5)
    pids = []
    for name in DAEMONS:
        try:
            with open(os.path.join(folder, f"{name}.pid")) as text:
                pids.append(int(text.read().split()[0]))
            os.kill(pids[-1], signal.SIGTERM)
        except (OSError, ValueError, IndexError):
            continue
    deadline = time.monotonic() + timeout
    for pid in pids:
        while time.monotonic() < deadline and os.path.exists(f"/proc/{pid}"):
            time.sleep(0.1)
        if os.path.exists(f"/proc/{pid}"):
            os.kill(pid, signal.SIGKILL)


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        sys.exit("usage: slurm_cluster.py start|stop FOLDER")
    if sys.argv[1] == "start":
        print("export SLURM_CONF=" + start(sys.argv[2])["SLURM_CONF"])
    else:
        stop(sys.argv[2])
