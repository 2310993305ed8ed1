#!/usr/bin/python3
"""A Python serial client (pyserial) on the pseudo-terminal of 'tarvik-sim
serve': it opens the link at 19200 8N1, prints a job, asks the printer for
its status, checks the four-byte reply, changes the line to 9600 baud with
two stop bits and flushes its input. (A pseudo-terminal is always 8 bits
without parity: Linux ignores other sizes and parity, and glibc's tcsetattr
then fails, so a client cannot ask for them.) The server is then stopped with SIGTERM and must exit 0,
with the job in its spool and the client's line settings in its log.

usage: serial_client.py TARVIK_SIM WORKDIR
"""
import os
import signal
import subprocess
import sys
import time

import serial


def fail(why, log=""):
    sys.stderr.write(log)
    sys.exit("serial_client: " + why)


def main():
    tool, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    link, spool, out = (os.path.join(work, n) for n in ("tty", "spool.bin", "serve.out"))
    for path in (link, spool):
        if os.path.lexists(path):
            os.remove(path)

    with open(out, "w") as log:
        server = subprocess.Popen([tool, "serve", "--link", link, "--spool", spool], stdout=log, stderr=log)
    try:
        deadline = time.monotonic() + 10
        while not os.path.exists(link):
            if server.poll() is not None or time.monotonic() > deadline:
                fail("no pseudo-terminal at " + link, open(out).read())
            time.sleep(0.05)

        job = b"pyserial job\r\n" + bytes(range(32, 127)) + b"\r\n\f"
        with serial.Serial(link, 19200, timeout=10) as port:
            port.write(job)
            port.write(b"\x1bs?")
            reply = port.read(4)
            expected = bytes([0, len(job) & 0xFF, len(job) >> 8, 0])
            if reply != expected:
                fail("status reply %s, expected %s (ready, %d bytes printed)" % (reply.hex(), expected.hex(), len(job)))
            port.baudrate = 9600
            port.stopbits = serial.STOPBITS_TWO
            port.reset_input_buffer()
            time.sleep(0.3)  # the server polls the line settings
    finally:
        server.send_signal(signal.SIGTERM)
        status = server.wait(timeout=30)

    log = open(out).read()
    sys.stdout.write(log)
    if status != 0:
        fail("serve exited with %d" % status)
    with open(spool, "rb") as f:
        if f.read() != job:
            fail("the spool does not hold the job")
    for setting in ("19200 8N1 -> SetCommState", "9600 8N2 -> SetCommState", "PurgeComm(PURGE_RXCLEAR)"):
        if setting not in log:
            fail("the client's line setting '%s' did not reach the port" % setting)
    print("pyserial: printed %d bytes and read the printer's status through the COM port" % len(job))


main()
