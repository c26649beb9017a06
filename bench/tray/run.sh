#!/usr/bin/env bash
# Idle cost of the tray program: resident memory, CPU time and wake-ups (context switches)
# over an idle period, side by side with `sleep` (a process that never wakes) in the same run.
# The tray runs headless on a private D-Bus session bus, as on a machine without a display.
#   bench/tray/run.sh [build folder] [idle seconds]
set -euo pipefail
build=${1:-build/default}
idle=${2:-20}
work=$(mktemp -d)
trap 'kill $tray $ref $bus 2>/dev/null || true; rm -rf "$work"' EXIT

read -r address bus < <(dbus-daemon --session --fork --print-address=1 --print-pid=1 | paste -sd' ')
export DBUS_SESSION_BUS_ADDRESS=$address QVYLD_RUNTIME_DIR=$work/run PMX_KTV_TMP=$work
export QVYLD_SESSION_FILE=$work/sessions.json
echo '[]' > "$QVYLD_SESSION_FILE"
unset DISPLAY WAYLAND_DISPLAY
"$build/bin/VantaroLauncherSysTray" & tray=$!
sleep infinity & ref=$!
sleep 2  # start-up is not idle

sample() {  # pid -> "rss_kb cpu_ticks switches"
  local rss ticks switches
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$1/status")
  ticks=$(awk '{print $14 + $15}' "/proc/$1/stat")
  switches=$(awk '/ctxt_switches/ {s += $2} END {print s}' /proc/$1/task/*/status)
  echo "$rss $ticks $switches"
}
read -r _ t0 s0 <<<"$(sample $tray)"; read -r _ rt0 rs0 <<<"$(sample $ref)"
sleep "$idle"
read -r rss t1 s1 <<<"$(sample $tray)"; read -r rrss rt1 rs1 <<<"$(sample $ref)"
printf '%-24s %10s %14s %18s\n' program rss_kb cpu_ms_idle wakeups_idle
printf '%-24s %10s %14s %18s\n' VantaroLauncherSysTray "$rss" $(( (t1 - t0) * 10 )) $(( s1 - s0 ))
printf '%-24s %10s %14s %18s\n' "sleep (reference)" "$rrss" $(( (rt1 - rt0) * 10 )) $(( rs1 - rs0 ))
