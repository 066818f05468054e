#!/usr/bin/env bash
# Each rig the test command starts leaves nothing behind and keeps its command's status: not the
# services a session bus started on its own, not their mounts, not the rig's folder. The Wayland
# rig's portal frontend has the bus start the document portal, whose FUSE mount in runtime/doc
# once outlived the rig and made its clean-up fail tests that had passed.
#
#   tests/rig/rig-cleanup-test.sh     (exit 77: the Wayland rig cannot start here)
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Inside the rig: leave a process running, have the bus start the document portal where there is
# one, say where the rig lives, and exit with a status of our choosing.
inner='sleep 600 & disown
if gdbus call --session --dest org.freedesktop.portal.Documents \
    --object-path /org/freedesktop/portal/documents \
    --method org.freedesktop.portal.Documents.GetMountPoint >/dev/null 2>&1; then
  for _ in $(seq 50); do grep -q " $XDG_RUNTIME_DIR/doc " /proc/mounts && break; sleep 0.1; done
  grep -q " $XDG_RUNTIME_DIR/doc " /proc/mounts && echo "mounted"
fi
echo "session $LUMACAST_RIG_SESSION"
exit 3'

check_rig() { # name command...
  local name="$1"; shift
  local out status session
  out="$(mktemp)"
  "$@" bash -c "$inner" >"$out" 2>"$out.err"
  status=$?
  if [ "$status" -eq 77 ]; then
    echo "$name: skipped: $(tail -n 1 "$out.err")"
    rm -f "$out" "$out.err"
    return 77
  fi
  session="$(awk '/^session / { print $2 }' "$out")"
  [ "$status" -eq 3 ] || fail "$name: exit status $status, not the command's 3 ($(tail -n 3 "$out.err"))"
  if [ -z "$session" ]; then
    fail "$name: the command inside did not run"
  else
    # Where /dev/fuse is closed to the rig's user (as root the rig runs as its own user), the
    # document portal mounts nothing and only its processes are checked.
    grep -qx mounted "$out" && echo "$name: the document portal mounted $session/runtime/doc"
    ! awk -v d="$session/" 'index($2, d) == 1' /proc/mounts | grep -q . ||
      fail "$name: mounts left below $session: $(awk -v d="$session/" 'index($2, d) == 1 { print $2 }' /proc/mounts)"
    [ ! -e "$session" ] || fail "$name: its folder $session is left"
    local env left=""
    for env in /proc/[0-9]*/environ; do
      grep -qzxF "LUMACAST_RIG_SESSION=$session" "$env" 2>/dev/null && left+=" ${env//[!0-9]/}"
    done
    [ -z "$left" ] || fail "$name: processes left:$left"
  fi
  grep -i "could not" "$out.err" >&2 && fail "$name: its clean-up complained"
  rm -f "$out" "$out.err"
  echo "$name: checked"
  return 0
}

check_rig x11 "$here/scripts/dev.sh" rig
check_rig wayland "$here/tests/wayland/rig.sh"
wayland=$?

echo "$failures failed"
[ "$failures" -eq 0 ] || exit 1
[ "$wayland" -ne 77 ] || exit 77
exit 0
