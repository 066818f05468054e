# Sourced by the test rigs (scripts/dev.sh, tests/wayland/rig.sh): how a rig tells its own
# processes and mounts from everyone else's, and takes them all down again.
#
# A rig marks what it starts with LUMACAST_RIG_SESSION=<its folder> in the environment. Whatever
# those programs start in turn inherits the mark, and so does what a session bus of theirs
# activates (the portal frontend has the bus start the document portal and the permission store;
# a tray test's panel has it start xfconfd): none of those is a child the rig could wait for, so
# the mark is how they are found. The rig itself must not export the mark, or the commands of its
# own clean-up would carry it.

# The processes carrying the mark of session $1, this shell and its subshells left out.
rig_session_pids() {
  local env pid
  for env in /proc/[0-9]*/environ; do
    pid="${env#/proc/}"; pid="${pid%/environ}"
    [ "$pid" = "$$" ] && continue
    grep -qzxF "LUMACAST_RIG_SESSION=$1" "$env" 2>/dev/null && echo "$pid"
  done
}

# Stops every process of session $1: asks first, and after $2 tenths of a second (default 30)
# kills what is left. Never fails: a process that is gone already is what we wanted.
rig_stop_session() {
  local session="$1" grace="${2:-30}" pids=() pid _
  mapfile -t pids < <(rig_session_pids "$session")
  [ "${#pids[@]}" -gt 0 ] || return 0
  kill "${pids[@]}" 2>/dev/null || true
  for _ in $(seq "$grace"); do
    mapfile -t pids < <(rig_session_pids "$session")
    [ "${#pids[@]}" -gt 0 ] || return 0
    sleep 0.1
  done
  kill -9 "${pids[@]}" 2>/dev/null || true
  # A killed process is gone from /proc only once its parent has reaped it; the mounts it held
  # are released before that, which is all the unmounting below needs.
  return 0
}

# Unmounts everything mounted below folder $1, the deepest first: FUSE mounts a stopped process
# left (the document portal's), as root or as the user who mounted them. Says what it could not
# unmount and never fails.
rig_unmount_below() {
  local dir m
  dir="$(realpath -m "$1")"
  awk -v d="$dir/" 'index($2, d) == 1 { print $2 }' /proc/self/mounts | sort -r | while read -r m; do
    m="$(printf '%b' "$m")" # /proc/mounts writes a space as \040
    if [ "$(id -u)" -eq 0 ]; then
      umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null
    else
      fusermount3 -u -z "$m" 2>/dev/null || fusermount -u -z "$m" 2>/dev/null
    fi || echo "rig: could not unmount $m" >&2
  done
  return 0
}

# Removes folder $1 once nothing of the rig is mounted below it. A folder that cannot be removed
# is reported, not fatal: the tests have passed or failed by then, and their result stands.
rig_remove_folder() {
  [ -n "$1" ] && [ -e "$1" ] || return 0
  rig_unmount_below "$1"
  rm -rf "$1" 2>/dev/null || echo "rig: could not remove $1" >&2
  return 0
}
