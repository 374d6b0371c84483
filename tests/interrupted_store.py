#!/usr/bin/env python3
"""A store killed part-way never leaves a file that a TIFF reader accepts: the
writer reserves the header and writes it last. Stops imgratio while it writes
a large output, kills it, and checks that libtiff's tiffinfo refuses what is
left.

usage: interrupted_store.py IMGRATIO_BINARY
"""
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time


def constant_image(path, width, height):
    data = b"II*\0" + struct.pack("<I", 8 + width * height * 2) + b"\x07\x00" * (width * height)
    entries = [(256, 4, 1, width), (257, 4, 1, height), (258, 3, 1, 16), (259, 3, 1, 1), (262, 3, 1, 1),
               (273, 4, 1, 8), (277, 3, 1, 1), (278, 4, 1, height), (279, 4, 1, width * height * 2)]
    data += struct.pack("<H", len(entries))
    for tag, typ, count, value in entries:
        data += struct.pack("<HHII", tag, typ, count, value)
    with open(path, "wb") as f:
        f.write(data + b"\0\0\0\0")


def main():
    binary = sys.argv[1]
    with tempfile.TemporaryDirectory() as work:
        source = os.path.join(work, "in.tif")
        constant_image(source, 4096, 4096)
        out = os.path.join(work, "out.tif")
        for attempt in range(20):
            if os.path.exists(out):
                os.remove(out)
            child = subprocess.Popen([binary, source, source, out])
            caught = False
            while child.poll() is None:
                try:
                    if os.stat(out).st_size > 1 << 20:
                        child.send_signal(signal.SIGSTOP)
                        caught = True
                        break
                except FileNotFoundError:
                    pass
                time.sleep(0.0002)
            if not caught:
                child.wait()
                continue
            size = os.stat(out).st_size
            child.send_signal(signal.SIGKILL)
            child.wait()
            with open(out, "rb") as f:
                head = f.read(8)
            r = subprocess.run(["tiffinfo", out], capture_output=True, text=True)
            print(f"killed with {size} bytes written; first 8 bytes {head.hex()}; tiffinfo exit {r.returncode}")
            if head != bytes(8) or r.returncode == 0:
                print("FAIL: the remains of an interrupted store read as a TIFF")
                sys.exit(1)
            print("1 passed, 0 failed")
            return
        print("FAIL: the store always finished before it could be stopped")
        sys.exit(1)


if __name__ == "__main__":
    main()
