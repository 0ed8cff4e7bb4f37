#!/usr/bin/env python3
"""Runs a Windows test program under Wine with a COM port whose far end this script plays.

usage: serial_peer.py PORT WINE_RUN PREFIX PROGRAM [ARGUMENTS...]

A pty's slave becomes the COM port PORT (for example com9) of the Wine prefix PREFIX, and
PROGRAM runs through the WINE_RUN wrapper with SCANFLASH_TEST_SERIAL_PORT set to the port's
Windows path. The peer answers the lines the program writes:

    echo TEXT   answers TEXT and a newline
    burst N     answers N bytes, byte i being i % 256
    sink N      takes the next N bytes and answers "got N CRC" (CRC-32, 8 upper-case hex digits)

The script's exit code is the program's.
"""

import os
import select
import subprocess
import sys
import threading
import tty
import zlib

PROGRAM_TIME_LIMIT_S = 240


def write_all(fd, data):
    while data:
        written = os.write(fd, data)
        data = data[written:]


class Peer:
    def __init__(self, master):
        self.master = master
        self.stop = threading.Event()
        self.pending = b""
        self.sink_left = 0
        self.sunk = b""

    def serve(self):
        while not self.stop.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if not ready:
                continue
            try:
                data = os.read(self.master, 65536)
            except OSError:
                # No slave open at the moment; the next program open brings it back.
                self.stop.wait(0.05)
                continue
            self.take(data)

    def take(self, data):
        while data:
            if self.sink_left:
                part = data[: self.sink_left]
                self.sunk += part
                self.sink_left -= len(part)
                data = data[len(part) :]
                if not self.sink_left:
                    crc = zlib.crc32(self.sunk) & 0xFFFFFFFF
                    write_all(self.master, b"got %d %08X\n" % (len(self.sunk), crc))
                    self.sunk = b""
                continue
            line_end = data.find(b"\n")
            if line_end < 0:
                self.pending += data
                return
            line = self.pending + data[:line_end]
            self.pending = b""
            data = data[line_end + 1 :]
            self.answer(line)

    def answer(self, line):
        command, _, argument = line.partition(b" ")
        if command == b"echo":
            write_all(self.master, argument + b"\n")
        elif command == b"burst":
            write_all(self.master, bytes(i % 256 for i in range(int(argument))))
        elif command == b"sink":
            self.sink_left = int(argument)


def main(argv):
    if len(argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    port, wine_run, prefix, program = argv[1:5]
    # Makes the prefix if this is the build directory's first Wine run.
    subprocess.run([wine_run, prefix], check=True)

    master, slave = os.openpty()
    # Raw until the program sets the line up: nothing is echoed or translated meanwhile.
    # The slave stays open here so that the master keeps working between the program's opens.
    tty.setraw(slave)
    link = os.path.join(prefix, "dosdevices", port.lower())
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.ttyname(slave), link)

    peer = Peer(master)
    server = threading.Thread(target=peer.serve, daemon=True)
    server.start()
    environment = dict(os.environ, SCANFLASH_TEST_SERIAL_PORT="\\\\.\\" + port.upper())
    try:
        completed = subprocess.run(
            [wine_run, prefix, program] + argv[5:], env=environment, timeout=PROGRAM_TIME_LIMIT_S
        )
        return completed.returncode
    except subprocess.TimeoutExpired:
        print("serial_peer.py: the program did not finish in time", file=sys.stderr)
        return 1
    finally:
        peer.stop.set()
        server.join()
        os.remove(link)
        os.close(master)
        os.close(slave)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
