#!/usr/bin/env bash
# A serial client on the pseudo-terminal of 'tarvik-sim serve': it sets the
# line up with stty, prints a line, asks the printer for its status and reads
# the four-byte reply; then the server is stopped with SIGTERM and must exit
# 0 with the printed bytes in its spool.
# usage: serve_check.sh TARVIK_SIM WORKDIR
set -euo pipefail
tool=$1
work=$2
mkdir -p "$work"
link=$work/tty
spool=$work/spool.bin
rm -f "$link" "$spool"

"$tool" serve --link "$link" --spool "$spool" > "$work/serve.out" 2>&1 &
server=$!
trap 'kill -TERM $server 2>/dev/null || true' EXIT

for _ in $(seq 100); do
  [ -e "$link" ] && break
  kill -0 $server 2>/dev/null || { cat "$work/serve.out"; echo "serve exited early"; exit 1; }
  sleep 0.1
done
[ -e "$link" ] || { echo "no pseudo-terminal at $link after 10 s"; exit 1; }

stty -F "$link" raw -echo 19200 cs8 -parenb -cstopb
exec 3<>"$link"
printf 'hello from a serial client\r\n' >&3
printf '\033s?' >&3
reply=$(timeout 10 head -c 4 <&3 | od -An -tx1 | tr -d ' \n')
exec 3>&-

kill -TERM $server
status=0
wait $server || status=$?
trap - EXIT
cat "$work/serve.out"

[ "$status" -eq 0 ] || { echo "serve exited with $status"; exit 1; }
[ "$reply" = "001c0000" ] || { echo "status reply $reply, expected 001c0000 (ready, 28 bytes printed)"; exit 1; }
printf 'hello from a serial client\r\n' | cmp - "$spool"
grep -q "19200 8N1 -> SetCommState" "$work/serve.out" || { echo "the client's line settings did not reach the port"; exit 1; }
echo "serve: a serial client printed and read the status through the COM port"
