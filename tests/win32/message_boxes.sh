# Sourced by the Wine tests that answer zem-builder.exe's message boxes on a virtual display
# (tests/x_display.sh first). The caller defines fail, sets pattern (the boxes' caption as a
# regular expression) and work (a folder for screenshots), and starts the program in the
# background with its process id in app_pid and box emptied (a new X client may get the window
# id of a box of the previous run).

box=
# other_box: true once a message box of the program other than the last one answered is shown
# (setting $box), or once the program has ended ($box then stays as it was).
other_box() {
  local id
  for id in $(xdotool search --onlyvisible --name "$pattern" 2>/dev/null); do
    if [ "$id" != "$box" ]; then
      box=$id
      return 0
    fi
  done
  program_ended
}

next_box() {
  local last=$box
  wait_until 180 other_box || fail "no message box within three minutes"
  if [ "$box" = "$last" ]; then
    # Its exit code and the screen say whether it failed before its first box or crashed.
    local code=0
    wait "$app_pid" || code=$?
    app_pid=
    import -window root "$work/ended.png" 2>/dev/null || true
    fail "the program ended (exit code $code) without showing a box"
  fi
}

program_ended() {
  ! kill -0 "$app_pid" 2>/dev/null
}

# The key goes to the box once it has painted itself and has the focus. Should it still be lost,
# it is pressed again, but only after a long wait: a second key that arrived as the box closed
# would answer the next one.
answer() {  # key: Return (OK) or Escape (Cancel), to the box that next_box found
  local attempt
  wait_drawn "$box" "$work/box.png" || fail "the box was never painted"
  for attempt in 1 2 3; do
    # No window manager gives the box the focus; xdotool does, then types into it.
    timeout 10 xdotool windowfocus --sync "$box" 2>/dev/null || true
    xdotool key --clearmodifiers "$1"
    wait_until 30 box_closed && return 0
    echo "the box is still open 30 s after $1 (attempt $attempt)"
  done
  fail "the box did not close after $1"
}

box_closed() {
  local shown
  shown=$(xdotool search --onlyvisible --name "$pattern" 2>/dev/null) || true
  ! grep -qx -- "$box" <<<"$shown"
}

no_box_left() {
  ! xdotool search --onlyvisible --name "$pattern" >/dev/null 2>&1
}

finish() {  # expected exit code
  local code=0
  wait_until 180 program_ended || fail "the program did not end within three minutes"
  wait "$app_pid" || code=$?
  app_pid=
  [ "$code" = "$1" ] || fail "exit code $code, expected $1"
  wait_until 30 no_box_left || fail "a message box is still open"
}

