#!/usr/bin/env bash
# The whole program's footprint, started as a user starts it, under the test environment (source its env file
# first; its tray host keeps the program running once its window is closed). The program opens its window at
# launch: threads by name, resident memory, CPU and the time Qt Quick reports per rendered frame while it is shown;
# then its window is closed as a window manager's close button does, and the same while it sits in the tray.
# Each program given is measured in turn, ROUNDS times, so builds compare in the same moments.
#
#   bench/program_footprint.sh PROGRAM [PROGRAM...]     # ROUNDS=2 SETTLE=15 SHOWN=20 HIDDEN=60 (seconds)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
rounds=${ROUNDS:-2} settle=${SETTLE:-15} shown=${SHOWN:-20} hidden=${HIDDEN:-60}
[ -n "${DISPLAY:-}" ] || { echo "program_footprint: no DISPLAY (source the test environment)" >&2; exit 1; }
ticks=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_mib() { awk '/^VmRSS:/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }
# Thread names without their numbers; the program's own unnamed threads (named after the program) as "unnamed".
threads() { for t in /proc/"$1"/task/*; do cat "$t/comm"; done | sed -e "s/^${2:0:15}\$/unnamed/" -e 's/[0-9]*$//' |
              sort | uniq -c |
              awk '{c = $1; $1 = ""; sub(/^ /, ""); n += c; s = s sprintf("%s%s×%d", s == "" ? "" : ", ", $0, c)}
                   END {printf "%d (%s)", n, s}'; }
# CPU share of one core over the next $2 seconds.
cpu_share() { local before; before=$(cpu_ticks "$1"); sleep "$2"
              awk -v a="$before" -v b="$(cpu_ticks "$1")" -v t="$ticks" -v s="$2" 'BEGIN {printf "%.3f %%", 100 * (b - a) / t / s}'; }
frame_times() { { grep -oE 'rendered (with [^ ]+ renderloop )?in [0-9]+ms' "$1" || true; } |
                awk '{ms = $NF; sub("ms", "", ms); n++; sum += ms; if (ms + 0 > max) max = ms + 0}
                     END {if (n) printf "%d frames, mean %.1f ms, max %d ms", n, sum / n, max; else printf "no frame timing"}'; }
# The program's largest top-level window (its main window), by its WM_CLASS.
main_window() { xwininfo -root -tree | awk -v class="(\"${1:0:15}" 'index($0, class) {
                  split($0, g, /\)  */); split(g[2], size, /[x+]/); if (size[1] * size[2] > best) {best = size[1] * size[2]; id = $1}}
                  END {print id}'; }

measure() {
  local program=$1 name home log pid window
  name=$(basename "$program")
  home=$(mktemp -d /tmp/veltrano-footprint-XXXXXX)
  log=$home/log
  # The host listens on the fixed ports: take the tests' lock for them.
  exec 9>/tmp/veltrano-test-fixed-ports
  flock 9
  HOME=$home XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data QSG_RENDER_TIMING=1 \
    QT_LOGGING_RULES="qt.scenegraph.time.renderloop.debug=true" "$program" >"$log" 2>&1 &
  pid=$!
  sleep "$settle"
  local shownCpu; shownCpu=$(cpu_share $pid "$shown")
  echo "$name shown: RSS $(rss_mib $pid) MiB, CPU $shownCpu of a core, threads $(threads $pid "$name"), $(frame_times "$log")"
  window=$(main_window "$name")
  [ -n "$window" ] && python3 "$here/close_window.py" "$window"
  sleep "$settle"
  local hiddenCpu; hiddenCpu=$(cpu_share $pid "$hidden")
  echo "$name hidden: RSS $(rss_mib $pid) MiB, CPU $hiddenCpu of a core, threads $(threads $pid "$name")"
  kill "$pid"; wait "$pid" 2>/dev/null || true
  flock -u 9
  rm -rf "$home"
}

echo "load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) CPUs"
for round in $(seq "$rounds"); do
  for program in "$@"; do measure "$program"; done
done
echo "load $(cut -d' ' -f1-3 /proc/loadavg)"
