"""Runs a command and prints "WALL CPU PATH" in seconds: its wall time, the CPU
time of all its threads, and PATH, the CPU time of its main thread plus that
of its busiest other thread. PATH is what the run would take on cores of its
own, which a shared machine does not give: the thread CPU times are sampled
from /proc every 20 ms (Linux only).

    python3 thread_times.py COMMAND [ARGS...]
"""
import glob
import os
import subprocess
import sys
import time

TICK = os.sysconf("SC_CLK_TCK")


def main():
    start = time.monotonic()
    proc = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
    threads = {}
    while proc.poll() is None:
        for stat in glob.glob(f"/proc/{proc.pid}/task/*/stat"):
            try:
                with open(stat) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                threads[stat] = (int(fields[11]) + int(fields[12])) / TICK  # utime + stime
            except (OSError, IndexError):
                pass  # the thread ended between the listing and the read
        time.sleep(0.02)
    wall = time.monotonic() - start
    main_thread = threads.pop(f"/proc/{proc.pid}/task/{proc.pid}/stat", 0.0)
    busiest = max(threads.values(), default=0.0)
    print(f"{wall:.2f} {main_thread + sum(threads.values()):.2f} {main_thread + busiest:.2f}")
    return proc.returncode


if __name__ == "__main__":
    sys.exit(main())
