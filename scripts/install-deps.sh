#!/usr/bin/env bash
# Installs every Debian package TARVELL needs to build, test, benchmark and run its demo.
# With --screenshot also what scripts/screenshot.sh needs (a virtual X display and the tools
# that find and capture a window), which the tests do not need.
# Idempotent: does nothing when everything is installed already.
set -euo pipefail

packages=(
    # build
    g++ cmake ninja-build pkg-config git
    # tests, fuzzing, benchmarks
    googletest libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
    # database: unixODBC, the SQLite and PostgreSQL drivers, a PostgreSQL server for tests
    unixodbc unixodbc-dev libsqliteodbc odbc-postgresql sqlite3 postgresql
    # the test server's miniSEED reader and its sample record file
    libmseed-dev libmseed-doc
    # the operator window (X11 through qt6-base-dev's own plugin, Wayland through qt6-wayland)
    qt6-base-dev qt6-wayland
    # the status server (HTTP, JSON), the service manager's notifications
    libcpp-httplib-dev nlohmann-json3-dev libsystemd-dev
    # tests of the status server: the metrics format checker, a browser for the page, an
    # XML checker for the availability drawing
    prometheus chromium libxml2-utils
    # the Debian package: its library dependencies (dpkg-shlibdeps), its service's user and
    # unit checked (systemd-sysusers, systemd-analyze), its man pages checked (groff)
    dpkg-dev systemd groff-base
)
if [ "${1:-}" = "--screenshot" ]; then
    # a virtual display, xwininfo to find the window, import to capture it
    packages+=(xvfb x11-utils imagemagick fonts-dejavu-core)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
