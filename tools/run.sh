#!/usr/bin/env bash
# Main job: sets up what is missing and builds the three executables it needs, starts the
# simulated controller and the program, runs one identification through the operator client
# (which shows its progress and leaves the program idle at the end), and prints the result table
# next to the simulator's ground truth. Both processes are stopped when the script ends, however
# it ends. The build directory is the one the test command uses; nothing here breaks its build.
#
# Usage: tools/run.sh [--joint J | --mode M] [--normal] [--timeout S]
#   default: joint 0 in high-speed mode (a few minutes); --normal tests the whole speed grid.
# Environment: VB_WEB_PORT (default 11666), VB_CONTROLLER_PORT (default 7003), VB_BUILD (build).
# While it runs, http://127.0.0.1:11666/ shows the test state and the results in a browser.
set -euo pipefail
cd "$(dirname "$0")/.."
begin=$(date +%s)
build=${VB_BUILD:-build}
web_port=${VB_WEB_PORT:-11666}
controller_port=${VB_CONTROLLER_PORT:-7003}

# Passes the build's output through, with a line after every 10 s without one, so that a long
# compile still shows that the build goes on.
with_heartbeat() {
  local line status
  while true; do
    if IFS= read -r -t 10 line; then
      printf '%s\n' "$line"
    else
      status=$?
      [ -z "$line" ] || printf '%s\n' "$line"
      [ "$status" -gt 128 ] || break  # end of the output
      echo "... still building ($(($(date +%s) - begin)) s)"
    fi
  done
}
tools/setup.sh --target main_job "$build" | with_heartbeat
echo "set-up and build took $(($(date +%s) - begin)) s"

logs="$build/run-logs"
mkdir -p "$logs"
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all EXIT
trap 'exit 130' INT TERM

for port in "$web_port" "$controller_port"; do
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "run.sh: port $port is in use (set VB_WEB_PORT / VB_CONTROLLER_PORT)" >&2
    exit 1
  fi
done

# High-speed mode measures only 2 deg/s: the simulated arm laid out for that, unless --normal.
layout=high-speed
for arg in "$@"; do [ "$arg" = "--normal" ] && layout=default; done
"$build/sim/robot_sim" --layout "$layout" --truth >"$logs/truth.txt"
"$build/sim/robot_sim" --layout "$layout" --port "$controller_port" >"$logs/robot_sim.log" 2>&1 &
pids+=($!)
# The program reads the joint motor data when it connects, so the controller comes first.
for _ in $(seq 100); do
  grep -q "listening on" "$logs/robot_sim.log" && break
  kill -0 "${pids[0]}" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "listening on" "$logs/robot_sim.log"; then
  echo "run.sh: robot_sim did not start:" >&2
  cat "$logs/robot_sim.log" >&2
  exit 1
fi

VB_WEB_PORT=$web_port VB_CONTROLLER_PORT=$controller_port \
  "$build/app/vibration_test" "$PWD/ui" >"$logs/vibration_test.log" 2>&1 &
pids+=($!)
echo "controller on 127.0.0.1:$controller_port, program on port $web_port (logs in $logs)"

status=0
"$build/tools/client/vb_client" --port "$web_port" run --truth "$logs/truth.txt" \
  --log "$logs/vibration_test.log" "$@" || status=$?
echo "main job took $(($(date +%s) - begin)) s (set-up and build included)"
[ "$status" -eq 0 ] || echo "run.sh: the client ended with status $status; see $logs" >&2
exit "$status"
