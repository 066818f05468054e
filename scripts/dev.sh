#!/usr/bin/env bash
# Lumacast's one entry point for a fresh Debian 12 (bookworm) or Debian 13 (trixie) machine.
#   scripts/dev.sh run    install what is missing, build, launch the application
#   scripts/dev.sh test   install what is missing, build, run the whole test suite
#   scripts/dev.sh rig CMD   run CMD (for example one test program) inside the test rig, nothing else
#   scripts/dev.sh wayland-rig CMD   run CMD inside a headless Wayland desktop (tests/wayland/rig.sh)
# Works as root and as a normal user (apt-get goes through sudo then).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${LUMACAST_BUILD_DIR:-$here/build}"
jobs="${LUMACAST_JOBS:-$(nproc 2>/dev/null || echo 2)}"

# One list for every release; the few names a release spells its own way come from
# release_packages.
packages=(
  cmake ninja-build g++ pkg-config clang
  qt6-base-dev qt6-multimedia-dev qcoro-qt6-dev
  libavformat-dev libavcodec-dev libswscale-dev libswresample-dev libavutil-dev libyuv-dev ffmpeg
  libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-xfixes0-dev libxcb-composite0-dev
  libxcb-damage0-dev libxcb-keysyms1-dev libxcb-ewmh-dev libxcb-xtest0-dev libxcb-xkb-dev libxcb-icccm4-dev
  libxkbcommon-dev libxkbcommon-x11-dev libpulse-dev libpipewire-0.3-dev libwayland-dev
  pulseaudio xvfb xdotool x11-utils x11-xserver-utils x11-xkb-utils openbox trayer libxml2-utils fonts-dejavu-core
  xserver-xorg-core xserver-xorg-video-dummy
  libgtest-dev libgmock-dev
  dbus-daemon at-spi2-core xfce4-panel
  picom xdg-utils file libglib2.0-bin desktop-file-utils
  btrfs-progs e2fsprogs
  gstreamer1.0-tools gstreamer1.0-plugins-good gstreamer1.0-libav mpv vlc-bin vlc-plugin-base
  qt6-qpa-plugins qt6-image-formats-plugins libqt6multimedia6 qt6-multimedia-dev
)

known_releases="Debian 12 (bookworm) and Debian 13 (trixie)"

# Adds the names that differ between releases, read from /etc/os-release; stops on a system it
# does not know rather than guessing at package names there.
release_packages() {
  local id="" version="" codename="" pretty=""
  if [ -r /etc/os-release ]; then
    # shellcheck disable=SC1091
    id="$(. /etc/os-release && echo "${ID:-}")"
    version="$(. /etc/os-release && echo "${VERSION_ID:-}")"
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    pretty="$(. /etc/os-release && echo "${PRETTY_NAME:-}")"
  fi
  case "$id:${version:-$codename}" in
    debian:12 | debian:bookworm)
      packages+=(libclang-rt-14-dev) ;;
    debian:13 | debian:trixie)
      packages+=(libclang-rt-dev)
      # systemd.pc, which the portal backend's rebuild asks for, left the systemd package.
      wayland_rig_packages+=(systemd-dev) ;;
    *)
      echo "scripts/dev.sh knows the package names of $known_releases only;" \
        "this system is ${pretty:-unknown (no /etc/os-release)}." >&2
      echo "Install the equivalents of the list in scripts/dev.sh yourself, then build with" \
        "cmake (README, \"For developers\")." >&2
      exit 1 ;;
  esac
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null; then sudo "$@"
  else
    echo "Installing packages needs root: run this once as root, or install sudo and give $(id -un) sudo rights." >&2
    exit 1
  fi
}

install_missing() {
  release_packages
  if [ "$with_wayland_rig" = 1 ]; then packages+=("${wayland_rig_packages[@]}"); fi
  local missing=()
  for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
    # PulseAudio is here only for the test rig's private server, but its package enables itself as
    # every user's sound server at login, where it fights PipeWire (GNOME's on Debian 12) for the
    # sound socket. A desktop that has PipeWire keeps it.
    if [[ " ${missing[*]} " == *" pulseaudio "* ]] && command -v systemctl >/dev/null &&
      dpkg-query -W -f='${Status}' pipewire-pulse 2>/dev/null | grep -q "install ok installed"; then
      as_root systemctl --global disable pulseaudio.service pulseaudio.socket
    fi
  fi
}

