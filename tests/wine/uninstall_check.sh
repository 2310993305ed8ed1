#!/usr/bin/env bash
# Runs the real 64-bit tarvik_uninstall.exe under Wine, headless (Xvfb), and
# answers its message boxes with xdotool, found by caption. Checks what it
# does to the Wine prefix: the rights test, the DefaultUninstall section run
# through RUNDLL32, the OEM packages it deletes with pnputil (a stand-in,
# since Wine has none), a second copy ending at once, and a Japanese session.
#
#   tests/wine/uninstall_check.sh [windows-x64 build folder]   (default build/windows-x64)
#
# Needs wine64, xvfb, xdotool, a mingw-w64 C compiler and the ja_JP.UTF-8
# locale. WINE_WAIT sets how long to wait for a window or a process (s).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build/windows-x64}" && pwd)
wait_s=${WINE_WAIT:-60}
exe="$build/uninstall/tarvik_uninstall.exe"
del="$build/driver-package/tarvik_uninstall.DEL"
[ -f "$exe" ] && [ -f "$del" ] || { echo "missing $exe or $del: build the windows-x64 preset first" >&2; exit 1; }

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
pass() { echo "ok: $*"; }

# A display of our own.
for n in $(seq 90 120); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
done
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY="$display"
for _ in $(seq 1 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

wineboot -i >/dev/null 2>&1
wineserver -w
drive="$WINEPREFIX/drive_c"
windir="$drive/windows"
program="$drive/Program Files/Tarvik"
mkdir -p "$program"
cp "$exe" "$del" "$program/"
x86_64-w64-mingw32-gcc-posix -O2 -o "$windir/system32/pnputil.exe" "$here/fake_pnputil.c"
arbiter='HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter'

# Waits for a top-level window with this exact caption; prints its id.
window() {
  timeout "$wait_s" xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1
}
# Answers the box with keys (Return: the default button; Escape; Tab Return:
# the second button) and waits until it has gone. Without a window manager the
# keys go to the focused window, so the box is focused first.
answer() {
  local caption=$1 id
  shift
  id=$(window "$caption") || true
  [ -n "$id" ] || fail "no window \"$caption\""
  xdotool windowfocus "$id" 2>/dev/null || true
  sleep 0.3
  xdotool key "$@"
  for _ in $(seq 1 $((wait_s * 10))); do
    xdotool search --onlyvisible --name "^$caption\$" 2>/dev/null | grep -qx "$id" || return 0
    sleep 0.1
  done
  fail "window \"$caption\" did not close"
}
start() {
  (cd "$program" && exec wine "C:\\Program Files\\Tarvik\\tarvik_uninstall.exe" "$@") &
  run_pid=$!
}
finish() {
  local code=0
  timeout "$wait_s" tail --pid="$run_pid" -f /dev/null || fail "the program did not end"
  wait "$run_pid" || code=$?
  [ "$code" -eq 0 ] || fail "exit code $code"
  wineserver -w
}
prepare() {
  rm -f "$drive/pnputil.log"
  mkdir -p "$windir/inf" "$windir/system32/drivers"
  printf '[Version]\r\nSignature="$Windows NT$"\r\n[Strings]\r\nQOMDEV_USB.SvcDesc="Tarvik"\r\n' > "$windir/inf/oem3.inf"
  printf '[Version]\r\nSignature="$Windows NT$"\r\n[Strings]\r\nOther="x"\r\n' > "$windir/inf/oem4.inf"
  printf 'image' > "$windir/system32/drivers/tarvik_usb.sys"
}

# 1. Full run: confirm, remove, restart question answered No.
prepare
wine reg add "$arbiter" /f >/dev/null 2>&1
start
answer "Uninstall:TARVIK driver" Return
answer "Uninstall:TARVIK driver" Tab Return
finish
grep -qx -- "-f -d oem3.inf" "$drive/pnputil.log" || fail "oem3.inf was not deleted with pnputil"
! grep -q "oem4.inf" "$drive/pnputil.log" || fail "another vendor's package was deleted"
[ ! -e "$windir/inf/oem3.inf" ] && [ -e "$windir/inf/oem4.inf" ] || fail "wrong OEM INF files left"
for _ in $(seq 1 $((wait_s * 10))); do [ -e "$windir/system32/drivers/tarvik_usb.sys" ] || break; sleep 0.1; done
[ ! -e "$windir/system32/drivers/tarvik_usb.sys" ] || fail "DefaultUninstall did not delete the driver file"
pass "full run"

# 2. A second copy ends at once while the first one asks.
prepare
start
first=$run_pid
window "Uninstall:TARVIK driver" >/dev/null || fail "no confirmation box"
(cd "$program" && timeout "$wait_s" wine "C:\\Program Files\\Tarvik\\tarvik_uninstall.exe") || fail "second copy did not end with 0"
[ "$(xdotool search --onlyvisible --name '^Uninstall:TARVIK driver$' | wc -l)" -eq 1 ] || fail "second copy showed a box"
run_pid=$first
answer "Uninstall:TARVIK driver" Escape
finish
[ ! -e "$drive/pnputil.log" ] && [ -e "$windir/inf/oem3.inf" ] || fail "cancelled run changed the system"
pass "second copy, cancel"

# 3. Without the rights-test key: the No access box, nothing removed.
prepare
wine reg delete "$arbiter" /f >/dev/null 2>&1
start -uninst
answer "Uninstall:TARVIK driver" Return
answer "Uninstall" Return
finish
[ ! -e "$drive/pnputil.log" ] && [ -e "$windir/inf/oem3.inf" ] || fail "no-access run changed the system"
pass "no access"

# 4. Japanese user interface: the same captions; run through to the end.
if locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  prepare
  wine reg add "$arbiter" /f >/dev/null 2>&1
  LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 start
  answer "Uninstall:TARVIK driver" Return
  answer "Uninstall:TARVIK driver" Tab Return
  finish
  grep -qx -- "-f -d oem3.inf" "$drive/pnputil.log" || fail "Japanese run did not delete oem3.inf"
  pass "Japanese"
else
  echo "skipped: Japanese (no ja_JP.UTF-8 locale)"
fi
echo "Wine check passed"
