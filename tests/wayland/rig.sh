#!/usr/bin/env bash
# A headless Wayland desktop for one command: a session bus, PipeWire and WirePlumber, sway on the
# pixman renderer with one 1920x1080 output, the wlroots screen-cast portal backend choosing that
# output without asking, the portal frontend, and a private PulseAudio server for the sound. Runs
# CMD inside it and exits with CMD's status.
#
#   tests/wayland/rig.sh CMD...
#
# sway refuses to run as root and dbus-daemon refuses clients without a passwd entry, so as root
# the whole stack and CMD run as the user "lumacast-rig" (created when missing). CMD must then be
# readable by that user; it gets its own HOME and XDG_RUNTIME_DIR.
#
# Where the rig cannot start for a reason outside Lumacast (a package missing, a compositor that
# will not start on this machine), it says exactly why and exits 77, which the test suite counts
# as skipped. With LUMACAST_REQUIRE_WAYLAND_RIG=1 (the CI) the same reasons fail with status 1.
#
# xdg-desktop-portal-wlr as Debian 12 (0.7.0) and Debian 13 (0.7.1) ship it refuses every cast
# without a GPU: its format check demands a DMA-BUF format whenever the portal protocol is version
# 3 or later, where it meant the screencopy protocol. The rig reads the installed version's source
# from Debian's source package and, where the check is there, rebuilds it mended; it keeps the
# outcome under the build folder (wayland-rig/), so only the first run for a version pays for it.
# An archive without the installed version's source (this CI's mirror lacks 0.7.1's) has the
# newest source it serves read and built in its place, which the rig reports.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${LUMACAST_BUILD_DIR:-$here/build}"
rig_user=lumacast-rig

unavailable() {
  echo "wayland rig: cannot start: $*" >&2
  if [ "${LUMACAST_REQUIRE_WAYLAND_RIG:-0}" = 1 ]; then exit 1; fi
  echo "wayland rig: skipped (set LUMACAST_REQUIRE_WAYLAND_RIG=1 to make this a failure)" >&2
  exit 77
}

[ "$#" -gt 0 ] || { echo "usage: tests/wayland/rig.sh CMD..." >&2; exit 2; }

for tool in sway pipewire wireplumber dbus-daemon dbus-send pulseaudio pactl; do
  command -v "$tool" >/dev/null || unavailable "$tool is not installed (scripts/dev.sh wayland-rig installs the rig's packages)"
done
[ -x /usr/libexec/xdg-desktop-portal ] || unavailable "xdg-desktop-portal is not installed"
[ -x /usr/libexec/xdg-desktop-portal-wlr ] || unavailable "xdg-desktop-portal-wlr is not installed"

# --- The portal backend: Debian's own, or rebuilt with the format check mended -----------------
# Reading the source lists and downloading one version of the backend's source into $work
# (apt_opts and work are the caller's).
read_source_lists() {
  (cd "$work" && apt-get "${apt_opts[@]}" update >>"$work/apt.log" 2>&1) ||
    { tail -n 5 "$work/apt.log" >&2; rm -rf "$work"; unavailable "could not read Debian's source lists for xdg-desktop-portal-wlr"; }
}
fetch_backend_source() { # version
  (cd "$work" && apt-get "${apt_opts[@]}" source --download-only "xdg-desktop-portal-wlr=$1" >>"$work/apt.log" 2>&1) && return 0
  rm -f "$work"/xdg-desktop-portal-wlr_*
  return 1
}
list_backend_sources() { # newest first
  apt-cache "${apt_opts[@]}" showsrc xdg-desktop-portal-wlr 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -u -V -r
}

