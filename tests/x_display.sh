# Sourced by the tests that drive windows on a private Xvfb display (the zenity dialogs, and the
# Windows program under Wine); the caller defines fail. Every wait here is for a state, bounded
# generously: a loaded machine makes a test slower, never wrong.

# wait_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; false when SECONDS
# have passed without that.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# start_display FOLDER: a private X server, its display number chosen by the server itself and
# written to FOLDER/display once it accepts connections; its log goes to FOLDER/xvfb.log. Sets
# DISPLAY and xvfb_pid. -noreset: by default an X server resets when its last client leaves, and
# refuses connections meanwhile, which a window opened between two steps would meet.
start_display() {
  Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$1/display" \
       2>"$1/xvfb.log" &
  xvfb_pid=$!
  wait_until 60 test -s "$1/display" || fail "Xvfb did not start: $(cat "$1/xvfb.log")"
  export DISPLAY=":$(cat "$1/display")"
  unset WAYLAND_DISPLAY
}

# wait_drawn WINDOW PNG [SECONDS]: waits until WINDOW shows a finished picture, and leaves it in
# PNG. Finished: more colours than a window not yet painted (one) or the root's weave behind it
# (two), and the same pixels in two screenshots in a row, since Wine paints a box piece by piece.
# A window that has drawn itself has also run its event loop, so a key sent now isn't lost.
wait_drawn() {
  local deadline=$((SECONDS + ${3:-60})) last="" now
  while [ "$SECONDS" -lt "$deadline" ]; do
    now=""
    if import -window "$1" "$2" 2>/dev/null; then
      now=$(identify -format '%k %#' "$2" 2>/dev/null) || now=""
    fi
    if [ -n "$now" ] && [ "${now%% *}" -gt 2 ] && [ "$now" = "$last" ]; then
      return 0
    fi
    last=$now
    sleep 0.1
  done
  return 1
}

# process_state PID: the one-letter state in /proc/PID/stat (R, S, T, t, Z...), empty once the
# process is gone. The name before it is in parentheses and may hold spaces.
process_state() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  stat=${stat##*) }
  echo "${stat%% *}"
}
