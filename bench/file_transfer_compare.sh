#!/usr/bin/env bash
# File-transfer throughput over loopback, ours beside scp and raw nc, in the same run on the same machine.
#
#   bench/file_transfer_compare.sh [path/to/veltrano_bench_file_transfer]
#
# Makes a random file (SIZE_MIB, default 256) in a temporary folder, then RUNS times (default 3), one after the
# other: our download (host -> client) and upload (client -> host) through the real handshakes, control channel
# and file channel; scp both ways against a private sshd on a free loopback port, over one ssh connection opened
# beforehand (ControlMaster, AES-128-GCM, like our AES-GCM records) so that scp's figure holds no key exchange or
# authentication, as ours holds none; nc both ways, the ceiling. Every copy reads from and writes to files in the
# temporary folder and is compared with the source afterwards. Prints each run and the medians: MB/s (10^6 bytes
# per second, wall time of the whole command or exchange), ours/scp, ours/nc, and the host's CPU seconds per GiB.
# Our upload ends with the host's fsync of the stored file, so uploads are also compared with scp followed by a
# sync of its copy ("scp+sync"). BEFORE=path/to/another/veltrano_bench_file_transfer runs that build too, in
# turn with ours, and prints its figures beside them.
set -euo pipefail

bench=${1:-build/bench/veltrano_bench_file_transfer}
runs=${RUNS:-3}
size_mib=${SIZE_MIB:-256}
window=${WINDOW:-}                     # upload window in bytes; empty: the program's default
step_timeout=${STEP_TIMEOUT:-180}      # seconds for any one copy

for tool in "$bench" /usr/sbin/sshd scp ssh-keygen nc; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done
bench=$(realpath "$bench")
before=${BEFORE:+$(realpath "$BEFORE")}

work=$(mktemp -d /tmp/veltrano-ftcompare-XXXXXX)
sshd_pid=""
master=""
cleanup() {
  if [[ -n "$master" ]]; then ssh -S "$master" -O exit placeholder 2>/dev/null || true; fi
  if [[ -n "$sshd_pid" ]]; then kill "$sshd_pid" 2>/dev/null || true; wait "$sshd_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / 1e6 / s }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f %%", 100 * a / b }'; }
same() { cmp -s "$work/source.bin" "$1" || { echo "copy differs: $1" >&2; exit 1; }; }

# A port nobody listens on, from the dynamic range (nc -z only probes; nothing of ours is listening yet).
free_port() {
  local port
  while :; do
    port=$((40000 + RANDOM % 20000))
    nc -z 127.0.0.1 "$port" 2>/dev/null || { echo "$port"; return; }
  done
}

# Waits until something accepts on 127.0.0.1:$1 (for sshd, which serves many connections).
wait_listening() {
  for _ in $(seq 1 100); do
    nc -z 127.0.0.1 "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2
  exit 1
}

bytes=$((size_mib * 1024 * 1024))
echo "Source: $size_mib MiB from /dev/urandom in $work"
head -c "$bytes" /dev/urandom >"$work/source.bin"

# --- Private sshd on loopback ---
ssh_port=$(free_port)
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/client_key"
cp "$work/client_key.pub" "$work/authorized_keys"
cat >"$work/sshd_config" <<EOF
ListenAddress 127.0.0.1
HostKey $work/host_key
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
StrictModes no
UsePAM no
Subsystem sftp internal-sftp
LogLevel ERROR
EOF
# sshd running as root wants its privilege-separation folder.
if [[ $(id -u) -eq 0 ]]; then mkdir -p /run/sshd; fi
/usr/sbin/sshd -t -f "$work/sshd_config"
/usr/sbin/sshd -D -f "$work/sshd_config" -p "$ssh_port" -E "$work/sshd.log" &
sshd_pid=$!
wait_listening "$ssh_port"
cipher=aes128-gcm@openssh.com
remote="$(id -un)@127.0.0.1"
# The connection every scp runs over: its key exchange and authentication happen here, once, before any timing.
master="$work/master.sock"
ssh -q -p "$ssh_port" -i "$work/client_key" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
    -o BatchMode=yes -o LogLevel=ERROR -c "$cipher" -M -S "$master" -fN "$remote"