backend_binary() {
  local version; version="$(dpkg-query -W -f='${Version}' xdg-desktop-portal-wlr 2>/dev/null || true)"
  [ -n "$version" ] || { echo /usr/libexec/xdg-desktop-portal-wlr; return; }
  # Whether this version has the fault is read from its source, once per version: the cache holds
  # either the mended binary or a note that Debian's own is fine.
  local cache="$build/wayland-rig/xdpw-$version"
  if [ -x "$cache/xdg-desktop-portal-wlr" ]; then echo "$cache/xdg-desktop-portal-wlr"; return; fi
  if [ -f "$cache/debian-binary-is-fine" ]; then echo /usr/libexec/xdg-desktop-portal-wlr; return; fi
  command -v meson >/dev/null && command -v dpkg-source >/dev/null ||
    unavailable "xdg-desktop-portal-wlr $version must be checked and perhaps rebuilt, and meson or dpkg-dev is missing"
  local work; work="$(mktemp -d)"
  # A deb-src entry of the rig's own: the machine's apt configuration is left as it is.
  local codename; codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
  mkdir -p "$work/apt/lists/partial" "$work/apt/parts"
  echo "deb-src http://deb.debian.org/debian $codename main" >"$work/apt/sources.list"
  local apt_opts=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o "Dir::Etc::SourceParts=$work/apt/parts"
    -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache" -o "Debug::NoDropPrivs=true"
    -o "APT::Sandbox::User=root")
  read_source_lists
  local built="$version"
  if ! fetch_backend_source "$version"; then
    # An archive may lack the installed version's source (a mirror that serves binaries only, or
    # one that has not caught up with the release's newest upload): the newest source any release
    # scripts/dev.sh knows has there stands in, and the fault is read from it.
    printf 'deb-src http://deb.debian.org/debian %s main\n' trixie bookworm | grep -v " $codename " >>"$work/apt/sources.list"
    read_source_lists
    built=""
    local candidate
    for candidate in $(list_backend_sources); do
      if [ "$candidate" != "$version" ] && fetch_backend_source "$candidate"; then built="$candidate"; break; fi
    done
    [ -n "$built" ] || { tail -n 5 "$work/apt.log" >&2; rm -rf "$work"
      unavailable "could not download Debian's source of xdg-desktop-portal-wlr $version, nor of another version"; }
    echo "wayland rig: the archive has no source of xdg-desktop-portal-wlr $version; reading and building $built's" >&2
  fi
  (cd "$work" && dpkg-source -x ./*.dsc src >/dev/null 2>&1) ||
    { rm -rf "$work"; unavailable "could not unpack xdg-desktop-portal-wlr's source"; }
  mkdir -p "$cache"
  if ! grep -q 'screencast_version >= 3' "$work/src/src/screencast/screencast.c"; then
    touch "$cache/debian-binary-is-fine"
    rm -rf "$work"
    echo /usr/libexec/xdg-desktop-portal-wlr
    return
  fi
  echo "wayland rig: rebuilding xdg-desktop-portal-wlr $built with the shared-memory format check" >&2
  patch -d "$work/src" -p1 <"$here/tests/wayland/xdpw-shm-only-format-check.patch" >/dev/null
  (cd "$work/src" && meson setup b -Dsystemd=enabled -Dman-pages=disabled >"$work/build.log" 2>&1 &&
    ninja -C b >>"$work/build.log" 2>&1) ||
    { tail -n 20 "$work/build.log" >&2; rm -rf "$work"; unavailable "xdg-desktop-portal-wlr $built did not build (its build dependencies: scripts/dev.sh wayland-rig)"; }
  cp "$work/src/b/xdg-desktop-portal-wlr" "$cache/"
  rm -rf "$work"
  echo "$cache/xdg-desktop-portal-wlr"
}
backend="$(backend_binary)"

# --- Who runs the stack -------------------------------------------------------------------------
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  if ! getent passwd "$rig_user" >/dev/null; then
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$rig_user" ||
      unavailable "could not create the user $rig_user"
  fi
  as_user=(setpriv --reuid="$(id -u "$rig_user")" --regid="$(id -g "$rig_user")" --clear-groups)
  if [ -e "$1" ] && ! "${as_user[@]}" test -x "$1"; then
    unavailable "the user $rig_user cannot run $1: a folder above it is closed to other users (build in a folder others may read, or run the tests as a normal user)"
  fi
fi

# shellcheck source=../../scripts/rig-session.sh
. "$here/scripts/rig-session.sh"

pids=()
base="$(mktemp -d /tmp/lumacast-wayland.XXXXXX)"
# The clean-up decides nothing: the status is CMD's (or the rig's own failure to start), and a
# process or mount that will not go is reported, never turned into a failed test.
cleanup() {
  local status=$? p i
  set +e
  # Clients first, the bus and the compositor last, as they were started.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    p="${pids[$i]}"
    kill "$p" 2>/dev/null
    for _ in $(seq 30); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$p" 2>/dev/null
  done
  # Then what the session bus started for them (the document portal with its FUSE mount in
  # runtime/doc, the permission store) and whatever CMD left running.
  unset LUMACAST_RIG_SESSION
  rig_stop_session "$base"
  if [ "${LUMACAST_KEEP_WAYLAND_RIG:-0}" = 1 ]; then
    rig_unmount_below "$base"
    echo "wayland rig: kept $base" >&2
  else
    rig_remove_folder "$base"
  fi
  exit "$status"
}
trap cleanup EXIT

mkdir -m 700 "$base/runtime" "$base/home"
mkdir -p "$base/home/.config/sway" "$base/home/.config/xdg-desktop-portal-wlr" "$base/logs"
cat >"$base/home/.config/sway/config" <<'EOF'
output HEADLESS-1 resolution 1920x1080@60Hz position 0 0
default_border none
focus_follows_mouse no
xwayland enable
exec sh -c 'echo "$DISPLAY" >"$XDG_RUNTIME_DIR/xwayland-display"'
EOF
cat >"$base/home/.config/xdg-desktop-portal-wlr/config" <<'EOF'
[screencast]
output_name=HEADLESS-1
max_fps=60
chooser_type=none
EOF
[ "${#as_user[@]}" -eq 0 ] || chown -R "$rig_user:" "$base"
chmod 755 "$base"

export HOME="$base/home" XDG_RUNTIME_DIR="$base/runtime" XDG_CONFIG_HOME="$base/home/.config"
export LUMACAST_RIG_SESSION="$base" # every process of the session carries it (scripts/rig-session.sh)
export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=sway LANG=C.UTF-8
export PULSE_RUNTIME_PATH="$base/runtime/pulse"
unset DISPLAY WAYLAND_DISPLAY SWAYSOCK DBUS_SESSION_BUS_ADDRESS PULSE_SERVER XDG_CACHE_HOME XDG_DATA_HOME

start() { # log-name program args...
  local name="$1"; shift
  "${as_user[@]}" "$@" >"$base/logs/$name.log" 2>&1 &
  pids+=("$!")
}

wait_for() { # seconds what test...
  local seconds="$1" what="$2"; shift 2
  for _ in $(seq $((seconds * 10))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  local log
  for log in "$base"/logs/*.log; do echo "--- $(basename "$log")" >&2; tail -n 15 "$log" >&2; done
  unavailable "$what did not come up within ${seconds}s"
}

has_name() { "${as_user[@]}" dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
  org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q 'boolean true'; }

export DBUS_SESSION_BUS_ADDRESS="unix:path=$base/runtime/bus"
start dbus dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS"
wait_for 5 "the session bus" test -S "$base/runtime/bus"

start pipewire pipewire
pipewire_pid="${pids[-1]}"
wait_for 5 "PipeWire" test -S "$base/runtime/pipewire-0"
start wireplumber wireplumber

export WLR_BACKENDS=headless WLR_HEADLESS_OUTPUTS=1 WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman
start sway sway -c "$base/home/.config/sway/config"
sway_pid="${pids[-1]}"
wait_for 10 "sway" bash -c "ls '$base/runtime' | grep -q '^sway-ipc'"
for s in "$base"/runtime/wayland-*; do case "$s" in *.lock) ;; *) WAYLAND_DISPLAY="$(basename "$s")" ;; esac; done
[ -n "${WAYLAND_DISPLAY:-}" ] || unavailable "sway made no Wayland socket"
SWAYSOCK="$(ls "$base"/runtime/sway-ipc.* | head -n1)"
export WAYLAND_DISPLAY SWAYSOCK
# XWayland's display, for tests of X11 windows in the cast (empty where xwayland is missing).
wait_for 5 "sway's start-up commands" test -f "$base/runtime/xwayland-display"
export LUMACAST_WAYLAND_XDISPLAY="$(cat "$base/runtime/xwayland-display")"
"${as_user[@]}" dbus-update-activation-environment WAYLAND_DISPLAY SWAYSOCK XDG_CURRENT_DESKTOP \
  XDG_SESSION_TYPE XDG_RUNTIME_DIR HOME XDG_CONFIG_HOME

start portal-wlr "$backend" -l INFO -c "$base/home/.config/xdg-desktop-portal-wlr/config"
backend_pid="${pids[-1]}"
wait_for 10 "xdg-desktop-portal-wlr" has_name org.freedesktop.impl.portal.desktop.wlr
if [ -n "${LUMACAST_RIG_PORTALS:-}" ]; then export XDG_DESKTOP_PORTAL_DIR="$LUMACAST_RIG_PORTALS"; fi
start portal /usr/libexec/xdg-desktop-portal -r
frontend_pid="${pids[-1]}"
wait_for 10 "xdg-desktop-portal" has_name org.freedesktop.portal.Desktop

start pulse pulseaudio --daemonize=no -n --exit-idle-time=-1 -L module-native-protocol-unix \
  -L "module-null-sink sink_name=speaker sink_properties=device.description=Speaker" \
  -L "module-null-sink sink_name=micfeed sink_properties=device.description=MicFeed" \
  -L "module-remap-source source_name=mic master=micfeed.monitor source_properties=device.description=VirtualMic"
wait_for 10 "PulseAudio" "${as_user[@]}" pactl info
"${as_user[@]}" pactl set-default-sink speaker >/dev/null 2>&1 || true
"${as_user[@]}" pactl set-default-source mic >/dev/null 2>&1 || true

echo "wayland rig: $WAYLAND_DISPLAY on $base (portal backend $backend)" >&2
# For tests that take parts of the desktop away, or run the portal backend with a chooser.
export LUMACAST_WAYLAND_RIG_LOGS="$base/logs" LUMACAST_WAYLAND_PORTAL_BACKEND="$backend"
export LUMACAST_WAYLAND_PIPEWIRE_PID="$pipewire_pid" LUMACAST_WAYLAND_SWAY_PID="$sway_pid"
export LUMACAST_WAYLAND_BACKEND_PID="$backend_pid" LUMACAST_WAYLAND_FRONTEND_PID="$frontend_pid"
status=0
"${as_user[@]}" "$@" || status=$?
exit "$status"
