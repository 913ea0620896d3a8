#!/usr/bin/env bash
# The Debian package as a fresh machine gets it: built by CPack from the build tree given as
# the first argument, unpacked into a scratch root, its postinst run for that root (the
# service's user and the directories it owns), then the installed programs run as that user:
# --version, kdx-db create and sitechan with the installed kdx-db, --check-config on the
# installed INI, a first start whose troubles reach stderr with the journal's priorities,
# and systemd-analyze verify on the installed unit. Nothing outside the scratch root is
# touched. Exit 0 passed, 1 failed, 77 skipped (no dpkg-deb or cpack).
set -euo pipefail

build=${1:?usage: package_test.sh BUILD_DIR}
for tool in cpack dpkg-deb; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done

work=$(mktemp -d /tmp/tarvell-package-XXXXXX)
pid=""
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
# The service's user must reach the scratch root.
chmod 0755 "$work"
root=$work/root
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
check() { # check DESCRIPTION COMMAND...: runs the command, a failure is counted
    local what=$1
    shift
    "$@" || fail "$what"
}

# --- the package ------------------------------------------------------------------------
cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; exit 1; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$work/out/tarvell_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$work/out"; fail "no $deb"; exit 1; }
check "the package is tarvell $version" \
    test "$(dpkg-deb -f "$deb" Package Version)" = "$(printf 'Package: tarvell\nVersion: %s' "$version")"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libodbc2 libqt6widgets6 libsystemd0; do
    check "Depends names $library: $depends" grep -q "$library" <<<"$depends"
done
check "Recommends an ODBC driver" grep -q libsqliteodbc <<<"$(dpkg-deb -f "$deb" Recommends)"

dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"
check "the INI is a conffile" grep -qx /etc/tarvell/tarvell.ini "$work/control/conffiles"
for file in usr/bin/tarvell usr/bin/kdx-db usr/bin/xfer-dump usr/bin/xfer-sim \
    usr/share/tarvell/schema/kdx-sqlite.sql usr/share/tarvell/schema/kdx-postgresql.sql \
    usr/share/tarvell/odbc/odbc.ini usr/share/tarvell/odbc/odbcinst.ini \
    etc/tarvell/tarvell.ini lib/systemd/system/tarvell.service \
    usr/lib/sysusers.d/tarvell.conf usr/share/doc/tarvell/OPERATIONS.md \
    usr/share/man/man8/tarvell.8.gz usr/share/man/man8/kdx-db.8.gz \
    usr/share/man/man1/xfer-dump.1.gz usr/share/man/man1/xfer-sim.1.gz; do
    check "$file is installed" test -e "$root/$file"
