# Starting and stopping the services the host talks to (Xvfb split into two RandR monitors, a D-Bus bus of
# system type and one of session type, PulseAudio with a null sink), each recorded by PID in a state folder.
# Sourced by test-env and run.
# The sourcing script sets $state (the state folder) and defines say, complain and export_var NAME VALUE.

readonly screen_geometry=1920x1080x24
readonly required_x_extensions=(RANDR MIT-SHM DAMAGE XFIXES XTEST)

# ---------------------------------------------------------------------------------------------
# Processes: each service runs in a session of its own; its pid file holds "pid starttime" so a
# recycled pid is never mistaken for ours.

proc_starttime() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  # shellcheck disable=SC2086
  set -- $stat
  [ "$1" != "Z" ] || return 1
  echo "${20}"
}

# pid_alive PIDFILE: true when the recorded process still runs.
pid_alive() {
  local pid start now
  [ -s "$1" ] || return 1
  read -r pid start <"$1" || return 1
  now=$(proc_starttime "$pid") || return 1
  [ "$now" = "$start" ]
}

recorded_pid() { local pid _; read -r pid _ <"$1" && echo "$pid"; }

# launch NAME COMMAND...: runs COMMAND in the background, logs to STATE/NAME.log, records its pid.
launch() {
  local name=$1; shift
  local tmp="$state/$name.pid.new" pid start
  rm -f "$tmp"
  setsid sh -c 'echo "$$" >"$0"; exec "$@"' "$tmp" "$@" </dev/null >>"$state/$name.log" 2>&1 &
  for _ in $(seq 100); do
    [ -s "$tmp" ] && break
    sleep 0.02
  done
  [ -s "$tmp" ] || return 1
  pid=$(cat "$tmp")
  rm -f "$tmp"
  start=$(proc_starttime "$pid") || return 1
  echo "$pid $start" >"$state/$name.pid"
}

