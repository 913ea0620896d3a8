#!/usr/bin/env bash
# A real-time load: H xfer-sim servers (one per loopback address 127.0.0.k), each serving S
# stations of C channels at 100 samples per second live, and one `tarvell --headless` taking
# them all into a fresh KDX database. After a warm-up of more than one buffer (49 s) it
# measures the program's CPU time, resident memory, threads and descriptors, then stops the
# program and checks that every channel's data reached the archive.
#
#   bench/realtime.sh [--hosts H] [--stations S] [--channels C] [--warmup SEC] [--seconds SEC]
#                     [--postgres] [--tarvell PATH] [--status-scrape] [--max-latency SEC]
#                     [--lag] [--keep]
#
# Defaults: 1 host, 16 stations, 3 channels, 60 s warm-up, 180 s measured. --postgres uses a
# PostgreSQL database on the server of scripts/postgres.sh (started if needed) instead of
# SQLite. --tarvell runs another build of the program (for a before/after comparison).
# --max-latency sets [SYSTEM] MAX_LATENCY. --lag also measures, every 2 s of the measured
# time, how far each channel's rows lag behind the clock (now minus the end of its latest
# row) and prints the median and the 99th percentile of all those lags.
# Prints one line of the table in docs/PERFORMANCE.md.
set -euo pipefail
cd "$(dirname "$0")/.."

hosts=1 stations=16 channels=3 warmup=60 seconds=180 postgres=0 keep=0 tarvell="" scrape=0
max_latency=0 lag=0
while [ $# -gt 0 ]; do
    case "$1" in
    --hosts) hosts="$2"; shift 2 ;;
    --stations) stations="$2"; shift 2 ;;
    --channels) channels="$2"; shift 2 ;;
    --warmup) warmup="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --postgres) postgres=1; shift ;;
    --tarvell) tarvell="$2"; shift 2 ;;
    --status-scrape) scrape=1; shift ;;
    --max-latency) max_latency="$2"; shift 2 ;;
    --lag) lag=1; shift ;;
    --keep) keep=1; shift ;;
    *) echo "realtime.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[ "$channels" -le 9 ] || { echo "realtime.sh: at most 9 channels per station" >&2; exit 2; }

source bench/bench_common.sh
bench_programs
bench_workdir realtime

names=(BHZ BHN BHE HHZ HHN HHE LHZ LHN LHE)
# Sets $station to the name of station s of host h (no subshell: 36 864 channels).
station_name() { printf -v station 'H%02dS%02d' "$1" "$2"; }

# The database and its SITECHAN rows.
bench_create_database
rates=()
for h in $(seq 1 "$hosts"); do
    for s in $(seq 1 "$stations"); do
        station_name "$h" "$s"
        for c in $(seq 0 $((channels - 1))); do
            rates+=("$station" "${names[$c]}" 100)
        done
    done
done
"$kdxdb" sitechan --dir "$dir" "${login[@]}" "${rates[@]}" >/dev/null

# The servers, and the program INI with one group per station.
chan=$(IFS=,; echo "${names[*]:0:$channels}")
{
    echo "[SYSTEM]"
    echo "GROUPS=$((hosts * stations))"
    echo "MODE=SILENT"
    echo "MAX_LATENCY=$max_latency"
    [ "$scrape" -eq 1 ] && { echo; echo "[STATUS]"; echo "LISTEN=127.0.0.1:0"; }
    echo
} >"$dir/tarvell.ini"
n=0
for h in $(seq 1 "$hosts"); do
    synthetic=()
    for s in $(seq 1 "$stations"); do
        station_name "$h" "$s"
        for c in $(seq 0 $((channels - 1))); do
            synthetic+=(--synthetic "$station:${names[$c]}:100:now")
        done
    done
    "$sim" --bind "127.0.0.$h" --port 0 --port-file "$dir/port$h" --realtime \
        "${synthetic[@]}" >"$dir/sim$h.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 1 100); do [ -s "$dir/port$h" ] && break; sleep 0.1; done
    port=$(cat "$dir/port$h")
    for s in $(seq 1 "$stations"); do
        n=$((n + 1))
        station_name "$h" "$s"
        printf '[GROUP%d]\nSTATION=%s\nCHAN=%s\nSERVER=127.0.0.%d\nPORT=%d\nSIZEMB=100000\n\n' \
            "$n" "$station" "$chan" "$h" "$port" >>"$dir/tarvell.ini"
    done
