#!/usr/bin/env bash
# A fleet under fire: H xfer-sim servers (one station, one channel at 100 Hz each, live) shared
# by K instances of `tarvell --headless` through one KDX database. Each try kills one instance
# that holds links (kill -9, then the next try freezes one with SIGSTOP, in turn) and measures
# how long its links stay without a holder: from the signal until every link it held has a new
# owner in TARVELL_LEASE. A killed instance is started again and a frozen one woken once its
# links are taken; the fleet then gets time to share the links again. At the end every
# instance is stopped and the archive is checked: every channel's rows follow one another
# without a gap or an overlap from the start to the stop, and every file is as long as its row.
#
#   bench/fleet.sh [--tries N] [--instances K] [--hosts H] [--lease SECONDS] [--pause SEC]
#                  [--postgres] [--tarvell PATH] [--keep]
#
# Defaults: 10 tries, 3 instances, 6 servers, LEASE_SECONDS=15, 20 s between tries. For the
# hour's run: --tries 20 --pause 180. Prints the takeover times (median and worst for each
# kind of fault) and the archive's check, the lines of docs/FLEET.md.
set -euo pipefail
cd "$(dirname "$0")/.."

tries=10 instances=3 hosts=6 lease=15 pause=20 postgres=0 keep=0 tarvell=""
while [ $# -gt 0 ]; do
    case "$1" in
    --tries) tries="$2"; shift 2 ;;
    --instances) instances="$2"; shift 2 ;;
    --hosts) hosts="$2"; shift 2 ;;
    --lease) lease="$2"; shift 2 ;;
    --pause) pause="$2"; shift 2 ;;
    --postgres) postgres=1; shift ;;
    --tarvell) tarvell="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "fleet.sh: unknown option $1" >&2; exit 2 ;;
    esac
done

source bench/bench_common.sh
bench_programs
bench_workdir fleet

station_name() { printf 'FL%02d' "$1"; }

bench_create_database
rates=()
for h in $(seq 1 "$hosts"); do rates+=("$(station_name "$h")" BHZ 100); done
"$kdxdb" sitechan --dir "$dir" "${login[@]}" "${rates[@]}" >/dev/null

began=$(date +%s)
groups=""
for h in $(seq 1 "$hosts"); do
    "$sim" --port 0 --port-file "$dir/port$h" --realtime \
        --synthetic "$(station_name "$h"):BHZ:100:$((began - 60))" >"$dir/sim$h.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 1 100); do [ -s "$dir/port$h" ] && break; sleep 0.1; done
    groups+=$(printf '[GROUP%d]\nSTATION=%s\nCHAN=BHZ\nSERVER=127.0.0.1\nPORT=%d\nSIZEMB=100000\n\n' \
        "$h" "$(station_name "$h")" "$(cat "$dir/port$h")")
    groups+=$'\n'
done

# The INI and the process of instance i (named i1, i2, ...).
declare -A program
start_instance() {
    local name="i$1"
    {
        printf '[SYSTEM]\nGROUPS=%d\nMODE=SILENT\n\n%s\n' "$hosts" "$groups"
        printf '[DATA]\nDIR=%s/data\n\n[LOG]\nDIR=%s/log-%s\n\n' "$dir" "$dir" "$name"
        printf '[CLUSTER]\nNAME=%s\nLEASE_SECONDS=%d\n\n[DATABASE]\n' "$name" "$lease"
        bench_database_ini
    } >"$dir/$name.ini"
    "$tarvell" --headless --ini "$dir/$name.ini" >>"$dir/$name.out" 2>&1 &
    program[$name]=$!
    pids+=($!)
}
for i in $(seq 1 "$instances"); do start_instance "$i"; done

# Links held by each owner, as "owner count" lines; the owners holding links.
holders() { bench_query "select OWNER, count(*) from TARVELL_LEASE where OWNER <> '' group by OWNER" | tr '|' ' '; }
owners_count() { holders | wc -l; }
now() { date +%s.%N; }