done
if command -v groff >/dev/null; then
    for page in "$root"/usr/share/man/man*/*.gz; do
        warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
        check "$(basename "$page") renders without warnings: $warnings" test -z "$warnings"
    done
fi
# The installed template names a driver this machine has (libsqliteodbc).
driver=$(sed -n '/^\[SQLite3\]/,/^\[/s/^Driver=//p' "$root/usr/share/tarvell/odbc/odbcinst.ini")
check "the SQLite driver of the template exists: $driver" test -f "$driver"
check "tarvell --version" test "$("$root/usr/bin/tarvell" --version)" = "TARVELL Version $version"

# --- the postinst: the service's user and what it owns ---------------------------------
as_service=()
if [ "$(id -u)" -eq 0 ] && command -v systemd-sysusers >/dev/null && command -v setpriv >/dev/null
then
    DPKG_ROOT=$root sh "$work/control/postinst" configure "" >"$work/postinst.log" 2>&1 ||
        { cat "$work/postinst.log"; fail "postinst"; }
    entry=$(grep '^tarvell:' "$root/etc/passwd" || true)
    check "the user tarvell lives in /var/lib/kdx: $entry" grep -q ':/var/lib/kdx:' <<<"$entry"
    uid=$(cut -d: -f3 <<<"$entry")
    gid=$(cut -d: -f4 <<<"$entry")
    for dir in var/lib/kdx var/log/tarvell; do
        check "/$dir belongs to tarvell" test "$(stat -c %u:%g "$root/$dir")" = "$uid:$gid"
    done
    check "/etc/tarvell is the group's to write" \
        test "$(stat -c %g:%a "$root/etc/tarvell")" = "$gid:770"
    check "the INI is the group's, others read nothing" \
        test "$(stat -c %g:%a "$root/etc/tarvell/tarvell.ini")" = "$gid:660"
    as_service=(setpriv "--reuid=$uid" "--regid=$gid" --clear-groups)
else
    echo "NOTE: not root or no systemd-sysusers: the postinst and the service's user are not tried"
fi

# --- the first day, as the service's user ----------------------------------------------
run() { "${as_service[@]}" "$@"; }
export ODBCSYSINI=$root/var/lib/kdx/odbc ODBCINI=$root/var/lib/kdx/odbc/odbc.ini
unset KDX_INI
check "kdx-db create" run "$root/usr/bin/kdx-db" create --dir "$root/var/lib/kdx" \
    >/dev/null 2>"$work/kdx-db.log"
check "kdx-db sitechan" run "$root/usr/bin/kdx-db" sitechan --dir "$root/var/lib/kdx" \
    ABC BHZ 100 ABC BHN 100 ABC BHE 100 DEF HHZ 40 >/dev/null 2>>"$work/kdx-db.log"
# The installed INI as it stands names an example server and the machine's data root: the
# check lists both servers and runs through; what it finds depends on this machine.
status=0
run "$root/usr/bin/tarvell" --check-config --ini "$root/etc/tarvell/tarvell.ini" \
    >"$work/check.out" 2>&1 || status=$?
check "--check-config on the installed INI runs (status $status): $(cat "$work/check.out")" \
    test "$status" -le 1
check "--check-config lists both servers" grep -qx "Servers: 2" "$work/check.out"

# The installed INI with its paths inside the scratch root and its servers on this machine
# (refusing); the event log goes where the service's user may not make it.
sed -e "s|^DIR=/var/lib/kdx|DIR=$root/var/lib/kdx|" -e "s|^DIR=/var/log/tarvell|DIR=$root/etc/no-log|" \
    -e 's/^SERVER=.*/SERVER=127.0.0.1/' -e 's/^PORT=.*/PORT=1/' \
    "$root/etc/tarvell/tarvell.ini" >"$root/etc/tarvell/first.ini"
chmod 0660 "$root/etc/tarvell/first.ini"
[ ${#as_service[@]} -gt 0 ] && chgrp "$gid" "$root/etc/tarvell/first.ini"
run "$root/usr/bin/tarvell" --check-config --ini "$root/etc/tarvell/first.ini" \
    >"$work/check.out" 2>&1 || fail "--check-config on the INI of this root: $(cat "$work/check.out")"
check "--check-config finds no problem" grep -qx "No problem found." "$work/check.out"

# A first start with that INI, its servers refusing.
# Started without a function around it, so that $! is the program itself (setpriv execs it).
"${as_service[@]}" "$root/usr/bin/tarvell" --headless --ini "$root/etc/tarvell/first.ini" \
    >"$work/first.out" 2>&1 &
pid=$!
for _ in $(seq 100); do
    grep -q "Cannot connect to server" "$work/first.out" && break
    sleep 0.1
done
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
check "the first start stops in order (status $status): $(cat "$work/first.out")" test "$status" -eq 0
check "the journal hears the start" grep -qx "<6>TARVELL started..." "$work/first.out"
check "the journal hears the refused server once" test "$(grep -c \
    '^<4>Cannot connect to server: 127.0.0.1 port 1 (connection refused: nothing listens on the port); retrying$' \
    "$work/first.out")" -eq 1
if [ ${#as_service[@]} -gt 0 ]; then
    check "a log directory the user may not make is named as such" \
        grep -q "^<3>tarvell: event log $root/etc/no-log/.*: Permission denied" "$work/first.out"
fi

# --- the unit --------------------------------------------------------------------------
if command -v systemd-analyze >/dev/null; then
    # The unit is checked inside the scratch root (its ExecStart names the installed
    # program); the root borrows this machine's units for the targets it names.
    mkdir -p "$root/usr/lib/systemd/system" "$root/bin"
    cp -a /lib/systemd/system/. "$root/usr/lib/systemd/system/"
    cp /bin/kill "$root/bin/kill"
    verify=$(systemd-analyze --root="$root" --man=no verify tarvell.service 2>&1) ||
        fail "systemd-analyze verify: $verify"
    check "systemd-analyze verify says nothing: $verify" test -z "$verify"
else
    echo "NOTE: no systemd-analyze: the unit is not verified"
fi

[ "$failures" -eq 0 ] && echo "package test passed: $deb"
[ "$failures" -eq 0 ]