done
{
    printf '[DATA]\nDIR=%s/data\n\n[LOG]\nDIR=%s/log\n\n[DATABASE]\n' "$dir" "$dir"
    bench_database_ini
} >>"$dir/tarvell.ini"

"$tarvell" --headless --ini "$dir/tarvell.ini" >"$dir/tarvell.out" 2>&1 &
program=$!
pids+=("$program")

# CPU time of every thread of the program, in nanoseconds (the threads live as long as it).
cpu_ns() { cat /proc/"$program"/task/*/schedstat | awk '{ sum += $1 } END { printf "%.0f", sum }'; }
sleep "$warmup"
kill -0 "$program" 2>/dev/null || { echo "tarvell ended:"; cat "$dir/tarvell.out"; exit 1; }
if [ "$scrape" -eq 1 ]; then
    # The status server, scraped every second as a monitoring system would.
    status_port=$(grep -o 'Status server on http://127.0.0.1:[0-9]*' "$dir"/log/*.log |
        head -1 | sed 's/.*://')
    [ -n "$status_port" ] || { echo "realtime.sh: the status server did not start" >&2; exit 1; }
    ( while sleep 1; do curl -s "http://127.0.0.1:$status_port/metrics" >/dev/null || true; done ) &
    pids+=($!)
fi
start_ns=$(cpu_ns)
start_time=$(date +%s.%N)
if [ "$lag" -eq 1 ]; then
    : >"$dir/lags"
    for _ in $(seq 1 $((seconds / 2))); do
        sleep 2
        bench_query "select $(date +%s.%N) - max(TBEGIN + TQTY) from FILELIST group by STA, CH" \
            >>"$dir/lags"
    done
else
    sleep "$seconds"
fi
end_ns=$(cpu_ns)
end_time=$(date +%s.%N)
rss_kib=$(awk '/^VmRSS/ { print $2 }' "/proc/$program/status")
threads=$(ls "/proc/$program/task" | wc -l)
fds=$(ls "/proc/$program/fd" | wc -l)
kill -TERM "$program"
wait "$program" || true
stopped=$(date +%s)

total=$((hosts * stations * channels))
query="select count(*) from (select STA, CH, max(TBEGIN + TQTY) as E from FILELIST group by STA, CH) as ends where E >= $stopped - 120"
complete=$(bench_query "$query")

awk -v channels="$total" -v t0="$start_ns" -v t1="$end_ns" \
    -v w0="$start_time" -v w1="$end_time" -v rss="$rss_kib" -v threads="$threads" \
    -v fds="$fds" -v complete="$complete" -v db="$database" -v scrape="$scrape" 'BEGIN {
    cpu = (t1 - t0) / 1e9; wall = w1 - w0
    samples = channels * 100 * wall
    printf "| %s%s | %d | %.2f %% | %.0f ns | %.1f MiB | %.1f KiB | %d | %d | %d of %d |\n",
        db, scrape ? " + status scraped" : "", channels, 100 * cpu / wall,
        1e9 * cpu / samples, rss / 1024, rss / channels, threads, fds, complete, channels
}'
if [ "$lag" -eq 1 ]; then
    sort -g "$dir/lags" | awk -v bound="$max_latency" '{ lag[NR] = $1 } END {
        if (NR == 0) { print "no rows to measure a lag"; exit }
        printf "| MAX_LATENCY=%s | %d lags | median %.1f s | 99th percentile %.1f s | most %.1f s |\n",
            bound, NR, lag[int((NR + 1) / 2)], lag[int(NR * 0.99 + 0.5) < 1 ? 1 : int(NR * 0.99 + 0.5)], lag[NR] }'
fi
