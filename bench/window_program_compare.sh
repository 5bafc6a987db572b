#!/usr/bin/env bash
# The program's window beside the smallest Qt Quick window of the same size (bench/minimal_quick_window.cpp), in
# the same run on the same X server, Qt and renderer, one after the other, RUNS times (default 3):
#   - cold start: from just before the program starts to its window mapped on the X server;
#   - idle CPU with the window shown, over IDLE_SECONDS (default 20) after SETTLE_SECONDS (default 5), in % of one
#     core (user + system time of the process);
#   - idle CPU with the window hidden: ours closed to the tray, the minimal window made but never shown;
#   - resident memory (VmRSS) and threads after the settle, with the window shown and with it hidden;
#   - then, ours only, once: VmRSS each minute for STREAM_MINUTES (default 10; 0 skips it) while a tablet watches
#     the first display (veltrano_bench_streaming_tablet), with the window closed to the tray.
# Ours starts in a fresh home, as on a first start: its permissions are given on this desktop, so the onboarding
# completes by itself and the host runs, idle, with no tablet. It holds the host's fixed ports, so the run takes
# the machine's fixed-ports lock. Needs the test services (scripts/test-env start FILE; source FILE): Xvfb and the
# tray host (without a tray, closing our window would end the program).
#
#   bench/window_program_compare.sh [BUILD_DIR]
set -euo pipefail

build=${1:-build}
runs=${RUNS:-3}
settle=${SETTLE_SECONDS:-5}
idle=${IDLE_SECONDS:-20}
ours_title=${OURS_TITLE:-Veltrano}
peer_title="Minimal Qt Quick window"
ours="$build/src/app/veltrano-host"
peer="$build/bench/veltrano_bench_minimal_quick_window"
tool="$build/bench/veltrano_bench_x_window"
tablet="$build/bench/veltrano_bench_streaming_tablet"
stream_minutes=${STREAM_MINUTES:-10}
for program in "$ours" "$peer" "$tool" "$tablet"; do
  [ -x "$program" ] || { echo "missing: $program (build it first)" >&2; exit 2; }
done
[ -n "${DISPLAY:-}" ] && [ -n "${VELTRANO_TEST_TRAY:-}" ] || { echo "needs scripts/test-env's X server and tray" >&2; exit 2; }

exec 9>/tmp/veltrano-test-fixed-ports
flock 9
work=$(mktemp -d /tmp/veltrano-window-bench-XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# % of one core over $idle seconds.
idle_cpu() {
  local before after
  before=$(cpu_ticks "$1"); sleep "$idle"; after=$(cpu_ticks "$1")
  awk -v d=$((after - before)) -v t="$ticks" -v s="$idle" 'BEGIN { printf "%.2f", 100 * d / t / s }'
}
rss_mib() { awk '/^VmRSS/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }
threads() { ls "/proc/$1/task" | wc -l; }
stop() { kill "$pid"; while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done; pid=""; }

# One program: prints "start_ms cpu_shown cpu_hidden rss_mib threads rss_hidden_mib threads_hidden".
measure() {
  local which=$1 line start shown hidden rss home count hiddenRss hiddenCount
  if [ "$which" = ours ]; then
    home="$work/home-$RANDOM"; mkdir -p "$home"
    line=$(HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_RUNTIME_DIR="$home" \
      "$tool" start "$ours_title" "$ours")
  else
    line=$("$tool" start "$peer_title" "$peer")
  fi
  read -r pid start <<<"$line"
  sleep "$settle"
  rss=$(rss_mib "$pid")
  count=$(threads "$pid")
  shown=$(idle_cpu "$pid")
  if [ "$which" = ours ]; then
    "$tool" close "$ours_title"
    sleep "$settle"
    hidden=$(idle_cpu "$pid")
    hiddenRss=$(rss_mib "$pid")
    hiddenCount=$(threads "$pid")
    stop
  else
    stop
    # The same window made but never shown.
    "$peer" --hidden >/dev/null 2>&1 & pid=$!
    sleep "$settle"
    hidden=$(idle_cpu "$pid")
    hiddenRss=$(rss_mib "$pid")
    hiddenCount=$(threads "$pid")
    stop
  fi
  echo "$start $shown $hidden $rss $count $hiddenRss $hiddenCount"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg); runs $runs, settle ${settle}s, idle ${idle}s"
row() { printf '%-8s %-5s %10s %12s %13s %9s %8s %12s %15s\n' "$@"; }
row program run start_ms cpu_shown_% cpu_hidden_% rss_MiB threads rss_hidden_MiB threads_hidden
: >"$work/ours"; : >"$work/peer"
for run in $(seq "$runs"); do
  for which in ours peer; do
    result=$(measure "$which")
    echo "$result" >>"$work/$which"
    # shellcheck disable=SC2086
    row "$which" "$run" $result
  done
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "medians (ours / minimal = ratio):"
for column in 1:start_ms 2:cpu_shown_% 3:cpu_hidden_% 4:rss_MiB 5:threads 6:rss_hidden_MiB 7:threads_hidden; do
  index=${column%%:*}; label=${column#*:}
  o=$(awk -v c="$index" '{ print $c }' "$work/ours" | median)
  p=$(awk -v c="$index" '{ print $c }' "$work/peer" | median)
  awk -v l="$label" -v o="$o" -v p="$p" 'BEGIN { printf "  %-13s %10s / %-10s = %s\n", l, o, p, (p > 0 ? sprintf("%.2f", o / p) : "n/a") }'
done

[ "$stream_minutes" -gt 0 ] || exit 0
home="$work/home-stream"; mkdir -p "$home/data"
"$tablet" "$home/data/veltrano" 0
read -r pid _ <<<"$(HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_RUNTIME_DIR="$home" \
  "$tool" start "$ours_title" "$ours")"
sleep "$settle"
"$tool" close "$ours_title"
"$tablet" "$home/data/veltrano" $((stream_minutes * 60 + 30)) >"$work/frames" &
tablet_pid=$!
echo "ours, a tablet watching the first display, window closed: minute RSS_MiB (load)"
for minute in $(seq 0 "$stream_minutes"); do
  echo "  $minute $(rss_mib "$pid") ($(cut -d' ' -f1 /proc/loadavg))"
  [ "$minute" -eq "$stream_minutes" ] || sleep 60
done
wait "$tablet_pid" || echo "the tablet saw the stream end early" >&2
echo "  video frames received: $(cat "$work/frames")"
stop
