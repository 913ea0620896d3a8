#!/usr/bin/env bash
# The status server's cost in the real-time case: tarvell takes STATIONS x CHANNELS live
# channels of 100 samples per second from xfer-sim for SECONDS, once without a status
# server and once with one scraped every second (/metrics, as Prometheus would); prints the
# program's CPU time per sample written for both and their ratio. SCRAPES_PER_SECOND above 1
# makes the cost of one scrape stand out of the clock's 10 ms steps.
# Usage: bench/status_overhead.sh [build dir, default build/release]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/release}
stations=${STATIONS:-4}
channels=${CHANNELS:-50}
seconds=${SECONDS_PER_RUN:-98} # two chunks of 4900 samples per channel
port=${STATUS_PORT:-9783}
per_second=${SCRAPES_PER_SECOND:-1}
warmup=${WARMUP_SECONDS:-10}
work=$(mktemp -d /tmp/tarvell-status-bench-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

eval "$("$bin/tools/kdx-db/kdx-db" create --dir "$work" 2>/dev/null)"
sources=()
rates=()
chan_list=()
for s in $(seq 1 "$stations"); do
    list=""
    for c in $(seq 1 "$channels"); do
        name=$(printf 'C%03d' "$c")
        sources+=(--synthetic "ST$s:$name:100:now")
        rates+=("ST$s" "$name" 100)
        list+="${list:+,}$name"
    done
    chan_list+=("$list")
done
"$bin/tools/kdx-db/kdx-db" sitechan --dir "$work" "${rates[@]}" >/dev/null

# CPU seconds of a process's threads, to the nanosecond (the scheduler's own count; the
# threads live as long as the process, so none is missed).
cpu_seconds() {
    cat /proc/"$1"/task/*/schedstat | awk '{ ns += $1 } END { printf "%.6f\n", ns / 1e9 }'
}

run() { # $1: with status server (0/1)
    local dir=$work/run$1
    mkdir -p "$dir/log" "$dir/data"
    sqlite3 "$work/kdx.db" "delete from FILELIST"
    "$bin/tools/xfer-sim/xfer-sim" --port 0 --port-file "$dir/port" --realtime \
        --log "$dir/sim.log" "${sources[@]}" &
    local sim=$!
    for _ in $(seq 100); do [ -s "$dir/port" ] && break; sleep 0.1; done
    {
        echo "[SYSTEM]"; echo "GROUPS=$stations"; echo "SERVER=127.0.0.1"
        echo "PORT=$(cat "$dir/port")"
        for s in $(seq 1 "$stations"); do
            echo "[GROUP$s]"; echo "STATION=ST$s"; echo "CHAN=${chan_list[$((s - 1))]}"
            echo "SIZEMB=1000"
        done
        echo "[DATA]"; echo "DIR=$dir/data"; echo "[DATABASE]"; echo "ODBC=KDX"
        echo "[LOG]"; echo "DIR=$dir/log"
        [ "$1" = 1 ] && { echo "[STATUS]"; echo "LISTEN=127.0.0.1:$port"; }
    } > "$dir/tarvell.ini"
    "$bin/src/app/tarvell" --headless --ini "$dir/tarvell.ini" > "$dir/out" 2>&1 &
    local tarvell=$!
    local scrapes=0
    # Start-up (the groups, the check against SITECHAN, the first requests) is left out:
    # the CPU time counts from a warm-up on, against the samples the channels carry since.
    sleep "$warmup"
    local cpu_before
    cpu_before=$(cpu_seconds $tarvell)
    local urls=()
    for _ in $(seq "$per_second"); do urls+=(-o /dev/null "http://127.0.0.1:$port/metrics"); done
    for _ in $(seq "$seconds"); do
        sleep 1
        if [ "$1" = 1 ] && curl -sf "${urls[@]}"; then
            scrapes=$((scrapes + per_second))
        fi
    done
    local cpu
    cpu=$(awk -v a="$cpu_before" -v b="$(cpu_seconds $tarvell)" 'BEGIN { print b - a }')
    kill -TERM $tarvell; wait $tarvell || true
    kill $sim; wait $sim 2>/dev/null || true
    # Every sample of the live channels in the measured time is received and written
    # (the stop writes the buffers); the database confirms the rate.
    local written
    written=$(sqlite3 "$work/kdx.db" "select coalesce(round(sum(TQTY*SPS)), 0) from FILELIST")
    echo "$cpu $((stations * channels * 100 * seconds)) $scrapes $written"
}

read -r cpu0 samples0 _ written0 < <(run 0)
read -r cpu1 samples1 scrapes written1 < <(run 1)
echo "samples written in the two runs (warm-up and stop included): $written0, $written1"
awk -v c0="$cpu0" -v n0="$samples0" -v c1="$cpu1" -v n1="$samples1" -v k="$scrapes" \
    -v ch=$((stations * channels)) -v s="$seconds" 'BEGIN {
    p0 = c0 / n0 * 1e6; p1 = c1 / n1 * 1e6
    printf "%d channels x 100 Hz, %d s measured per run\n", ch, s
    printf "without status server: %.4f s CPU, %d samples, %.4f us CPU per sample\n", c0, n0, p0
    printf "with %d scrapes:        %.4f s CPU, %d samples, %.4f us CPU per sample\n", k, c1, n1, p1
    printf "one scrape: %.3f ms CPU\n", (c1 - c0 * n1 / n0) / k * 1e3
    printf "ratio: %.3f\n", p1 / p0
}'
