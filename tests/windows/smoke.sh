#!/usr/bin/env bash
# End-to-end smoke test of the Windows build under wine: the manager starts in a fresh home,
# a demo agent started through amctl reports over the agent link, "amctl agents" and
# "amctl status" list it; a browser at the web port of a stopped agent starts it, and the agent,
# handed the manager's listening socket, serves the page itself; "am.exe #sigstop" stops the
# manager. Every wait is bounded;
# whatever was started is ended at the exit, wine's server included.
# Usage: tests/windows/smoke.sh [build-win]
set -uo pipefail
dir=$(cd "${1:-build-win}" && pwd)
export WINEPREFIX=${WINEPREFIX:-$dir/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
home=$(mktemp -d "$dir/smoke.XXXXXX")
am_pid=""
fail() { echo "smoke: FAILED: $*"; [ -f "$home/out" ] && { echo "--- console:"; tail -40 "$home/out"; }; exit 1; }
cleanup() {
  exec 7>&- 2>/dev/null
  [ -n "$am_pid" ] && kill "$am_pid" 2>/dev/null
  wineserver -k >/dev/null 2>&1
  rm -rf "$home"
}
trap cleanup EXIT

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 1
  done
}
# Runs a Windows program of the build under wine with a time limit; its output in $out.
run() { out=$(timeout 180 wine "$@" 2>&1 | tr -d '\r'); }

# "#sigstop" speaks to the default agent port: it must be free here.
if python3 - <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
try:
    s.bind(("127.0.0.1", 5002))
except OSError:
    sys.exit(0)
sys.exit(1)
PY
then fail "UDP port 5002 (the default agent port that #sigstop uses) is taken"; fi
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
client_port=$(free_port)
web_port=$(free_port)

cp "$dir/am.exe" "$home/am.exe"
agent=$(winepath -w "$dir/demo-agent.exe")
printf '[common]\r\nclient_port=%s\r\nagent_port=5002\r\n[agent]\r\nid=w1\r\nname=Worker\r\ncmd=%s\r\n[agent]\r\nid=w2\r\nname=Web\r\nhttp_port=%s\r\ncmd=%s\r\n' \
  "$client_port" "$agent" "$web_port" "$agent" > "$home/am.ini"

# The console reads its commands from a pipe this script holds open.
mkfifo "$home/in"
(cd "$home" && exec wine ./am.exe --console < "$home/in" > "$home/out" 2>&1) &
am_pid=$!
exec 7> "$home/in"
wait_for 180 grep -q "started #####" "$home/out" || fail "the manager did not start"
echo "smoke: manager started (client port $client_port)"

export AM_PASSWORD=
run "$dir/amctl.exe" --port "$client_port" --user "" start Worker
[[ "$out" == *"port: "* ]] || fail "amctl start Worker: $out"
wait_for 240 grep -q 'агент "Worker" (pid:[0-9]*) запущен (версия: 5.2.400)' "$home/out" ||
  fail "the demo agent did not report over the agent link"
echo "smoke: the demo agent reported over the agent link"

run "$dir/amctl.exe" --port "$client_port" agents
[[ "$out" == *'name="Worker"'* ]] || fail "amctl agents: $out"
run "$dir/amctl.exe" --port "$client_port" --user "" status Worker
[[ "$out" == *"Worker  работает"* ]] || fail "amctl status Worker: $out"
echo "smoke: amctl lists the agent as running"

# The browser's connection waits in the manager's backlog until the agent has taken the socket.
page=$(timeout 200 python3 - "$web_port" <<'PY' 2>&1
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=180)
s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
page = b""
while True:
    piece = s.recv(65536)
    if not piece:
        break
    page += piece
print(page.decode("utf-8", "replace"))
PY
)
[[ "$page" == *"Web is running"* ]] || fail "the browser at the stopped agent's port got: $page"
grep -q 'Запуск агента "Web", причина: http' "$home/out" || fail "the agent was not started by the browser"
echo "smoke: the browser started the stopped agent, which served the page on the handed-over socket"

run "$home/am.exe" '#sigstop'
wait_for 120 bash -c "! kill -0 $am_pid 2>/dev/null" || fail "#sigstop did not stop the manager"
am_pid=""
grep -q "Остановка AM, причина: sigstop" "$home/out" || fail "the manager ended without the sigstop stop"
echo "smoke: #sigstop stopped the manager"
echo "smoke: 1 passed, 0 failed"