# Waits until every instance holds a link (the fleet shares its links), at most 120 s.
wait_shared() {
    for _ in $(seq 1 240); do
        [ "$(owners_count)" -ge "$instances" ] && return 0
        sleep 0.5
    done
    echo "fleet.sh: the links were not shared among $instances instances in 120 s:" >&2
    holders >&2
    return 1
}

wait_shared
declare -a kill_times stop_times
crashed=0
for try in $(seq 1 "$tries"); do
    sleep "$pause"
    victim=$(holders | sort -k2 -n -r | head -1 | cut -d' ' -f1)
    held=$(bench_query "select LINK_NAME from TARVELL_LEASE where OWNER = '$victim'" | tr '\n' ' ')
    kind=kill
    [ $((try % 2)) -eq 0 ] && kind=stop
    t0=$(now)
    if [ "$kind" = kill ]; then kill -KILL "${program[$victim]}"; else kill -STOP "${program[$victim]}"; fi
    # Until no link it held is still under its name.
    for _ in $(seq 1 $((lease * 10 + 150))); do
        left=$(bench_query "select count(*) from TARVELL_LEASE where OWNER = '$victim'")
        [ "$left" -eq 0 ] && break
        sleep 0.2
    done
    t1=$(now)
    taken=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
    echo "try $try: $kind $victim (held: $held) -> taken over in $taken s"
    if [ "$kind" = kill ]; then
        kill_times+=("$taken")
        wait "${program[$victim]}" 2>/dev/null || true
        start_instance "${victim#i}"
    else
        stop_times+=("$taken")
        kill -CONT "${program[$victim]}"
    fi
    # An instance that ended by itself (a crash) is a failure of the run, not a takeover.
    for name in "${!program[@]}"; do
        if ! kill -0 "${program[$name]}" 2>/dev/null; then
            echo "fleet.sh: instance $name ended by itself:" >&2
            tail -5 "$dir/$name.out" >&2
            crashed=$((crashed + 1))
            start_instance "${name#i}"
        fi
    done
    wait_shared
done

for name in "${!program[@]}"; do kill -TERM "${program[$name]}" 2>/dev/null || true; done
for name in "${!program[@]}"; do wait "${program[$name]}" 2>/dev/null || true; done
stopped=$(date +%s)

summary() { # kind times...
    local kind="$1"; shift
    [ $# -gt 0 ] || return 0
    printf '%s\n' "$@" | sort -n | awk -v kind="$kind" -v lease="$lease" '
        { t[NR] = $1 } END {
            median = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
            printf "| %s | %d | %d s | %.1f s | %.1f s | %.1f s |\n", kind, NR, lease,
                median, t[NR], lease + lease / 3 }'
}
echo "| fault | tries | LEASE_SECONDS | median takeover | worst | bound (lease + one period) |"
echo "|---|---|---|---|---|---|"
summary "kill -9" "${kill_times[@]}"
summary "SIGSTOP" "${stop_times[@]}"
echo "instances that ended by themselves: $crashed"

# The archive: rows of each channel one after another, files as long as their rows.
bench_query "select STA, TBEGIN, TQTY, SPS, CPATH from FILELIST order by STA, TBEGIN" |
    awk -F'|' -v began="$((began - 60))" -v stopped="$stopped" -v root="$dir/data" '
    function check_end() { if (sta != "" && end < stopped - 120) short++ }
    {
        if ($1 != sta) { check_end(); sta = $1; channels++; if ($2 > began + 0.005) gaps++; end = $2 }
        else if ($2 > end + 0.005) gaps++
        else if ($2 < end - 0.005) overlaps++
        end = $2 + $3
        samples += $3 * $4
        cmd = "stat -c %s \"" root "/" $5 "\" 2>/dev/null"
        size = ""; cmd | getline size; close(cmd)
        if (size != 512 + 4 * int($3 * $4 + 0.5)) wrong++
        rows++
    }
    END {
        check_end()
        printf "archive: %d channels, %d rows, %.0f samples; %d gaps, %d overlaps, %d files not as long as their rows, %d channels ending early\n",
            channels, rows, samples, gaps, overlaps, wrong, short
    }'
