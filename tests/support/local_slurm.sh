#!/usr/bin/env bash
# A single-node SLURM on this machine for the workflow test: munged as the
# munge user, then slurmctld and slurmd as root, controller and node on
# localhost, with their configuration, state, spool, logs and pid files in
# DIR. "start" exits 0 once the node is idle (and prints the SLURM_CONF to
# export), 77 with the reason where SLURM cannot run here; "stop" ends the
# daemons it started, by their pid files, and waits for their ends.
# usage: local_slurm.sh start|stop DIR
set -uo pipefail
action=$1
dir=$(realpath -m "$2")
skip() { echo "SKIP: $*" >&2; exit 77; }

if [ "$action" = stop ]; then
    # Each daemon is waited for (10 s, then killed), since it writes its
    # state while it ends and DIR may be removed next.
    for pid_file in "$dir"/slurmd.pid "$dir"/slurmctld.pid "$dir"/munged.pid; do
        [ -f "$pid_file" ] || continue
        pid=$(cat "$pid_file")
        kill "$pid" 2>/dev/null || continue
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null
    done
    exit 0
fi

for tool in munged slurmctld slurmd sinfo sbatch; do
    command -v "$tool" >/dev/null || skip "$tool missing (apt-get install slurm-wlm munge)"
done
[ "$(id -u)" -eq 0 ] || skip "the daemons must be started as root"
mkdir -p "$dir"/state "$dir"/spool
host=$(hostname -s)

# munged: the key the package made, a socket of its own kind in /run/munge.
if ! pgrep -x munged >/dev/null; then
    install -d -o munge -g munge -m 0755 /run/munge
    runuser -u munge -- /usr/sbin/munged --pid-file=/run/munge/munged.pid ||
        skip "munged does not start: $(tail -1 /var/log/munge/munged.log 2>/dev/null)"
    cp /run/munge/munged.pid "$dir"/munged.pid
fi

cat >"$dir"/slurm.conf <<CONF
ClusterName=imgratio-test
SlurmctldHost=$host
SlurmUser=root
AuthType=auth/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
MpiDefault=none
ReturnToService=2
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
NodeName=$host CPUs=2 RealMemory=1024 State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$dir/slurm.conf
/usr/sbin/slurmctld -f "$SLURM_CONF" || skip "slurmctld does not start: $(tail -1 "$dir"/slurmctld.log)"
/usr/sbin/slurmd -f "$SLURM_CONF" || skip "slurmd does not start: $(tail -1 "$dir"/slurmd.log)"
for _ in $(seq 60); do
    state=$(sinfo -h -o %T 2>/dev/null)
    [ "$state" = idle ] && { echo "$SLURM_CONF"; exit 0; }
    sleep 0.5
done
skip "the node is not idle after 30 s (state '${state:-none}'): $(tail -1 "$dir"/slurmd.log)"
