#!/usr/bin/env python3
"""Handsets per hour of one station writing with 1, 2, 4 and 8 slots, each
slot on a handset simulator with a realistic handset (power-up time), as a
ratio to one slot. One slot is the station without [General] Slots (the
window of today, one port). Not a test: it prints a table.

  slots_bench.py STAMPWELL HANDSET_SIM LIBDIRS [--power-up-ms 1500] [--per-slot 6]
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time


def run(stampwell, sim, libdirs, slots, per_slot, power_up_ms):
    work = tempfile.mkdtemp(prefix="slots-bench-")
    env = dict(os.environ, COMPORT_MAP_DIR=os.path.join(work, "map"), LD_LIBRARY_PATH=libdirs)
    env.pop("DISPLAY", None)
    station = os.path.join(work, "stampwell")
    shutil.copy2(stampwell, station)
    sims, ports = [], []
    try:
        for n in range(slots):
            proc = subprocess.Popen(
                [sim, "--power-up-ms", str(power_up_ms), "--csv", os.path.join(work, "h%d.csv" % n)],
                env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            sims.append(proc)
            ports.append(int(proc.stdout.readline().split(" on COM")[1].split()[0]))
        ini = ("[General]\r\nIMEI=1\r\nIMEI2=1\r\nBT_ADDR=1\r\nAutoGenerateBT_ADDR=1\r\n"
               "AutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\nEntrerModeWait=0\r\n"
               "Timeout=60000\r\n")
        ini += ("Slots=%s\r\n" % ",".join(map(str, ports))) if slots > 1 else "Port=%d\r\n" % ports[0]
        with open(os.path.join(work, "Stampwell.ini"), "w", newline="") as f:
            f.write(ini)
        handsets = slots * per_slot
        started = time.monotonic()
        out = subprocess.run([station, "--batch", str(handsets)], env=env, capture_output=True,
                             text=True, timeout=600)
        took = time.monotonic() - started
        if out.returncode != 0:
            sys.exit("%d slot(s): exit %d\n%s" % (slots, out.returncode, out.stdout))
        return handsets, took
    finally:
        for proc in sims:
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("stampwell")
    parser.add_argument("sim")
    parser.add_argument("libdirs")
    parser.add_argument("--power-up-ms", type=int, default=1500)
    parser.add_argument("--per-slot", type=int, default=6)
    args = parser.parse_args()
    print("| slots | handsets | seconds | handsets per hour | ratio to 1 slot | goal |")
    print("|---|---|---|---|---|---|")
    base = None
    for slots in (1, 2, 4, 8):
        handsets, took = run(args.stampwell, args.sim, args.libdirs, slots, args.per_slot,
                             args.power_up_ms)
        rate = handsets * 3600.0 / took
        base = base or rate
        print("| %d | %d | %.1f | %.0f | %.2f | %.1f |"
              % (slots, handsets, took, rate, rate / base, 0.9 * slots))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
