#!/usr/bin/env bash
# The picture of the operator window in the README: installs what is needed, builds, starts
# xfer-sim (two servers with live synthetic channels) and tarvell with its window on a virtual
# X display (Xvfb) with SCREEN=FULL and MODE=DETAIL, waits until the rows are live, and saves
# the window as docs/images/main-window.png (or the file named as the first argument).
# Not part of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
out=${1:-$top/docs/images/main-window.png}
settle=${SCREENSHOT_SECONDS:-12}

bash scripts/install-deps.sh --screenshot
preset=${SCREENSHOT_PRESET:-release}
bash scripts/build.sh "$preset"
bin=$top/build/$preset
work=$(mktemp -d /tmp/tarvell-screenshot-XXXXXX)
pids=()
cleanup()
{
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/log" "$work/data"

eval "$("$bin/tools/kdx-db/kdx-db" create --dir "$work")" 2>/dev/null
"$bin/tools/kdx-db/kdx-db" sitechan --dir "$work" \
    ABC BHZ 100 ABC BHN 100 ABC BHE 100 DEF HHZ 40 DEF HHN 40 DEF HHE 40 \
    KLM BHZ 20 KLM BHN 20 KLM BHE 20 COLA LHZ 1 COLA LHN 1 COLA LHE 1 >/dev/null

# Two servers: an hour of data up to now, then live, so that the first files are already
# written and the times move.
now=$(date +%s)
start_sim()
{
    local name=$1
    shift
    local sources=()
    for channel in "$@"; do sources+=(--synthetic "$channel:$((now - 3600))"); done
    "$bin/tools/xfer-sim/xfer-sim" --port 0 --port-file "$work/$name.port" --realtime \
        --log "$work/$name.log" "${sources[@]}" &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$work/$name.port" ] && break; sleep 0.1; done
}
start_sim one ABC:BHZ:100 ABC:BHN:100 ABC:BHE:100 DEF:HHZ:40 DEF:HHN:40 DEF:HHE:40
start_sim two KLM:BHZ:20 KLM:BHN:20 KLM:BHE:20 COLA:LHZ:1 COLA:LHN:1 COLA:LHE:1

cat > "$work/tarvell.ini" <<INI
[SYSTEM]
GROUPS=4
MODE=DETAIL
SCREEN=FULL

[GROUP1]
STATION=ABC
CHAN=BHZ,BHN,BHE
SERVER=127.0.0.1
PORT=$(cat "$work/one.port")
SIZEMB=50
FILELENGTH(MIN)=10

[GROUP2]
STATION=DEF
CHAN=HHZ,HHN,HHE
SERVER=127.0.0.1
PORT=$(cat "$work/one.port")
SIZEMB=20
FILELENGTH(MIN)=30

[GROUP3]
STATION=KLM
CHAN=BHZ,BHN,BHE
SERVER=localhost
PORT=$(cat "$work/two.port")
SIZEMB=20

[GROUP4]
STATION=COLA
CHAN=LHZ,LHN,LHE
SERVER=localhost
PORT=$(cat "$work/two.port")
SIZEMB=5

[DATA]
DIR=$work/data

[DATABASE]
ODBC=KDX

[LOG]
DIR=$work/log

[LISTBOXHEADER]
HDRSIZE=80,70,180,250
INI

# A display of our own: Xvfb picks a free number and writes it to the descriptor.
exec 3< <(exec Xvfb -displayfd 4 -screen 0 1000x600x24 -nolisten tcp -ac 4>&1 2>"$work/xvfb.log")
pids+=($!)
read -r -t 20 display <&3
export DISPLAY=":$display"
unset WAYLAND_DISPLAY

QT_QPA_PLATFORM=xcb "$bin/src/app/tarvell" --ini "$work/tarvell.ini" >"$work/tarvell.out" 2>&1 &
pids+=($!)
tarvell=$!
window=""
for _ in $(seq 100); do
    window=$(xwininfo -name TARVELL -int 2>/dev/null | awk '/Window id:/ { print $4 }') || true
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { echo "screenshot: the window did not appear" >&2; cat "$work/tarvell.out" >&2; exit 1; }
sleep "$settle" # live rows: times, files and a few thousand received bytes

mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
kill -TERM "$tarvell"
wait "$tarvell" || true
echo "screenshot: $out"
tail -n 3 "$work/log/"*.log | tr -d '\r'
