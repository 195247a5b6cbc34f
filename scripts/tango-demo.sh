#!/usr/bin/env bash
# The whole Tango chain on one machine, as a facility runs it: MariaDB with
# Tango's database in it, Tango's database server (DataBaseds), the device
# server registered there and started, the console on simulated controllers
# (offscreen, --start), then one client move through
# DeviceProxy("stage/demo/x") with the database's names, no "#dbase=no".
# Everything runs in a folder of its own, on free loopback ports, as this
# user (mysql when root), and is ended by its own pid at the end.
#   bash scripts/tango-demo.sh [BUILD_DIR]
# BUILD_DIR (default build/dev) must hold app/stage-console and
# bridges/tango/stage-console-tango; missing packages are installed.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$source_dir/build/dev}" && pwd)
console=$build/app/stage-console
server=$build/bridges/tango/stage-console-tango
for program in "$console" "$server"; do
  [ -x "$program" ] || { echo "tango-demo.sh: $program is not built" >&2; exit 2; }
done
bash "$source_dir/scripts/deps.sh" mariadb-server tango-db libtango-tools python3-tango

work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() {
  local pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "tango-demo.sh: $*" >&2
  for log in "$work"/*.log; do
    echo "--- $log" >&2
    tail -n 20 "$log" >&2
  done
  exit 1
}
# shellcheck source=tests/x_session.sh
source "$source_dir/tests/x_session.sh"  # wait_for
free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# MariaDB, on its own data folder, socket and port.
db_port=$(free_port)
db_user=$(id -un)
[ "$(id -u)" -eq 0 ] && db_user=mysql
mkdir -p "$work/db"
[ "$(id -u)" -eq 0 ] && chown mysql: "$work/db"
echo "MariaDB on 127.0.0.1:$db_port ..."
mysql_install_db --user="$db_user" --datadir="$work/db/data" --auth-root-authentication-method=socket \
  >"$work/mariadb-install.log" 2>&1 || fail "mysql_install_db"
mariadbd --user="$db_user" --datadir="$work/db/data" --socket="$work/db/sock" --bind-address=127.0.0.1 \
  --port="$db_port" --skip-log-bin >"$work/mariadb.log" 2>&1 &
pids+=($!)
db_answers() { mariadb-admin -S "$work/db/sock" -u root ping >/dev/null 2>&1; }
wait_for "MariaDB" db_answers
password=demo-$RANDOM$RANDOM
mariadb -S "$work/db/sock" -u root -e "CREATE DATABASE tango; CREATE USER 'tango'@'127.0.0.1' IDENTIFIED BY '$password';
  GRANT ALL ON tango.* TO 'tango'@'127.0.0.1';" || fail "creating Tango's database"
mariadb -S "$work/db/sock" -u root tango </usr/share/dbconfig-common/data/tango-db/install/mysql || fail "Tango's schema"

# Tango's database server.
tango_port=$(free_port)
echo "DataBaseds on 127.0.0.1:$tango_port ..."
MYSQL_USER=tango MYSQL_PASSWORD=$password MYSQL_HOST=127.0.0.1:$db_port MYSQL_DATABASE=tango \
  /usr/lib/tango/DataBaseds 2 -ORBendPoint "giop:tcp:127.0.0.1:$tango_port" >"$work/databaseds.log" 2>&1 &
pids+=($!)
export TANGO_HOST=127.0.0.1:$tango_port
db_server_answers() { tango_admin --ping-database 1 >/dev/null 2>&1; }
wait_for "DataBaseds" db_server_answers

# The device server, registered, for a console of three axes.
tango_admin --add-server stage-console-tango/demo StageConsole stage/demo/console || fail "registering"
tango_admin --add-server stage-console-tango/demo StageAxis stage/demo/x,stage/demo/y,stage/demo/z || fail "registering"

# The console on three simulated controllers, started at once (--start) on
# the offscreen platform: no desktop needed.
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen "$console" --simulate 3 --no-profile --start \
  --control "$work/control.sock" >"$work/console.log" 2>&1 &
pids+=($!)
console_serves() { [ -S "$work/control.sock" ]; }
wait_for "the console's socket" console_serves
echo "The console runs on three simulated controllers."

"$server" demo --control "$work/control.sock" >"$work/server.log" 2>&1 &
pids+=($!)

# One client move, as a facility script makes it.
/usr/bin/python3 - <<'PYTHON' || fail "the client move"
import time
import tango

deadline = time.monotonic() + 60
while True:
    try:
        x = tango.DeviceProxy("stage/demo/x")
        if x.state() == tango.DevState.ON:
            break
    except tango.DevFailed:
        pass
    if time.monotonic() > deadline:
        raise SystemExit("stage/demo/x is not ON within 60 s")
    time.sleep(0.2)
print("stage/demo/x:", x.state(), "-", x.status())
start = time.monotonic()
x.Position = 250.0
print("wrote Position = 250:", x.state())
while x.state() == tango.DevState.MOVING:
    if time.monotonic() - start > 60:
        raise SystemExit("still moving after 60 s")
    time.sleep(0.05)
print("after %.2f s: %s, Position %.2f %s - %s" % (time.monotonic() - start, x.state(), x.Position, x.Units, x.status()))
if abs(x.Position - 250.0) > 1.0:
    raise SystemExit("X did not arrive")
console = tango.DeviceProxy("stage/demo/console")
print("stage/demo/console:", console.state(), list(console.Axes))
PYTHON
echo "The demo ran: database, device server, console and a client move."
