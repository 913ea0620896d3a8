#!/usr/bin/env bash
# The demo: installs what is needed, builds, makes an embedded SQLite KDX database with its
# SITECHAN rows, starts xfer-sim on loopback with a real miniSEED record file and synthetic
# channels, and runs tarvell --headless against it. It ends by itself after DEMO_SECONDS
# (default 20) or on Ctrl-C, then prints what was written and the archive's availability.
# While it runs, its status page is on http://127.0.0.1:$STATUS_PORT/ (default 9780).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
seconds=${DEMO_SECONDS:-20}
status_port=${STATUS_PORT:-9780}
preset=${DEMO_PRESET:-release}

bash scripts/install-deps.sh
bash scripts/build.sh "$preset"
bin=$top/build/$preset
demo=$top/demo
mseed=$(dpkg -L libmseed-doc libmseed-dev 2>/dev/null | grep -m1 '/examples/test.mseed$' || true)

rm -rf "$demo"
mkdir -p "$demo/log"

# The database, its data source KDX and the sampling rates of the demo's channels.
eval "$("$bin/tools/kdx-db/kdx-db" create --dir "$demo")"
"$bin/tools/kdx-db/kdx-db" sitechan --dir "$demo" \
    ABC BHZ 100 ABC BHN 100 ABC BHE 100 DEF HHZ 40 COLA LHZ 1

# The server: an hour of three 100 Hz channels and one 40 Hz channel up to now, then live
# data in real time; and the real record file when the documentation package has it. Each
# channel leaves out its 1001st packet, a gap the availability report shows.
now=$(date +%s)
sources=(--synthetic "ABC:BHZ:100:$((now - 3600))" --synthetic "ABC:BHN:100:$((now - 3600))"
         --synthetic "ABC:BHE:100:$((now - 3600))" --synthetic "DEF:HHZ:40:$((now - 3600))")
[ -n "$mseed" ] && sources+=(--mseed "$mseed")
"$bin/tools/xfer-sim/xfer-sim" --port 0 --port-file "$demo/port" --realtime --gap-after 1000 \
    --log "$demo/xfer-sim.log" "${sources[@]}" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$demo/port" ] && break; sleep 0.1; done
port=$(cat "$demo/port")

cat > "$demo/tarvell.ini" <<INI
[SYSTEM]
GROUPS=3
SERVER=127.0.0.1
PORT=$port
MODE=DETAIL

[GROUP1]
STATION=ABC
CHAN=BHZ,BHN,BHE
SIZEMB=50
FILELENGTH(MIN)=10

[GROUP2]
STATION=DEF
CHAN=HHZ
SIZEMB=20
FILELENGTH(MIN)=30

[GROUP3]
STATION=COLA
CHAN=LHZ
SIZEMB=5

[DATA]
DIR=$demo/data

[DATABASE]
ODBC=KDX

[LOG]
DIR=$demo/log

[STATUS]
LISTEN=127.0.0.1:$status_port
INI

echo
echo "TARVELL demo: xfer-sim on 127.0.0.1:$port, running for $seconds s (Ctrl-C ends it earlier)"
echo "  INI file:   $demo/tarvell.ini"
echo "  data files: $demo/data"
echo "  database:   $demo/kdx.db (ODBC data source KDX, ODBCSYSINI=$ODBCSYSINI)"
echo "  event log:  $demo/log/"
echo "  status:     http://127.0.0.1:$status_port/ (also /metrics, /status;" \
     "$bin/src/app/tarvell --status --ini $demo/tarvell.ini)"
echo

"$bin/src/app/tarvell" --headless --ini "$demo/tarvell.ini" &
tarvell=$!
trap 'kill -TERM $tarvell 2>/dev/null || true' INT
( sleep "$seconds"; kill -TERM $tarvell 2>/dev/null || true ) &
timer=$!
wait $tarvell || true
kill $timer 2>/dev/null || true

files=$(find "$demo/data" -type f | wc -l)
bytes=$(find "$demo/data" -type f -printf '%s\n' | awk '{ s += $1 - 512 } END { print s + 0 }')
read -r rows seconds_of_data < <(sqlite3 -separator ' ' "$demo/kdx.db" \
    "select count(*), coalesce(round(sum(TQTY)), 0) from FILELIST")
echo
echo "Summary: $files data files, $rows FILELIST rows, $((bytes / 4)) samples," \
     "$seconds_of_data seconds of data"
echo "Event log:"
cat "$demo"/log/*.log | tr -d '\r' | tail -n 12
echo
echo "Availability of the synthetic hour and the run (drawn in $demo/availability.svg):"
"$bin/tools/kdx-db/kdx-db" availability --dir "$demo" --from $((now - 3600)) \
    --svg "$demo/availability.svg" || true