# group_alive PGID: true while a process of the group still runs. Its id is not reused while one does.
group_alive() {
  local pgid=$1 f stat
  for f in /proc/[0-9]*/stat; do
    read -r stat 2>/dev/null <"$f" || continue
    stat=${stat##*) }
    # shellcheck disable=SC2086
    set -- $stat
    [ "$1" != "Z" ] && [ "$3" = "$pgid" ] && return 0
  done
  return 1
}

# still_running PIDFILE [group]: the recorded process, or with "group" any process of its group, still runs.
still_running() {
  pid_alive "$1" || { [ "${2:-}" = group ] && group_alive "$(recorded_pid "$1")"; }
}

# stop_recorded NAME [group]: TERM, then KILL, the process recorded for NAME; with "group", its whole process
# group (launch makes it one of its own), so that what it started goes with it.
stop_recorded() {
  local file="$state/$1.pid" group=${2:-} target
  [ -f "$file" ] || return 0
  if pid_alive "$file"; then
    target=$(recorded_pid "$file")
    [ "$group" != group ] || target=-$target
    kill -TERM -- "$target" 2>/dev/null
    for _ in $(seq 50); do
      still_running "$file" "$group" || break
      sleep 0.1
    done
    if still_running "$file" "$group"; then
      kill -KILL -- "$target" 2>/dev/null
      for _ in $(seq 20); do
        still_running "$file" "$group" || break
        sleep 0.1
      done
    fi
  fi
  rm -f "$file"
}

# wait_ready NAME SECONDS CHECK...: polls CHECK until it succeeds; gives up early when NAME died.
wait_ready() {
  local name=$1 seconds=$2; shift 2
  for _ in $(seq $((seconds * 10))); do
    "$@" >/dev/null 2>&1 && return 0
    pid_alive "$state/$name.pid" || return 1
    sleep 0.1
  done
  "$@" >/dev/null 2>&1
}

log_tail() { [ -f "$state/$1.log" ] && tail -n 5 "$state/$1.log" | sed 's/^/    /' >&2; }

# ---------------------------------------------------------------------------------------------
# Xvfb

display_free() { [ ! -e "/tmp/.X11-unix/X$1" ] && [ ! -e "/tmp/.X$1-lock" ]; }

lock_holder() { tr -d ' \n' <"/tmp/.X$1-lock" 2>/dev/null; }

# Our server answers on :N only when the lock is its own: another run may have won the display.
our_display_answers() {
  [ "$(lock_holder "$1")" = "$(recorded_pid "$state/xvfb.pid")" ] && xdpyinfo -display ":$1"
}

x_extensions_present() {
  local have ext
  have=$(xdpyinfo -display ":$1" -queryExtensions 2>/dev/null) || return 1
  for ext in "${required_x_extensions[@]}"; do
    grep -qE "^[[:space:]]+${ext}[[:space:]]" <<<"$have" || { complain "Xvfb lacks the $ext extension"; return 1; }
  done
}

split_monitors() {
  local d=":$1" listed
  xrandr -display "$d" --output screen --primary &&
    xrandr -display "$d" --setmonitor '*VL-LEFT' 960/254x1080/286+0+0 screen &&
    xrandr -display "$d" --setmonitor VL-RIGHT 960/254x1080/286+960+0 none || return 1
  listed=$(xrandr -display "$d" --listmonitors | awk 'NR > 1 { print $2, $3 }' | tr '\n' ';')
  [ "$listed" = "*VL-LEFT 960/254x1080/286+0+0;VL-RIGHT 960/254x1080/286+960+0;" ] || {
    complain "Xvfb monitors are '$listed'"
    return 1
  }
} >/dev/null

start_xvfb() {
  local n tries=0
  for n in $(seq 90 189); do
    display_free "$n" || continue
    tries=$((tries + 1))
    [ "$tries" -le 5 ] || break
    launch xvfb Xvfb ":$n" -noreset -nolisten tcp -screen 0 "$screen_geometry" || continue
    if wait_ready xvfb 10 our_display_answers "$n"; then
      echo "$n" >"$state/xvfb.display"
      break
    fi
    # Another server may have taken the display between our look and its lock: try the next.
    stop_recorded xvfb
  done
  if [ ! -f "$state/xvfb.display" ]; then
    complain "Xvfb did not start"; log_tail xvfb
    return 1
  fi
  n=$(cat "$state/xvfb.display")
  if ! x_extensions_present "$n" || ! split_monitors "$n" >/dev/null; then
    complain "Xvfb on :$n could not be prepared"
    stop_xvfb
    return 1
  fi
  export_var DISPLAY ":$n"
  say "Xvfb running on :$n ($screen_geometry, monitors VL-LEFT primary + VL-RIGHT), pid $(recorded_pid "$state/xvfb.pid")"
}

stop_xvfb() {
  local n
  n=$(cat "$state/xvfb.display" 2>/dev/null)
  stop_recorded xvfb
  # A killed server leaves its lock and socket behind; remove them only if they are ours.
  if [ -n "$n" ] && [ -f "/tmp/.X$n-lock" ] && ! kill -0 "$(lock_holder "$n")" 2>/dev/null; then
    rm -f "/tmp/.X$n-lock" "/tmp/.X11-unix/X$n"
  fi
  rm -f "$state/xvfb.display"
}

# ---------------------------------------------------------------------------------------------
# A system tray host on the Xvfb screen, so the tray icon of the host program has somewhere to live. It sits
# in the bottom right corner, as small as its icons, and reserves no screen space.

tray_window_present() { xwininfo -display "$1" -root -tree 2>/dev/null | grep -q '"panel"'; }

start_tray() {
  local display
  display=$(cat "$state/xvfb.display" 2>/dev/null) || { complain "tray: not started, it needs Xvfb"; return 1; }
  if ! launch tray env DISPLAY=":$display" trayer --edge bottom --align right --widthtype request --height 24 \
    --SetDockType false --SetPartialStrut false --expand true ||
    ! wait_ready tray 10 tray_window_present ":$display"; then
    complain "the tray host did not start"; log_tail tray
    stop_recorded tray
    return 1
  fi
  export_var VELTRANO_TEST_TRAY 1
  say "tray host (trayer) running on :$display, pid $(recorded_pid "$state/tray.pid")"
}

stop_tray() { stop_recorded tray; }

# ---------------------------------------------------------------------------------------------
# D-Bus: a bus of system type on a socket of our own. It reads the same policy folders as the
# machine's system bus, so avahi-daemon may own org.freedesktop.Avahi on it.

write_dbus_config() {
  cat >"$state/dbus-system.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <auth>EXTERNAL</auth>
  <listen>unix:path=$state/system_bus_socket</listen>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus" send_member="UpdateActivationEnvironment"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
  <includedir>/etc/dbus-1/system.d</includedir>
</busconfig>
EOF
}

dbus_address() { echo "unix:path=$state/system_bus_socket"; }

bus_answers() {
  DBUS_SYSTEM_BUS_ADDRESS=$(dbus_address) dbus-send --system --print-reply \
    --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId
}

start_dbus() {
  if [ ! -s /etc/machine-id ] && [ ! -s /var/lib/dbus/machine-id ]; then
    dbus-uuidgen --ensure || { complain "D-Bus: no machine id and dbus-uuidgen failed"; return 1; }
  fi
  write_dbus_config
  if ! launch dbus dbus-daemon --config-file="$state/dbus-system.conf" --nofork --nopidfile ||
    ! wait_ready dbus 10 bus_answers; then
    complain "D-Bus system bus did not start"; log_tail dbus
    stop_dbus
    return 1
  fi
  export_var DBUS_SYSTEM_BUS_ADDRESS "$(dbus_address)"
  say "D-Bus system bus running at $(dbus_address), pid $(recorded_pid "$state/dbus.pid")"
}

stop_dbus() {
  stop_recorded dbus
  rm -f "$state/system_bus_socket"
}

# ---------------------------------------------------------------------------------------------
# D-Bus: a session bus on a socket of our own. Without one, GLib (GSettings) and Qt (tray, accessibility) have
# dbus-launch autolaunch a bus tied to the X server, which ends only some seconds after it.

write_session_bus_config() {
  cat >"$state/dbus-session.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <auth>EXTERNAL</auth>
  <listen>unix:path=$state/session_bus_socket</listen>
  $1
  <policy context="default">
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
}

session_bus_address() { echo "unix:path=$state/session_bus_socket"; }

session_bus_answers() {
  dbus-send --bus="$(session_bus_address)" --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId
}

# start_session_bus [activating]: with "activating", the desktop's services (dconf, which GSettings writes
# through) are started on demand, as on a desktop's bus. They run in the bus's process group and stop with it.
start_session_bus() {
  local activation=""
  [ "${1:-}" != activating ] || activation="<standard_session_servicedirs/>"
  write_session_bus_config "$activation"
  if ! launch session-bus dbus-daemon --config-file="$state/dbus-session.conf" --nofork --nopidfile ||
    ! wait_ready session-bus 10 session_bus_answers; then
    complain "D-Bus session bus did not start"; log_tail session-bus
    stop_session_bus
    return 1
  fi
  export_var DBUS_SESSION_BUS_ADDRESS "$(session_bus_address)"
  say "D-Bus session bus running at $(session_bus_address), pid $(recorded_pid "$state/session-bus.pid")"
}

stop_session_bus() {
  stop_recorded session-bus group
  rm -f "$state/session_bus_socket"
}

# ---------------------------------------------------------------------------------------------
# PulseAudio: a per-user daemon run as root, with all its folders in our state folder.

pulse_socket() { echo "$state/pulse.sock"; }

pulse_answers() { PULSE_SERVER="unix:$(pulse_socket)" pactl info; }

start_pulse() {
  mkdir -p "$state/pulse-home" "$state/pulse-runtime" "$state/pulse-state"
  cat >"$state/pulse.pa" <<EOF
load-module module-native-protocol-unix socket=$(pulse_socket) auth-anonymous=1
load-module module-null-sink sink_name=veltrano_null
load-module module-always-sink
set-default-sink veltrano_null
EOF
  # No DISPLAY and an unreachable session bus: libdbus would otherwise autolaunch a stray bus.
  # The socket is made by systemd-socket-activate, which becomes the daemon at the first connection and hands
  # it over: the daemon's own socket has a backlog of 5, so a burst of clients connecting while it is busy
  # would be refused.
  # No shared memory: a daemon that passes a client's memfd blocks on to a recording client aborts
  # (memblock_replace_import) when that client leaves while they are still held; copied blocks never do.
  rm -f "$(pulse_socket)"
  if ! launch pulse systemd-socket-activate -l "$(pulse_socket)" \
    env -u DISPLAY HOME="$state/pulse-home" XDG_RUNTIME_DIR="$state/pulse-runtime" \
    PULSE_RUNTIME_PATH="$state/pulse-runtime" PULSE_STATE_PATH="$state/pulse-state" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$state/no-session-bus" \
    pulseaudio --daemonize=no --system=no --exit-idle-time=-1 -n -F "$state/pulse.pa" \
    --use-pid-file=no --realtime=no --high-priority=no --disable-shm=yes --log-target=stderr ||
    ! wait_ready pulse 15 pulse_answers; then
    complain "PulseAudio did not start"; log_tail pulse
    stop_pulse
    return 1
  fi
  if ! pulse_answers 2>/dev/null | grep -q '^Default Sink: veltrano_null$'; then
    complain "PulseAudio: the null sink is not the default sink"
    stop_pulse
    return 1
  fi
  export_var PULSE_SERVER "unix:$(pulse_socket)"
  say "PulseAudio running at unix:$(pulse_socket), default sink veltrano_null, pid $(recorded_pid "$state/pulse.pid")"
}

stop_pulse() {
  stop_recorded pulse
  rm -f "$(pulse_socket)"
}

