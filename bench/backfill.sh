#!/usr/bin/env bash
# Backfill: H xfer-sim servers (one per loopback address 127.0.0.k), each holding HOURS hours
# of 100 Hz data for C channels and serving them as fast as possible. First xfer-dump reads
# every server's data (the link alone), then one `tarvell --headless` takes them into files
# and rows of a fresh KDX database; both are timed from their start to the moment every
# channel has been asked for from the end of its data.
#
#   bench/backfill.sh [--hosts H] [--hours HOURS] [--channels C] [--postgres]
#                     [--tarvell PATH] [--runs N] [--keep]
#
# Defaults: 1 host, 24 hours, 3 channels, 1 run. Prints one line of the table in
# docs/PERFORMANCE.md: samples, the link alone and tarvell in samples per second, their
# ratio and tarvell's CPU time. With --runs N each run prints its line, then a last line
# gives the median of each figure over the runs (on a loaded machine of two cores one run
# of about a second varies by a quarter).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=1 args=()
for ((i = 1; i <= $#; i++)); do
    if [ "${!i}" = --runs ]; then
        j=$((i + 1)); runs="${!j}"; i=$j
    else
        args+=("${!i}")
    fi
done
if [ "$runs" -gt 1 ]; then
    lines=()
    for _ in $(seq 1 "$runs"); do
        line=$(bash "$0" "${args[@]}" 2>/dev/null | tail -1)
        echo "$line"
        lines+=("$line")
    done
    # | db | hosts | samples | link M/s | tarvell M/s | ratio | cpu s |
    printf '%s\n' "${lines[@]}" | awk -F'|' -v runs="$runs" '
    function median(column,    i, n, v, t, j) {
        n = 0
        for (i = 1; i <= NR; i++) { split(row[i], f, "|"); v[++n] = f[column] + 0 }
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
        return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    { row[NR] = $0; db = $2; hosts = $3; samples = $4 }
    END {
        printf "|%s|%s|%s| %.1f M/s | %.1f M/s | %.2f | %.1f s | (median of %d)\n", db, hosts,
            samples, median(5), median(6), median(7), median(8), runs
    }'
    exit 0
fi
set -- "${args[@]}"

hosts=1 hours=24 channels=3 postgres=0 keep=0 tarvell=""
while [ $# -gt 0 ]; do
    case "$1" in
    --hosts) hosts="$2"; shift 2 ;;
    --hours) hours="$2"; shift 2 ;;
    --channels) channels="$2"; shift 2 ;;
    --postgres) postgres=1; shift ;;
    --tarvell) tarvell="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "backfill.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[ "$channels" -le 4 ] || { echo "backfill.sh: at most 4 channels" >&2; exit 2; }

source bench/bench_common.sh
bench_programs
bench_workdir backfill

names=(BHZ BHN BHE HHZ)
seconds=$((hours * 3600))
# The data end at the last whole hour before now: data ahead of the clock by more than
# [SYSTEM] FUTURE_LIMIT (a day) is not archived.
start=$(($(date +%s) / 3600 * 3600 - seconds))
end=$((start + seconds))
station_name() { printf 'BF%02d' "$1"; }

bench_create_database
rates=()
for h in $(seq 1 "$hosts"); do
    for c in $(seq 0 $((channels - 1))); do
        rates+=("$(station_name "$h")" "${names[$c]}" 100)
    done
done
"$kdxdb" sitechan --dir "$dir" "${login[@]}" "${rates[@]}" >/dev/null

printf '[SYSTEM]\nGROUPS=%d\nMODE=SILENT\n\n' "$hosts" >"$dir/tarvell.ini"
chan=$(IFS=,; echo "${names[*]:0:$channels}")
for h in $(seq 1 "$hosts"); do
    synthetic=()
    for c in $(seq 0 $((channels - 1))); do
        synthetic+=(--synthetic "$(station_name "$h"):${names[$c]}:100:$start:$seconds")
    done
    "$sim" --bind "127.0.0.$h" --port 0 --port-file "$dir/port$h" --end-status 1 \
        "${synthetic[@]}" >"$dir/sim$h.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 1 100); do [ -s "$dir/port$h" ] && break; sleep 0.1; done
    printf '[GROUP%d]\nSTATION=%s\nCHAN=%s\nSERVER=127.0.0.%d\nPORT=%d\nSIZEMB=1000000\n\n' \
        "$h" "$(station_name "$h")" "$chan" "$h" "$(cat "$dir/port$h")" >>"$dir/tarvell.ini"
done
{
    printf '[DATA]\nDIR=%s/data\n\n[LOG]\nDIR=%s/log\n\n[DATABASE]\n' "$dir" "$dir"
    bench_database_ini
} >>"$dir/tarvell.ini"

now() { date +%s.%N; }

# The link alone: xfer-dump of every server at once, each to its end of stream.
t0=$(now)
dumps=()
for h in $(seq 1 "$hosts"); do
    wanted=()
    for c in $(seq 0 $((channels - 1))); do wanted+=("$(station_name "$h"):${names[$c]}"); done
    "$dump" --port "$(cat "$dir/port$h")" --samples 0 "127.0.0.$h" "${wanted[@]}" >/dev/null &
    dumps+=($!)
done
for pid in "${dumps[@]}"; do wait "$pid"; done
t1=$(now)

# tarvell, until every channel of every server has been asked for from the end of its data.
t2=$(now)
"$tarvell" --headless --ini "$dir/tarvell.ini" >"$dir/tarvell.out" 2>&1 &
program=$!
pids+=("$program")
# One process searches every server's request log per poll (each line is file:channel@time),
# so that the poll takes as little as it can from the program it times on the same cores:
# every 50 ms for the first 3 s (a short run needs the resolution), then every 250 ms.
asked_from_end() {
    awk -v want="@$end.000000" -v all=$((hosts * channels)) '
        { for (i = 1; i <= NF; i++) if (index($i, want)) seen[FILENAME ":" substr($i, 1, index($i, "@"))] = 1 }
        END { n = 0; for (k in seen) n++; exit n == all ? 0 : 1 }' "$dir"/sim*.out
}
polls=0
until asked_from_end; do
    kill -0 "$program" 2>/dev/null || { echo "tarvell ended:"; cat "$dir/tarvell.out"; exit 1; }
    polls=$((polls + 1))
    if [ "$polls" -le 60 ]; then sleep 0.05; else sleep 0.25; fi
done
t3=$(now)
cpu=$(cat /proc/"$program"/task/*/schedstat | awk '{ sum += $1 } END { printf "%.3f", sum / 1e9 }')
kill -TERM "$program"
wait "$program" || true

awk -v hosts="$hosts" -v channels="$channels" -v seconds="$seconds" -v t0="$t0" -v t1="$t1" \
    -v t2="$t2" -v t3="$t3" -v cpu="$cpu" -v db="$database" 'BEGIN {
    samples = hosts * channels * seconds * 100
    link = samples / (t1 - t0); program = samples / (t3 - t2)
    printf "| %s | %d | %.0f M | %.1f M/s | %.1f M/s | %.2f | %.1f s |\n", db, hosts,
        samples / 1e6, link / 1e6, program / 1e6, program / link, cpu
}'
