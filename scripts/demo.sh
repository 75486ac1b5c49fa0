#!/usr/bin/env bash
# Builds AM and runs it in the foreground with a demo home under build/demo: a copy of am, an
# am.ini with a few demo agents (real processes of build/demo-agent) and the web page.
# Type "a" for the agents, "s" for the channels, "q" to stop.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run
bash scripts/build.sh --run
root=$(pwd)
home="$root/build/demo"
mkdir -p "$home"
cp -f build/am "$home/am"
agent="$root/build/demo-agent"
client_port=${AM_DEMO_CLIENT_PORT:-5001}
agent_port=${AM_DEMO_AGENT_PORT:-5002}
http_port=${AM_DEMO_HTTP_PORT:-8080}
web_port=${AM_DEMO_WEB_AGENT_PORT:-$((http_port + 1))}
client_ports=${AM_DEMO_CLIENT_PORTS:-6100:6200}
# Settings files are Windows-1251 on disk.
iconv -f UTF-8 -t WINDOWS-1251 > "$home/am.ini" <<INI
[common]
client_port=$client_port
agent_port=$agent_port
http_port=$http_port
welcome=Демонстрация AM
client_ports=$client_ports

# Kept running by an all-day schedule: started at once, and again at the next pass
# whenever it ends.
[agent]
id=always
name=Always
description=Kept running by an all-day schedule
sched=0h-*/24h
cmd=$agent --demo-telemetry-ms 2000

# Started by its schedule 3 minutes after the manager starts and then 3 minutes after each
# start; it ends by itself after a minute.
[agent]
id=sched
name=Scheduled
description=Started every 3 minutes, runs for a minute
sched=*/3m-*/1m
cmd=$agent --demo-telemetry-ms 2000 --demo-exit-after 60000

# Two worker processes of one agent, started when a client logs in to it.
[agent]
id=web
name=Web
description=Two workers, started on demand
worker_processes=2
http_port=$web_port
cmd=$agent --demo-telemetry-ms 2000
INI
cat <<MSG

AM demo home: $home
  client protocol on 127.0.0.1:$client_port, agent link on UDP $agent_port
  web page: http://127.0.0.1:$http_port/#_ (click Web: it starts on demand; its own port $web_port)
  amctl finds this manager by its settings: build/amctl --settings $home/am.ini agents
  (or export AM_CLIENT_PORT=$client_port)
  log files: $home/log/am.log (and .err)
Console commands: a (agents), s (channels), ? (help), q (stop).

MSG
cd "$home"
exec ./am --console
