#!/bin/sh
# A small ensemble through a real single-node Slurm cluster: munged, slurmctld and slurmd are
# started here as root with their state in a temporary folder, the array is submitted with
# `vestra ensemble submit`, the aggregation follows as a dependent job, and every daemon is
# stopped by its PID on the way out, whatever happened. Exit 77 (skipped) without root or Slurm.
#   usage: ensemble_slurm_test.sh VESTRA
set -u
VESTRA=$1
[ "$(id -u)" -eq 0 ] || { echo "skipped: starting Slurm daemons needs root"; exit 77; }
for tool in munged slurmctld slurmd sbatch squeue sinfo; do
    command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/sbin/$tool" ] || { echo "skipped: $tool is not installed"; exit 77; }
done
PATH=$PATH:/usr/sbin
WORK=$(mktemp -d /tmp/vestra-slurm.XXXXXX)
chmod 755 "$WORK"
export SLURM_CONF="$WORK/slurm.conf"

stop() {  # stop DAEMON-PID-FILE: SIGTERM, then SIGKILL after 10 s
    [ -s "$1" ] || return 0
    pid=$(cat "$1")
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
}
cleanup() {
    status=$?
    trap '' PIPE INT TERM HUP  # a closed output or a second signal must not cut the clean-up short
    if [ -n "${JOB:-}" ]; then  # cancel, and let the job's processes end before their daemons do
        scancel "$JOB" 2>/dev/null
        for _ in $(seq 50); do [ -z "$(squeue -h 2>/dev/null)" ] && break; sleep 0.2; done
    fi
    stop "$WORK/slurmd.pid"
    stop "$WORK/slurmctld.pid"
    stop "$WORK/munged.pid"
    if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then
        for log in slurmctld.log slurmd.log munged.log; do echo "---- $log"; tail -n 20 "$WORK/$log" 2>/dev/null; done
    fi
    rm -rf "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
fail() { echo "FAILED: $*"; exit 1; }
# wait_for SECONDS COMMAND...: polls COMMAND every half second until it succeeds
wait_for() {
    limit=$(( $1 * 2 )); shift
    for _ in $(seq "$limit"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.5; done
    return 1
}

# munged as the munge user, with its own key and socket.
mkdir -p "$WORK/munge"
dd if=/dev/urandom of="$WORK/munge/munge.key" bs=1024 count=1 2>/dev/null
chown -R munge:munge "$WORK/munge"
chmod 600 "$WORK/munge/munge.key"
chmod 711 "$WORK/munge"
touch "$WORK/munged.pid" "$WORK/munged.log" && chown munge:munge "$WORK/munged.pid" "$WORK/munged.log"
runuser -u munge -- munged --key-file="$WORK/munge/munge.key" --socket="$WORK/munge/munge.socket" \
    --pid-file="$WORK/munged.pid" --log-file="$WORK/munged.log" --seed-file="$WORK/munge/seed" \
    || fail "munged did not start"
wait_for 10 test -S "$WORK/munge/munge.socket" || fail "munged made no socket"

port=$(( 20000 + $$ % 20000 ))
mkdir -p "$WORK/state" "$WORK/spool"
cat > "$SLURM_CONF" <<CONF
ClusterName=vestratest
SlurmctldHost=localhost
SlurmctldPort=$port
SlurmdPort=$(( port + 1 ))
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$WORK/munge/munge.socket
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$WORK/state
SlurmdSpoolDir=$WORK/spool
SlurmctldPidFile=$WORK/slurmctld.pid
SlurmdPidFile=$WORK/slurmd.pid
SlurmctldLogFile=$WORK/slurmctld.log
SlurmdLogFile=$WORK/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MpiDefault=none
SwitchType=switch/none
NodeName=localhost NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
CONF
slurmctld -i || fail "slurmctld did not start"
slurmd -N localhost || fail "slurmd did not start"
wait_for 30 sh -c 'sinfo -h -o %T | grep -qx idle' || fail "the node did not become idle: $(sinfo 2>&1)"

# Three members of the plane beach, two per array task.
cd "$WORK" || exit 1
"$VESTRA" example --beach tpl >/dev/null 2>&1 || fail "vestra example"
for slip in 1 2 3; do
    printf '[[faults]]\nx = 10000.0\ny = 10000.0\nreference = "centroid"\ndepth = 6.0\nstrike = 0.0\ndip = 20.0\nrake = 90.0\nslip = %s.0\nlength = 10.0\nwidth = 6.0\n' "$slip" > "f$slip.toml"
done
printf 'name,rate,faults\ns1,0.01,f1.toml\ns2,0.002,f2.toml\ns3,0.0005,f3.toml\n' > events.csv
"$VESTRA" ensemble plan events.csv --template tpl/scenario.toml -o ens --per-task 2 || fail "plan"
JOB=$("$VESTRA" ensemble submit ens -- --time=5) || fail "submit"
# While the array is queued or running, submitting again would run its members twice.
"$VESTRA" ensemble submit ens 2>&1 | grep -q "job $JOB of this ensemble is still queued or running" ||
    fail "a second submit while job $JOB is queued was not refused"
# The reduction waits for the whole array; with an array that fails it is cancelled, not left pending.
AGG=$(sbatch --parsable --dependency=afterok:"$JOB" --kill-on-invalid-dep=yes --output="$WORK/aggregate.out" \
      --wrap "'$VESTRA' ensemble aggregate '$WORK/ens' --thresholds 0.05,0.1 -o '$WORK/hazard'") || fail "sbatch aggregate"
wait_for 180 sh -c "[ -z \"\$(squeue -h -j $JOB,$AGG 2>/dev/null)\" ]" || fail "jobs still queued after 180 s: $(squeue)"
JOB=

"$VESTRA" ensemble status ens | tail -n 1 | grep -qx "3 members: 3 done, 0 running, 0 interrupted, 0 failed, 0 pending" ||
    fail "status: $("$VESTRA" ensemble status ens); $(cat ens/logs/* 2>/dev/null)"
[ "$(ls ens/logs | wc -l)" -eq 2 ] || fail "expected the logs of 2 array tasks: $(ls ens/logs)"
[ -s hazard/level0/exceedance-rate.nc ] || fail "no exceedance rates: $(cat aggregate.out)"
# The gauge hazard equals the rates of the members whose maximum at the gauge exceeds the level.
expected=$(for m in s1:0.01 s2:0.002 s3:0.0005; do
    awk -F'\t' -v r="${m#*:}" 'NR > 1 && $1 == "Offshore" && $7 != "dry" && $7 > 0.1 { print r }' \
        "ens/members/${m%%:*}/output/level0/OUT-SUMMARY-RESULT.dat"; done | awk '{ s += $1 } END { printf "%.6g", s }')
got=$(awk -F, '$1 == "Offshore" && $3 == "0.1" { printf "%.6g", $4 }' hazard/gauges-hazard.csv)
[ -n "$got" ] && [ "$got" = "$expected" ] || fail "Offshore above 0.1 m: rate $got, members give $expected"
# Submitting again finds nothing to do.
"$VESTRA" ensemble submit ens | grep -q "nothing to submit" || fail "second submit"
# The warning before the time limit (--signal=B:TERM) reaches the batch script, which is the
# runner; it stops its member, which is left interrupted and resumable, not failed.
sed 's/^endTime = 5.0 .*/endTime = 1000.0/' tpl/scenario.toml > tpl/slow.toml
printf 'name,rate,faults\nslow,1,f1.toml\n' > slow.csv
"$VESTRA" ensemble plan slow.csv --template tpl/slow.toml -o slow >/dev/null || fail "plan slow"
JOB=$("$VESTRA" ensemble submit slow 2>/dev/null) || fail "submit slow"
wait_for 60 grep -q Starting slow/members/slow/run.log || fail "the slow member did not start"
scancel --batch --signal=TERM "$JOB" || fail "scancel --batch"
wait_for 60 sh -c "[ -z \"\$(squeue -h -j $JOB 2>/dev/null)\" ]" || fail "the slow job did not stop"
JOB=
"$VESTRA" ensemble status slow | grep -qx "1 members: 0 done, 0 running, 1 interrupted, 0 failed, 0 pending" ||
    fail "after SIGTERM: $("$VESTRA" ensemble status slow); $(cat slow/logs/*)"
echo "ok: array $(cut -d' ' -f1 ens/slurm-jobs.txt), Offshore above 0.1 m at $got per year"
