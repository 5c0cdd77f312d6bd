#!/usr/bin/env bash
# Whole-run throughput through `vestra run`: the two scenarios of bench/throughput_scenarios.py
# with 1 and 2 threads, a STREAM triad measured right before each run, and Mcell/s and
# Mcell/s per GB/s of triad. With --old, a second build runs interleaved with the first.
#
#   bench/throughput.sh [--build DIR] [--old DIR] [--repeat N] [--work DIR] [--no-build]
#
# DIR is a build folder holding `vestra` (and, for the new build, bench/vestra_bench, whose
# triad is used for both). Prints one line per run, then best and median per case.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build"
old=""
repeat=3
work=""
compile=1
while [[ $# -gt 0 ]]; do
    case "$1" in
    --build) build=$2; shift 2 ;;
    --old) old=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --no-build) compile=0; shift ;;
    *) echo "throughput.sh: unknown argument '$1'" >&2; exit 2 ;;
    esac
done
[[ "$repeat" =~ ^[1-9][0-9]*$ ]] || { echo "throughput.sh: --repeat '$repeat': must be a positive integer" >&2; exit 2; }
work=${work:-$build/throughput}

if [[ $compile == 1 ]]; then
    cmake --build "$build" -j2 --target vestra_cli vestra vestra_bench >/dev/null
fi
for b in "$build" ${old:+"$old"}; do
    [[ -x "$b/vestra" ]] || { echo "throughput.sh: $b/vestra: no such program" >&2; exit 1; }
done
bench="$build/bench/vestra_bench"
[[ -x "$bench" ]] || { echo "throughput.sh: $bench: no such program" >&2; exit 1; }

mkdir -p "$work"
if [[ ! -f "$work/peer/eta.grd" ]]; then
    python3 "$here/throughput_scenarios.py" "$work"
fi

triad() {  # GB/s of the triad with $1 threads
    OMP_NUM_THREADS=$1 "$bench" --benchmark_filter="^triad/3x256MiB/threads:$1/" --benchmark_min_time=0.3 \
        --benchmark_format=json 2>/dev/null |
        python3 -c 'import json,sys; print("%.2f" % json.load(sys.stdin)["benchmarks"][0]["GB/s"])'
}

results="$work/results.txt"
: >"$results"
builds=(new)
[[ -n "$old" ]] && builds=(old new)
printf '%-5s %-7s %-7s %8s %8s %9s  %s\n' build problem threads "GB/s" Mcell/s "per GB/s" "load average"
for ((r = 0; r < repeat; ++r)); do
    for problem in moving peer; do
        for threads in 1 2; do
            for which in "${builds[@]}"; do
                bin="$build/vestra"
                [[ $which == old ]] && bin="$old/vestra"
                gbs=$(triad "$threads")
                run="$work/run-$problem"
                rm -rf "$run"
                mkdir -p "$run"
                cp "$work/$problem"/*.grd "$work/$problem/scenario.toml" "$run/"
                load=$(cut -d' ' -f1-3 /proc/loadavg)
                mcells=$("$bin" run "$run/scenario.toml" --threads "$threads" --no-plots 2>&1 |
                    sed -n 's/.*, \([0-9.]*\) million cell-updates per second.*/\1/p')
                [[ -n "$mcells" ]] || { echo "throughput.sh: $bin run $run/scenario.toml failed" >&2; exit 1; }
                ratio=$(python3 -c "print('%.3f' % ($mcells / $gbs))")
                printf '%-5s %-7s %-7s %8s %8s %9s  %s\n' "$which" "$problem" "$threads" "$gbs" "$mcells" "$ratio" "$load" |
                    tee -a "$results"
            done
        done
    done
done

echo
echo "best (median) of $repeat: Mcell/s, Mcell/s per GB/s"
python3 - "$results" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    b, p, t, gbs, mc, ratio = line.split()[:6]
    rows.setdefault((p, t, b), []).append((float(mc), float(ratio)))
for (p, t, b), v in sorted(rows.items()):
    mc = [x[0] for x in v]
    ra = [x[1] for x in v]
    print("%-7s %s thread(s) %-4s %7.1f (%5.1f)   %6.3f (%6.3f)" %
          (p, t, b, max(mc), statistics.median(mc), max(ra), statistics.median(ra)))
PY