build_all() { # [--target T...]
  cmake -S "$here" -B "$build" -G Ninja
  cmake --build "$build" -j "$jobs" "$@"
}

# --- The test rig: its own Xvfb and PulseAudio server, started for the run, stopped after it ---
rig_pids=()
rig_modules=()
rig_dirs=()

# shellcheck source=rig-session.sh
. "$here/scripts/rig-session.sh"

# Decides nothing: the test command's status stands, and a process or folder that will not go is
# reported, never turned into a failure.
stop_rig() {
  local status=$? m p d session="${LUMACAST_RIG_SESSION:-}"
  set +e
  # Unexported first, so that the clean-up's own commands do not look like the rig's.
  unset LUMACAST_RIG_SESSION
  for m in "${rig_modules[@]:-}"; do [ -n "$m" ] && pactl unload-module "$m" >/dev/null 2>&1; done
  for p in "${rig_pids[@]:-}"; do
    if [ -n "$p" ] && kill -0 "$p" 2>/dev/null; then
      kill "$p" 2>/dev/null
      for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$p" 2>/dev/null
    fi
  done
  # What the tests' own session buses activated (xfconfd, the accessibility bus) and anything a
  # test left running.
  [ -z "$session" ] || rig_stop_session "$session"
  for d in "${rig_dirs[@]:-}"; do rig_remove_folder "$d"; done
  exit "$status"
}

# The tests press global hot keys, click, take screenshots, play sound, and write settings, logs
# and a single-instance socket: none of it may reach the desktop, sound server, session bus,
# running Lumacast or home folder of whoever runs them. So the rig never joins a running desktop.
private_session() {
  unset DISPLAY WAYLAND_DISPLAY XDG_SESSION_TYPE PULSE_SERVER DBUS_SESSION_BUS_ADDRESS XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_HOME
  local dir; dir="$(mktemp -d)"; chmod 700 "$dir"
  rig_dirs+=("$dir")
  mkdir -m 700 "$dir/home" "$dir/runtime"
  export HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime"
  # No session bus at all, not even one libdbus starts by itself: where dbus-x11 is installed, a
  # program with DISPLAY set and no bus address autolaunches a bus on the X display, and every
  # PulseAudio of the rig and its tests then joins it, where only the first may hold
  # org.PulseAudio1 and the others exit. A test that needs a bus starts its own.
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/runtime/no-session-bus"
  # Every process of the rig carries it, so that stop_rig finds them all (scripts/rig-session.sh).
  export LUMACAST_RIG_SESSION="$dir"
}

start_xvfb() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    echo "rig: using the running X server $DISPLAY"
    return
  fi
  local f; f="$(mktemp)"
  rig_dirs+=("$f")
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$f" >/dev/null 2>&1 &
  rig_pids+=("$!")
  for _ in $(seq 100); do [ -s "$f" ] && break; sleep 0.1; done
  [ -s "$f" ] || { echo "rig: Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$(head -n1 "$f")"
  for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  echo "rig: started Xvfb on $DISPLAY"
}

pulse_load_if_missing() { # kind name args...
  local kind="$1" name="$2"; shift 2
  if ! pactl list short "$kind" 2>/dev/null | awk '{print $2}' | grep -qx "$name"; then
    local id; id="$(pactl load-module "$@")"
    rig_modules=("$id" "${rig_modules[@]}")
  fi
}

