# Sourced by the scripts that need root. as_root runs a command as root: directly when we are root (a fresh
# Debian machine may have no sudo at all), through sudo otherwise; without sudo it stops the script and says so.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    printf '%s: needs root for "%s", and sudo is not installed: run it as root\n' "$(basename "$0")" "$*" >&2
    exit 1
  fi
}
