#!/usr/bin/env bash
# The status server's cost in the real-time case: tarvell takes STATIONS x CHANNELS live
# channels of 100 samples per second from xfer-sim for SECONDS, once without a status
# server and once with one scraped every second (/metrics, as Prometheus would); prints the
# program's CPU time per sample written for both and their ratio.
# Usage: bench/status_overhead.sh [build dir, default build/release]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/release}
stations=${STATIONS:-4}
channels=${CHANNELS:-50}
seconds=${SECONDS_PER_RUN:-60}
port=${STATUS_PORT:-9783}
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

# CPU seconds (user + system) of a process, from /proc.
cpu_seconds() {
    awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"
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
    for _ in $(seq "$seconds"); do
        sleep 1
        if [ "$1" = 1 ] && curl -sf "http://127.0.0.1:$port/metrics" -o /dev/null; then
            scrapes=$((scrapes + 1))
        fi
    done
    local cpu
    cpu=$(cpu_seconds $tarvell)
    kill -TERM $tarvell; wait $tarvell || true
    kill $sim; wait $sim 2>/dev/null || true
    local samples
    samples=$(sqlite3 "$work/kdx.db" "select coalesce(round(sum(TQTY*SPS)), 0) from FILELIST")
    echo "$cpu $samples $scrapes"
}

read -r cpu0 samples0 _ < <(run 0)
read -r cpu1 samples1 scrapes < <(run 1)
awk -v c0="$cpu0" -v n0="$samples0" -v c1="$cpu1" -v n1="$samples1" -v k="$scrapes" \
    -v ch=$((stations * channels)) -v s="$seconds" 'BEGIN {
    p0 = c0 / n0 * 1e6; p1 = c1 / n1 * 1e6
    printf "%d channels x 100 Hz, %d s per run\n", ch, s
    printf "without status server: %.3f s CPU, %d samples, %.4f us CPU per sample\n", c0, n0, p0
    printf "scraped every second:  %.3f s CPU, %d samples, %.4f us CPU per sample (%d scrapes)\n", c1, n1, p1, k
    printf "ratio: %.3f\n", p1 / p0
}'