start_pulse() {
  if pactl info >/dev/null 2>&1; then
    echo "rig: using the running PulseAudio server"
  else
    local dir; dir="$(mktemp -d)"; chmod 700 "$dir"
    rig_dirs+=("$dir")
    export XDG_RUNTIME_DIR="$dir"
    export PULSE_RUNTIME_PATH="$dir/pulse"
    unset PULSE_SERVER
    pulseaudio --daemonize=yes -n --exit-idle-time=-1 --log-target=file:"$dir/pulse.log" \
      -L module-native-protocol-unix >/dev/null 2>&1
    for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    pactl info >/dev/null 2>&1 || { echo "rig: PulseAudio did not start" >&2; cat "$dir/pulse.log" >&2 || true; exit 1; }
    rig_pids+=("$(cat "$dir/pulse/pid")")
    echo "rig: started a private PulseAudio server in $dir"
  fi
  pulse_load_if_missing sinks speaker module-null-sink sink_name=speaker sink_properties=device.description=Speaker
  pulse_load_if_missing sinks micfeed module-null-sink sink_name=micfeed sink_properties=device.description=MicFeed
  pulse_load_if_missing sources mic module-remap-source source_name=mic master=micfeed.monitor source_properties=device.description=VirtualMic
  pactl set-default-sink speaker >/dev/null 2>&1 || true
}

run_fuzzers() {
  # What takes files from disk (the document decoder, the movie reader, the take journal and the
  # recovery that finishes a movie from it): a short libFuzzer run
  # on every test pass. A target's seeds are tests/fuzz/corpus-<name>/ (fuzz_<name>), else
  # tests/fuzz/corpus/.
  if [ -f "$here/tests/fuzz/CMakeLists.txt" ]; then
    cmake -S "$here" -B "$build-fuzz" -G Ninja -DLUMACAST_FUZZ=ON \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
    cmake --build "$build-fuzz" -j "$jobs" >/dev/null
    local target
    for target in "$build-fuzz"/tests/fuzz/fuzz_*; do
      [ -f "$target" ] && [ -x "$target" ] || continue
      local name; name="$(basename "$target")"
      local corpus="$build-fuzz/corpus-$name"
      local seeds="$here/tests/fuzz/corpus-${name#fuzz_}"
      [ -d "$seeds" ] || seeds="$here/tests/fuzz/corpus"
      mkdir -p "$corpus"
      cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
      echo "fuzz: $name"
      "$target" -max_total_time="${LUMACAST_FUZZ_SECONDS:-10}" -rss_limit_mb=2048 "$corpus" 2>"$build-fuzz/$name.log" \
        || { tail -n 40 "$build-fuzz/$name.log" >&2; echo "fuzz: $name found a fault" >&2; return 1; }
    done
  fi
}

# The test programs of the layers that read and write files, built with AddressSanitizer and
# UndefinedBehaviorSanitizer and run in the rig: any finding fails the test command. The hand-over
# tests drive the program of their build, so here a sanitized one, whose findings fail them too.
# The rest of the suite runs only in the normal build, to keep the test command within CI's time.
# LeakSanitizer passes over what tests/lsan/suppressions.txt lists: memory Qt keeps for good.
sanitized_tests=(lumacast_model_tests lumacast_store_tests lumacast_platform_av_tests lumacast_media_tests
                 lumacast_handover_tests lumacast_x11_tests)

run_sanitized() {
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
  cmake -S "$here" -B "$build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
  cmake --build "$build-asan" -j "$jobs" --target "${sanitized_tests[@]}" lumacast-media >/dev/null
  local program status=0
  for program in "${sanitized_tests[@]}"; do
    local path; path="$(find "$build-asan/tests" -name "$program" -type f -perm -u+x | head -n1)"
    echo "sanitizers: $program"
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1" \
    LSAN_OPTIONS="suppressions=$here/tests/lsan/suppressions.txt:print_suppressions=0" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
      "$path" >"$build-asan/$program.log" 2>&1 \
      || { tail -n 60 "$build-asan/$program.log" >&2; echo "sanitizers: $program failed" >&2; status=1; }
  done
  return "$status"
}

# The most threaded headless test programs (the thread bridge, the encoder, decoder and join
# threads of platform/av, the state manager's background work), built with ThreadSanitizer: any
# report fails the test command. The suppressions cover only reports wholly inside the
# uninstrumented libraries; the test programs of this build start QProcess's children as plain
# forks, which TSan follows (README, "ThreadSanitizer"). About half a minute with a warm compiler
# cache.
tsan_tests=(lumacast_threads_tests lumacast_platform_av_tests lumacast_control_tests)