ssh_options=(-q -c "$cipher" -o ControlMaster=no -o ControlPath="$master" -o BatchMode=yes -o LogLevel=ERROR)

# --- One copy of each kind; each prints its MB/s ---
ours() {  # ours download|upload [program]
  local out line program=${2:-$bench}
  rm -f "$work/ours.bin"
  if [[ $1 == download ]]; then
    out=$(timeout "$step_timeout" "$program" download --file "$work/source.bin" --out "$work/ours.bin")
  else
    out=$(timeout "$step_timeout" "$program" upload --file "$work/source.bin" --dest "$work/ours.bin" ${window:+--window "$window"})
  fi
  same "$work/ours.bin"
  line=$(grep '^RESULT ' <<<"$out")
  # "MB/s cpu_s_per_gib"
  sed -E 's/.* mbps=([0-9.]+) .* host_cpu_s_per_gib=([0-9.]+).*/\1 \2/' <<<"$line"
}

scp_copy() {  # scp_copy download|upload; prints "MB/s" for a download, "MB/s MB/s-with-sync" for an upload
  local start end synced
  rm -f "$work/scp.bin"
  start=$(now)
  if [[ $1 == download ]]; then
    timeout "$step_timeout" scp "${ssh_options[@]}" "$remote:$work/source.bin" "$work/scp.bin"
  else
    timeout "$step_timeout" scp "${ssh_options[@]}" "$work/source.bin" "$remote:$work/scp.bin"
  fi
  end=$(now)
  if [[ $1 == upload ]]; then
    sync "$work/scp.bin"
    synced=$(now)
  fi
  same "$work/scp.bin"
  mbps "$bytes" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
  if [[ $1 == upload ]]; then
    printf ' %s' "$(mbps "$bytes" "$(awk -v a="$start" -v b="$synced" 'BEGIN { print b - a }')")"
  fi
  echo
}

# nc: the listening side stands for the host. Download: the host side sends; upload: the host side receives.
nc_copy() {  # nc_copy download|upload
  local port listener start end
  port=$(free_port)
  rm -f "$work/nc.bin"
  if [[ $1 == download ]]; then
    timeout "$step_timeout" nc -N -l -p "$port" <"$work/source.bin" &
  else
    timeout "$step_timeout" nc -l -p "$port" >"$work/nc.bin" </dev/null &
  fi
  listener=$!
  sleep 0.3  # the listener is up (probing it with nc -z would take its only connection)
  start=$(now)
  if [[ $1 == download ]]; then
    timeout "$step_timeout" nc 127.0.0.1 "$port" >"$work/nc.bin" </dev/null
  else
    timeout "$step_timeout" nc -N 127.0.0.1 "$port" <"$work/source.bin"
  fi
  wait "$listener"
  end=$(now)
  same "$work/nc.bin"
  mbps "$bytes" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
}

