#!/bin/bash
# Interleaved rounds of the control ping benchmark for two builds: each round runs one client and ten clients with
# BEFORE and then AFTER, on all cores and then pinned to two cores, one line per mode with the one-minute load.
# usage: control_ping_rounds.sh ROUNDS BEFORE AFTER   (paths of two veltrano_bench_control_round_trip builds)
set -euo pipefail
rounds=$1 before=$2 after=$3
for round in $(seq 1 "$rounds"); do
  for cores in all two; do
    for build in before after; do
      binary=$before
      [ "$build" = after ] && binary=$after
      pin=()
      [ "$cores" = two ] && pin=(taskset -c 0,1)
      load=$(cut -d' ' -f1 /proc/loadavg)
      "${pin[@]}" "$binary" --benchmark_filter='Echo/clients:(1/streaming:0|10)' 2>&1 | grep '^BM_' |
        sed -E "s/^BM_ControlPingAgainstPlainEcho\/clients:([0-9]+).*control_p50_us=([0-9.k]+) control_p99_us=([0-9.k]+) echo_p50_us=([0-9.k]+) echo_p99_us=([0-9.k]+).*p50_vs_echo=([0-9.]+).*/round=$round cores=$cores build=$build load=$load clients=\1 control_p50=\2 echo_p50=\4 ratio=\6 control_p99=\3 echo_p99=\5/"
    done
  done
done