run_thread_sanitizer() {
  local flag="-fsanitize=thread"
  cmake -S "$here" -B "$build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flag" -DCMAKE_C_FLAGS="$flag" \
    -DCMAKE_EXE_LINKER_FLAGS="$flag" -DCMAKE_SHARED_LINKER_FLAGS="$flag" >/dev/null
  cmake --build "$build-tsan" -j "$jobs" \
    --target "${tsan_tests[@]}" lumacast-media >/dev/null
  local program status=0
  for program in "${tsan_tests[@]}"; do
    local path; path="$(find "$build-tsan/tests" -name "$program" -type f -perm -u+x | head -n1)"
    echo "thread sanitizer: $program"
    TSAN_OPTIONS="suppressions=$here/tests/tsan/suppressions.txt die_after_fork=0" \
      "$path" >"$build-tsan/$program.log" 2>&1 \
      || { tail -n 60 "$build-tsan/$program.log" >&2; echo "thread sanitizer: $program failed" >&2; status=1; }
  done
  return "$status"
}

# --- The Wayland rig (tests/wayland/rig.sh): a headless sway, PipeWire and the desktop portal ---
# Its packages are installed only for the Wayland tests; the rig rebuilds the portal backend of
# Debian 12 and 13 from source (hence meson and its build dependencies).
wayland_rig_packages=(
  sway xwayland pipewire pipewire-bin wireplumber xdg-desktop-portal xdg-desktop-portal-wlr qt6-wayland
  gstreamer1.0-pipewire gstreamer1.0-plugins-ugly dpkg-dev
  meson libinih-dev libwayland-dev wayland-protocols libgbm-dev libdrm-dev libsystemd-dev
)

# The CI (LUMACAST_REQUIRE_WAYLAND_RIG=1) runs the Wayland tests too, so the test command
# installs the rig's packages there.
with_wayland_rig="${LUMACAST_REQUIRE_WAYLAND_RIG:-0}"

wayland_rig() { # CMD...
  with_wayland_rig=1
  install_missing
  LUMACAST_BUILD_DIR="$build" exec "$here/tests/wayland/rig.sh" "$@"
}

# Without this, a user over ssh or on a console meets Qt's abort about the xcb platform plugin
# and libxcb-cursor0, which is installed: the real cause is that there is no screen to show on.
require_display() {
  case "${QT_QPA_PLATFORM:-}" in
    "" | xcb* | wayland*) ;;
    *) return 0 ;; # offscreen, vnc...: the user chose a platform without a screen
  esac
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "Built $build/src/app/lumacast, but there is no display to show it on (DISPLAY is not set)." >&2
    echo "Run this from a terminal in your desktop session, or over ssh with X forwarding (ssh -X)." >&2
    exit 1
  fi
  if [ -n "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && ! xdpyinfo >/dev/null 2>&1; then
    echo "Built $build/src/app/lumacast, but the display $DISPLAY cannot be opened." >&2
    echo "Run this from a terminal in your desktop session, or over ssh with X forwarding (ssh -X)." >&2
    exit 1
  fi
}

cmd="${1:-}"
case "$cmd" in
  run)
    install_missing
    build_all --target lumacast # not the test programs: the launch should not wait for them
    require_display
    exec "$build/src/app/lumacast" "${@:2}"
    ;;
  test)
    install_missing
    build_all
    trap stop_rig EXIT
    private_session
    start_xvfb
    start_pulse
    export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-xcb}"
    export QT_MEDIA_BACKEND=ffmpeg
    status=0
    run_fuzzers || status=1
    run_sanitized || status=1
    run_thread_sanitizer || status=1
    # Last, so that the output ends with ctest's summary.
    (cd "$build" && ctest --output-on-failure -j "${LUMACAST_TEST_JOBS:-4}" "${@:2}") || status=$?
    exit "$status"
    ;;
  rig)
    trap stop_rig EXIT
    private_session
    start_xvfb
    start_pulse
    export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-xcb}"
    export QT_MEDIA_BACKEND=ffmpeg
    status=0
    "${@:2}" || status=$?
    exit "$status"
    ;;
  wayland-rig)
    wayland_rig "${@:2}"
    ;;
  *)
    echo "usage: scripts/dev.sh run|test|rig CMD...|wayland-rig CMD..." >&2
    exit 2
    ;;
esac