declare -a ours_down ours_up cpu_down cpu_up scp_down scp_up scps_up nc_down nc_up old_down old_up oldcpu_down oldcpu_up
printf '\n%-4s | %-28s | %-37s\n' run "download MB/s: ours scp nc" "upload MB/s: ours scp scp+sync nc"
for run in $(seq 1 "$runs"); do
  for direction in download upload; do
    sync
    result=$(ours "$direction")
    read -r speed cpu <<<"$result"
    if [[ -n "$before" ]]; then
      sync
      read -r old_speed old_cpu <<<"$(ours "$direction" "$before")"
    fi
    sync
    read -r s s_synced <<<"$(scp_copy "$direction")"
    sync
    n=$(nc_copy "$direction")
    if [[ $direction == download ]]; then
      ours_down+=("$speed"); cpu_down+=("$cpu"); scp_down+=("$s"); nc_down+=("$n")
      [[ -z "$before" ]] || { old_down+=("$old_speed"); oldcpu_down+=("$old_cpu"); }
    else
      ours_up+=("$speed"); cpu_up+=("$cpu"); scp_up+=("$s"); scps_up+=("$s_synced"); nc_up+=("$n")
      [[ -z "$before" ]] || { old_up+=("$old_speed"); oldcpu_up+=("$old_cpu"); }
    fi
  done
  printf '%-4s | %8s %8s %8s   | %8s %8s %8s %8s   host CPU s/GiB: down %s, up %s\n' "$run" \
    "${ours_down[-1]}" "${scp_down[-1]}" "${nc_down[-1]}" "${ours_up[-1]}" "${scp_up[-1]}" "${scps_up[-1]}" \
    "${nc_up[-1]}" "${cpu_down[-1]}" "${cpu_up[-1]}"
  if [[ -n "$before" ]]; then
    printf '%-4s | before: down %s MB/s (%s s/GiB), up %s MB/s (%s s/GiB)\n' "$run" \
      "${old_down[-1]}" "${oldcpu_down[-1]}" "${old_up[-1]}" "${oldcpu_up[-1]}"
  fi
done

md_ours_down=$(median "${ours_down[@]}"); md_scp_down=$(median "${scp_down[@]}"); md_nc_down=$(median "${nc_down[@]}")
md_ours_up=$(median "${ours_up[@]}"); md_scp_up=$(median "${scp_up[@]}"); md_nc_up=$(median "${nc_up[@]}")
md_scps_up=$(median "${scps_up[@]}")
md_cpu_down=$(median "${cpu_down[@]}"); md_cpu_up=$(median "${cpu_up[@]}")

echo
echo "Medians of $runs runs, $size_mib MiB, loopback, $(nproc) CPUs usable, scp with $cipher over an open connection, load average $(cut -d' ' -f1-3 /proc/loadavg):"
echo
echo "| direction | ours MB/s | scp MB/s | nc MB/s | ours/scp | ours/nc | host CPU s/GiB | target |"
echo "|---|---|---|---|---|---|---|---|"
verdict() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { print (a >= t * b) ? "met" : "NOT met" }'; }
echo "| download | $md_ours_down | $md_scp_down | $md_nc_down | $(ratio "$md_ours_down" "$md_scp_down") | $(ratio "$md_ours_down" "$md_nc_down") | $md_cpu_down | ≥ 80 % of scp: $(verdict "$md_ours_down" "$md_scp_down" 0.80) |"
echo "| upload | $md_ours_up | $md_scp_up | $md_nc_up | $(ratio "$md_ours_up" "$md_scp_up") | $(ratio "$md_ours_up" "$md_nc_up") | $md_cpu_up | ≥ 80 % of scp: $(verdict "$md_ours_up" "$md_scp_up" 0.80) |"
echo "| upload vs scp+sync | $md_ours_up | $md_scps_up | | $(ratio "$md_ours_up" "$md_scps_up") | | | ≥ 80 % of scp+sync: $(verdict "$md_ours_up" "$md_scps_up" 0.80) |"
if [[ -n "$before" ]]; then
  md_old_down=$(median "${old_down[@]}"); md_old_up=$(median "${old_up[@]}")
  echo "| download, before | $md_old_down | $md_scp_down | $md_nc_down | $(ratio "$md_old_down" "$md_scp_down") | $(ratio "$md_old_down" "$md_nc_down") | $(median "${oldcpu_down[@]}") | |"
  echo "| upload, before | $md_old_up | $md_scp_up | $md_nc_up | $(ratio "$md_old_up" "$md_scp_up") | $(ratio "$md_old_up" "$md_nc_up") | $(median "${oldcpu_up[@]}") | |"
  echo "| upload vs scp+sync, before | $md_old_up | $md_scps_up | | $(ratio "$md_old_up" "$md_scps_up") | | | |"
fi
