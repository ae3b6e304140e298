#!/usr/bin/env bash
# Builds the Windows program and its tests with MinGW-w64 (32-bit and 64-bit presets), runs the
# core's unit tests under wine64, then tests the real 64-bit program in a real window: Xvfb and
# wineserver are started here and stopped by process id; tests/windows/window_driver.cpp checks
# the form as Windows automation would, and one path is driven by real X input through xdotool.
# The 32-bit build is compiled and linked only: this kernel cannot execute 32-bit code.
# Output (logs, written files, screenshot.png) goes to build/windows-x64/window-test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# --- tools ----------------------------------------------------------------------------------
find_tool() {  # first executable among the candidates
  local candidate
  for candidate in "$@"; do
    if [ -x "$candidate" ]; then echo "$candidate"; return 0; fi
    if command -v "$candidate" >/dev/null 2>&1; then command -v "$candidate"; return 0; fi
  done
  return 1
}
missing=()
for tool in cmake ctest x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix \
            x86_64-w64-mingw32-windres i686-w64-mingw32-windres x86_64-w64-mingw32-objdump \
            i686-w64-mingw32-objdump Xvfb xdotool import; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
wine=$(find_tool /usr/lib/wine/wine64 wine64 wine) || missing+=("wine64")
wineserver=$(find_tool /usr/lib/wine/wineserver wineserver) || missing+=("wineserver")
if [ ${#missing[@]} -gt 0 ]; then
  echo "windows-test.sh: missing tools: ${missing[*]}" >&2
  echo "  install them with: bash scripts/install-deps.sh g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 xvfb xdotool imagemagick" >&2
  exit 1
fi

# --- build and unit tests -------------------------------------------------------------------
for preset in windows-x86 windows-x64; do
  echo "=== preset: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
done
build=$root/build/windows-x64
# Each program is of its architecture and imports system DLLs only (no MinGW runtime DLL).
for arch in x86:i686:pei-i386 x64:x86_64:pei-x86-64; do
  IFS=: read -r preset triple format <<<"$arch"
  program=$root/build/windows-$preset/app/quorvin.exe
  [ -f "$program" ] || { echo "windows-test.sh: $program was not built" >&2; exit 1; }
  "$triple-w64-mingw32-objdump" -f "$program" | grep "file format $format" >/dev/null ||
    { echo "windows-test.sh: $program is not $format" >&2; exit 1; }
  if "$triple-w64-mingw32-objdump" -p "$program" | grep -i "DLL Name" |
       grep -Eiv "KERNEL32|USER32|ole32|msvcrt|ADVAPI32|GDI32|SHELL32" ; then
    echo "windows-test.sh: $program needs the DLLs above beside it (not statically linked)" >&2
    exit 1
  fi
done
echo "ok: both programs built, statically linked"
echo "=== unit tests under wine64"
ctest --preset windows-x64

# quorvin-cli on Windows writes exactly the files the Linux build writes for the same seed,
# into a folder whose name is not ASCII, and refuses a bad box with status 2.
echo "=== quorvin-cli under wine64 against the Linux build"
linux_cli=$root/build/default/cli/quorvin-cli
[ -x "$linux_cli" ] || { cmake --preset default >/dev/null && cmake --build --preset default -j 2 --target quorvin-cli; }
cli_out=$build/cli-test
rm -rf "$cli_out"
mkdir -p "$cli_out"
# A prefix of its own: Wine's helper processes started here, with no X display yet, must not be
# the ones the window tests below find.
cli_prefix=$cli_out/wineprefix
folder=$'donn\xc3\xa9es'
cli_args=(-m all,CW,QAM1024 --files-per-modulation 2 --num-symbols 300 --seed 9 --save-settings -j 2)
(cd "$cli_out" && WINEPREFIX=$cli_prefix "$root/scripts/wine-run.sh" "$build/cli/quorvin-cli.exe" \
   "${cli_args[@]}" -o "$folder" >windows-report.txt) ||
  { echo "windows-test.sh: quorvin-cli.exe failed" >&2; exit 1; }
(cd "$cli_out" && "$linux_cli" "${cli_args[@]}" -o linux >linux-report.txt)
if ! diff -r "$cli_out/linux" "$cli_out/$folder" >/dev/null; then
  echo "windows-test.sh: quorvin-cli.exe and the Linux build wrote different files" >&2
  diff -rq "$cli_out/linux" "$cli_out/$folder" | head -5 >&2
  exit 1
fi
# The classic model's analog routes (a carrier of 1500 Hz) through each build's C maths library.
classic_args=(-m all --signal-model classic --analog-fc 1500 --files-per-modulation 2 --num-symbols 300 --seed 9 -q)
(cd "$cli_out" && WINEPREFIX=$cli_prefix "$root/scripts/wine-run.sh" "$build/cli/quorvin-cli.exe" \
   "${classic_args[@]}" -o classic-windows 2>/dev/null) ||
  { echo "windows-test.sh: quorvin-cli.exe failed on the classic model" >&2; exit 1; }
(cd "$cli_out" && "$linux_cli" "${classic_args[@]}" -o classic-linux 2>/dev/null)
if ! diff -r "$cli_out/classic-linux" "$cli_out/classic-windows" >/dev/null; then
  echo "windows-test.sh: the classic model's files differ between quorvin-cli.exe and the Linux build" >&2
  diff -rq "$cli_out/classic-linux" "$cli_out/classic-windows" | head -5 >&2
  exit 1
fi
[ "$(head -1 "$cli_out/windows-report.txt")" = "AM: Saved to $folder\\AM_signal_1.csv" ] ||
  { echo "windows-test.sh: unexpected Windows report: $(head -1 "$cli_out/windows-report.txt")" >&2; exit 1; }
status=0
(cd "$cli_out" && WINEPREFIX=$cli_prefix "$root/scripts/wine-run.sh" "$build/cli/quorvin-cli.exe" \
   -m AM --snr-min x -o refused >/dev/null 2>"$cli_out/refused.txt") || status=$?
[ "$status" -eq 2 ] && [ "$(tr -d '\r' <"$cli_out/refused.txt")" = "quorvin-cli: Invalid SNR Min. --snr-min takes a finite number, or inf at both ends for no noise, not 'x'" ] ||
  { echo "windows-test.sh: a bad box gave status $status: $(cat "$cli_out/refused.txt")" >&2; exit 1; }
WINEPREFIX=$cli_prefix "$wineserver" -k 2>/dev/null || true
WINEPREFIX=$cli_prefix "$wineserver" -w 2>/dev/null || true
echo "ok: quorvin-cli.exe matches the Linux build byte for byte ($(ls "$cli_out/linux" | wc -l) files)"

# --- the real window ------------------------------------------------------------------------
echo "=== window tests under Xvfb and wine64"
out=$build/window-test
rm -rf "$out"
mkdir -p "$out/check" "$out/clicks"
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
mkdir -p "$WINEPREFIX"
program=$build/app/quorvin.exe
driver=$build/app/window_driver.exe

xvfb_pid="" wineserver_pid="" app_pid=""
cleanup() {
  # Only the processes started here: the server of our own prefix ends its clients (the
  # program and Wine's helper services, which outlive a plain stop of the server), then each
  # process started by this script is stopped by its id.
  if [ -n "$wineserver_pid" ] && kill -0 "$wineserver_pid" 2>/dev/null; then
    "$wineserver" -k 2>/dev/null || true
    timeout 30 tail --pid="$wineserver_pid" -f /dev/null || true
  fi
  for pid in "$app_pid" "$wineserver_pid" "$xvfb_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
}
trap cleanup EXIT

# Xvfb picks a free display number and writes it to the descriptor it is given.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$out/display" >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
display=""
for _ in $(seq 1 200); do
  [ -s "$out/display" ] && display=$(tr -dc '0-9' <"$out/display")
  [ -n "$display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$display" ] || { echo "windows-test.sh: Xvfb did not start (see $out/xvfb.log)" >&2; exit 1; }
export DISPLAY=:$display

# A persistent server in the foreground: every Wine process below shares it, and it is ours
# to stop.
"$wineserver" -f -p >"$out/wineserver.log" 2>&1 &
wineserver_pid=$!

failures=0
step() {  # step "what" command...: runs a check, counts a failure
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what" >&2; failures=$((failures + 1)); fi
}

# 1. Automation: layout, behaviour, message boxes, runs, answering during a run, long lines in
#    the output box, closing (during a run too). Every check of run_checks runs when none is named.
if ! (cd "$out/check" && timeout 900 "$wine" "$driver" check "$program") | tee "$out/check.log"; then
  failures=$((failures + 1))
fi

# 2. Real input events: tick "AM", type 2 into "Files/Modulation:", Tab, click "Modulate".
cd "$out/clicks"
"$wine" "$program" >"$out/clicks.log" 2>&1 &
app_pid=$!
timeout 120 xdotool search --sync --onlyvisible --name '^Quorvin$' >/dev/null ||
  { echo "windows-test.sh: the window never appeared on the X display" >&2; exit 1; }
click_control() {  # click_control ID: a real left click on the control's centre
  local x y
  read -r x y < <("$wine" "$driver" locate "$1" | tr -d '\r')
  xdotool mousemove --sync "$x" "$y" click 1
}
click_control 201
click_control 1013
xdotool key End BackSpace
xdotool type 2
xdotool key Tab
step "Tab leaves the focus in the box" "$wine" "$driver" focus-is 1013
click_control 1002
step "real clicks tick, type and run" "$wine" "$driver" after-clicks
import -window root "$out/screenshot.png"
echo "screenshot: $out/screenshot.png"

# Closing through the system menu's shortcut, with the pointer over the window.
click_control 1003
xdotool key alt+F4
app_code=0
timeout 60 tail --pid="$app_pid" -f /dev/null || true
wait "$app_pid" || app_code=$?
app_pid=""
step "Alt+F4 ends the program with exit code 0 (got $app_code)" test "$app_code" -eq 0
cd "$root"

if [ "$failures" -ne 0 ]; then
  echo "windows-test.sh: $failures window test step(s) failed" >&2
  exit 1
fi
echo "windows-test.sh: all Windows tests passed"
