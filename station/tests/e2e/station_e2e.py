#!/usr/bin/env python3
"""The real stampwell program against the real handset-sim, as separate
processes on a pseudo-terminal, with the record read by the sqlite3 shell.

  station_e2e.py batch STAMPWELL HANDSET_SIM LIBDIRS
      a batch run of generation mode: exact numbers in the simulator's CSV,
      the start number stored, one line per handset, exit statuses.
  station_e2e.py crash STAMPWELL HANDSET_SIM LIBDIRS [HANDSETS]
      the station killed with SIGKILL at random moments while it writes
      handsets, and restarted, until HANDSETS handsets are stored: no IMEI
      is ever in two handsets, and the record accounts for every one.
  station_e2e.py slots STAMPWELL HANDSET_SIM LIBDIRS [HANDSETS]
      four slots, one simulator each: a batch across the slots, a slot whose
      handsets refuse every write beside three that write, and the station
      killed with SIGKILL during runs until HANDSETS handsets are stored.
"""
import csv
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


class Line:
    """A private COM port map, the station copied into its own directory
    (its settings and record live beside it), and one handset simulator."""

    def __init__(self, stampwell, sim, libdirs, sim_args):
        self.dir = tempfile.mkdtemp(prefix="station-e2e-")
        self.env = dict(os.environ)
        self.env["COMPORT_MAP_DIR"] = os.path.join(self.dir, "map")
        self.env["LD_LIBRARY_PATH"] = libdirs
        self.env.pop("DISPLAY", None)
        self.station = os.path.join(self.dir, "stampwell")
        shutil.copy2(stampwell, self.station)
        self.csv = os.path.join(self.dir, "handsets.csv")
        self.sim_path = sim
        self.extra = []
        self.sim = subprocess.Popen(
            [sim, "--power-up-ms", "0", "--csv", self.csv] + sim_args,
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = self.sim.stdout.readline()
        # "handset-sim: serial handsets on COM2 (map ...)"
        try:
            self.port = int(first.split(" on COM")[1].split()[0])
        except (IndexError, ValueError):
            self.close()
            fail("handset-sim did not say its port: " + first)

    def add_sim(self, name, sim_args):
        """A further simulator on the same COM port map (a slot's); its port
        and CSV path."""
        path = os.path.join(self.dir, name + ".csv")
        proc = subprocess.Popen(
            [self.sim_path, "--power-up-ms", "0", "--csv", path] + sim_args,
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.extra.append(proc)
        first = proc.stdout.readline()
        try:
            return int(first.split(" on COM")[1].split()[0]), path
        except (IndexError, ValueError):
            self.close()
            fail("handset-sim did not say its port: " + first)

    def write_ini(self, start, extra=""):
        with open(os.path.join(self.dir, "Stampwell.ini"), "w", newline="") as f:
            f.write("[General]\r\nIMEI=1\r\nIMEI2=1\r\nIMEI3=1\r\nAutoCreateIMEI=1\r\n"
                    "DefaultIMEI=%s\r\nPort=%d\r\nEntrerModeWait=0\r\nTimeout=5000\r\n%s"
                    % (start, self.port, extra))

    def ini_key(self, key):
        with open(os.path.join(self.dir, "Stampwell.ini"), newline="") as f:
            for line in f.read().splitlines():
                if line.startswith(key + "="):
                    return line[len(key) + 1:]
        return None

    def run(self, args, timeout=120):
        return subprocess.run([self.station] + args, env=self.env, capture_output=True,
                              text=True, timeout=timeout)

    def start(self, args):
        return subprocess.Popen([self.station] + args, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)

    def rows(self):
        if not os.path.exists(self.csv):
            return []
        with open(self.csv, newline="") as f:
            return [r for r in csv.DictReader(f)]

    def record(self, sql):
        out = subprocess.run(["sqlite3", "-readonly", os.path.join(self.dir, "Stampwell.db"), sql],
                             capture_output=True, text=True, timeout=30)
        if out.returncode != 0:
            fail("sqlite3: " + out.stderr)
        return [line.split("|") for line in out.stdout.splitlines()]

    def close(self):
        for proc in [self.sim] + self.extra:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


def check_batch(stampwell, sim, libdirs):
    line = Line(stampwell, sim, libdirs, [])
    try:
        line.write_ini("35000000000000")
        out = line.run(["--batch", "3"])
        print(out.stdout, end="")
        if out.returncode != 0:
            fail("batch of 3 exited %d" % out.returncode)
        rows = line.rows()
        want = [("350000000000006", "350000000000014", "350000000000022"),
                ("350000000000030", "350000000000048", "350000000000055"),
                ("350000000000063", "350000000000071", "350000000000089")]
        got = [(r["imei1"], r["imei2"], r["imei3"]) for r in rows]
        if got != want:
            fail("the simulator stored %s" % got)
        if line.ini_key("DefaultIMEI") != "35000000000009":
            fail("DefaultIMEI is %s" % line.ini_key("DefaultIMEI"))
        lines = [l for l in out.stdout.splitlines() if l.startswith("handset ")]
        if len(lines) != 3 or not all(": PASS " in l for l in lines):
            fail("one PASS line per handset expected")
        written = line.record("SELECT imei1, outcome FROM jobs ORDER BY id")
        if written != [[w[0], "written"] for w in want]:
            fail("the record holds %s" % written)
        exported = os.path.join(line.dir, "record.csv")
        if line.run(["--export-record", exported]).returncode != 0:
            fail("--export-record failed")
        with open(exported, newline="") as f:
            rows = list(csv.DictReader(f))
        if [(r["imei1"], r["imei3"], r["outcome"]) for r in rows] != \
                [(w[0], w[2], "written") for w in want]:
            fail("the exported record holds %s" % rows)

        # Every run ends cleanly: the summary printed and the status returned,
        # never a signal from a worker outliving the objects it uses.
        for n in range(15):
            out = line.run(["--batch", "1"])
            if out.returncode != 0 or "summary: 1 of 1 handsets written" not in summary_of(out):
                fail("run %d: exit %d\n%s%s" % (n, out.returncode, out.stdout, out.stderr))

        # A start number that makes invalid numbers: nothing is written and
        # the exit status says so.
        line.write_ini("01234567890123")
        out = line.run(["--batch", "2"])
        if out.returncode == 0 or len(line.rows()) != 18:
            fail("an invalid start number must fail without writing")
        if "输入的IMEI长度不正确" not in out.stdout:
            fail("the validation message is missing: " + out.stdout)
        if line.run(["--help"]).returncode != 0 or line.run(["--batch", "x"]).returncode != 2:
            fail("--help and a bad --batch argument")
    finally:
        line.close()
    print("batch: 1 passed, 0 failed")


def write_settings(line, text, encoding="utf-8"):
    with open(os.path.join(line.dir, "Stampwell.ini"), "wb") as f:
        f.write(text.encode(encoding))


def summary_of(out):
    lines = [l for l in out.stdout.splitlines() if l.startswith("summary: ")]
    if len(lines) != 1:
        fail("one summary line expected:\n" + out.stdout + out.stderr)
    return lines[0]


def check_numbers(stampwell, sim, libdirs):
    """Typed numbers from --numbers: every line a handset, used and malformed
    numbers refused with the operator's message, the run going on."""
    line = Line(stampwell, sim, libdirs, [])
    try:
        write_settings(line, "[General]\r\nIMEI=1\r\nIMEI2=1\r\nBT_ADDR=1\r\n"
                       "Port=%d\r\nEntrerModeWait=0\r\nTimeout=5000\r\n" % line.port)
        numbers = ("490154203237518,490154203237526,,00A1B2c3d4e5\n"
                   "\n"
                   "490154203237518,490154203237534,,00A1B2C3D4E6\n"   # IMEI1 used
                   "35000000000001A,490154203237542,,00A1B2C3D4E7\n"   # a letter
                   "490154203237559,490154203237567,,00A1B2C3D4G7\n"   # not hex
                   "490154203237559,490154203237567,490154203237575,\n"  # IMEI3 not in use
                   "490154203237559 , 490154203237567,,00a1b2c3d4e8\r\n")
        out = subprocess.run([line.station, "--batch", "6", "--numbers", "-"], env=line.env,
                             input=numbers, capture_output=True, text=True, timeout=120)
        print(out.stdout, end="")
        handsets = [l for l in out.stdout.splitlines() if l.startswith("handset ")]
        verdicts = [": PASS " in l for l in handsets]
        if verdicts != [True, False, False, False, False, True]:
            fail("PASS/FAIL per line: %s" % verdicts)
        for n, text in ((1, "号码490154203237518已使用过"), (2, "IMEI必须为0~9数字"),
                        (3, "蓝牙地址必须为0~9、A~F"), (4, "IMEI3 is given")):
            if text not in handsets[n]:
                fail("line %d: %s missing in %s" % (n + 1, text, handsets[n]))
        if out.returncode != 1 or "summary: 2 of 6 handsets written" not in summary_of(out):
            fail("exit %d, %s" % (out.returncode, summary_of(out)))
        stored = [(r["imei1"], r["imei2"], r["bt_address"]) for r in line.rows()]
        if stored != [("490154203237518", "490154203237526", "00A1B2c3d4e5"),
                      ("490154203237559", "490154203237567", "00a1b2c3d4e8")]:
            fail("the simulator stored %s" % stored)

        # The file ends before N: the run says so and fails.
        path = os.path.join(line.dir, "numbers.csv")
        with open(path, "w") as f:
            f.write("490154203237583,490154203237591,,00A1B2C3D4E9\n")
        out = line.run(["--batch", "3", "--numbers", path])
        if out.returncode != 1 or "ended after 1 handset" not in out.stdout or \
                "summary: 1 of 3" not in summary_of(out):
            fail("a short numbers file: exit %d\n%s" % (out.returncode, out.stdout))
        # Typed numbers without a numbers file are a usage error.
        out = line.run(["--batch", "1"])
        if out.returncode != 2 or "--numbers" not in out.stdout:
            fail("manual mode without --numbers: exit %d\n%s" % (out.returncode, out.stdout))

        # Settings saved by Notepad as "Unicode" (UTF-16 with a byte-order
        # mark) and with CR-only line ends are read as Windows reads them, and
        # the station writes the file back in its own encoding.
        for encoding, newline, start in (("utf-16", "\r\n", "35000000000000"),
                                         ("utf-8", "\r", "36000000000000")):
            write_settings(line, newline.join(
                ["[General]", "IMEI=1", "AutoCreateIMEI=1", "DefaultIMEI=" + start,
                 "Port=%d" % line.port, "EntrerModeWait=0", ""]), encoding)
            out = line.run(["--batch", "1"])
            if out.returncode != 0 or ": PASS " not in out.stdout or \
                    "imei1=%s" % start not in out.stdout:
                fail("%s settings: exit %d\n%s" % (encoding, out.returncode, out.stdout))
            with open(os.path.join(line.dir, "Stampwell.ini"), "rb") as f:
                raw = f.read()
            text = raw.decode(encoding)
            if encoding == "utf-16" and not raw.startswith(b"\xff\xfe"):
                fail("the UTF-16 settings file lost its encoding")
            if "DefaultIMEI=%s" % (start[:13] + "1") not in text:
                fail("%s settings: the start number was not stored:\n%r" % (encoding, text))

        # A misspelled section: no item in use, so nothing is written and the
        # handset is a FAIL, never a PASS of nothing.
        write_settings(line, "[Genral]\r\nIMEI=1\r\nAutoCreateIMEI=1\r\n"
                       "DefaultIMEI=35000000000000\r\nPort=%d\r\n" % line.port)
        out = line.run(["--batch", "1"])
        if out.returncode == 0 or ": PASS " in out.stdout or "没有选择写入项" not in out.stdout:
            fail("no item in use: exit %d\n%s" % (out.returncode, out.stdout))
    finally:
        line.close()
    print("numbers: 1 passed, 0 failed")


def kill_until(line, rng, stored, target, max_s, limit_s, final=2):
    """Runs the station again and again, each run killed with SIGKILL after a
    random time (while it waits for a handset, between write tries, right
    after a handset stored), until stored() reaches target; then a clean
    run of `final` handsets, so the last handset is finished too. Returns
    (runs, kills)."""
    runs = kills = 0
    started = time.time()
    while stored() < target:
        if time.time() - started > limit_s:
            fail("no progress: %d handsets after %d s" % (stored(), limit_s))
        runs += 1
        proc = line.start(["--batch", "100000"])
        time.sleep(rng.uniform(0.05, max_s))
        if proc.poll() is None:
            proc.send_signal(signal.SIGKILL)
            kills += 1
        proc.wait()
    out = line.run(["--batch", str(final)])
    if out.returncode != 0:
        fail("the final run failed:\n" + out.stdout)
    time.sleep(0.2)
    return runs, kills


def check_crash(stampwell, sim, libdirs, target):
    # Every handset refuses its first write, so a kill can also land between
    # two write tries.
    line = Line(stampwell, sim, libdirs, ["--fail-writes", "1"])
    rng = random.Random(int(os.environ.get("CRASH_SEED", time.time())))
    started = time.time()
    try:
        line.write_ini("35000000000000")
        runs, kills = kill_until(line, rng, lambda: len(line.rows()), target, 2.5, 600)
        rows = line.rows()
        seen = {}
        for r in rows:
            for key in ("imei1", "imei2", "imei3"):
                imei = r[key]
                if imei in seen:
                    fail("IMEI %s is in two handsets (%s and %s)" % (imei, seen[imei], r["time"]))
                seen[imei] = r["time"]
        recorded = {}
        for imei1, imei2, imei3, outcome in line.record(
                "SELECT imei1, imei2, imei3, outcome FROM jobs"):
            for imei in (imei1, imei2, imei3):
                recorded.setdefault(imei, set()).add(outcome)
        for imei in seen:
            outcomes = recorded.get(imei, set()) - {"refused"}
            if not outcomes:
                fail("IMEI %s is in a handset but not on record as written" % imei)
        counts = line.record("SELECT outcome, count(*) FROM jobs GROUP BY outcome")
        print("crash: %d handsets stored, %d station runs, %d killed with SIGKILL, "
              "%d distinct IMEIs, record %s, %.0f s"
              % (len(rows), runs + 1, kills, len(seen),
                 ", ".join("%s %s" % (o, n) for o, n in counts), time.time() - started))
    finally:
        line.close()
    print("crash: 1 passed, 0 failed")


def csv_rows(path):
    if not os.path.exists(path):
        return []
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def check_unique_and_recorded(line, paths):
    """No IMEI and no address in two handsets across the simulators' files,
    and every stored handset's numbers on record as written or possibly
    written. The stored handsets."""
    rows = [r for path in paths for r in csv_rows(path)]
    seen = {}
    for r in rows:
        for key in ("imei1", "imei2", "imei3", "bt_address"):
            number = r[key].upper()
            if not number:
                continue
            if number in seen:
                fail("%s %s is in two handsets (%s and %s)" % (key, number, seen[number], r["time"]))
            seen[number] = r["time"]
    recorded = {}
    for imei1, imei2, imei3, bt, outcome in line.record(
            "SELECT imei1, imei2, imei3, upper(bt_addr), outcome FROM jobs"):
        for number in (imei1, imei2, imei3, bt):
            recorded.setdefault(number, set()).add(outcome)
    for number in seen:
        if not recorded.get(number, set()) - {"refused", "inflight"}:
            fail("%s is in a handset but not on record as written" % number)
    return rows


SLOT_INI = ("[General]\r\nIMEI=1\r\nIMEI2=1\r\nBT_ADDR=1\r\nAutoGenerateBT_ADDR=1\r\n"
            "AutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\nSlots=%s\r\n"
            "EntrerModeWait=0\r\nTimeout=5000\r\n")


def four_slots(line, other_args):
    """Three more simulators beside the line's own (with other_args), and the
    settings naming the four ports as slots. The ports and the CSV paths."""
    ports, paths = [line.port], [line.csv]
    for n in range(3):
        port, path = line.add_sim("slot%d" % n, other_args)
        ports.append(port)
        paths.append(path)
    write_settings(line, SLOT_INI % ",".join(str(p) for p in ports))
    return ports, paths


def check_slots(stampwell, sim, libdirs, target):
    # Four slots with a simulator each, the first one the line's own.
    line = Line(stampwell, sim, libdirs, [])
    try:
        ports, paths = four_slots(line, [])
        started = time.time()
        out = line.run(["--batch", "40"])
        print(out.stdout, end="")
        if out.returncode != 0 or "summary: 40 of 40 handsets written" not in summary_of(out):
            fail("4 slots, 40 handsets: exit %d\n%s" % (out.returncode, out.stdout))
        lines = [l for l in out.stdout.splitlines() if l.startswith("handset ")]
        used = {int(l.split(" COM")[1].split()[0]) for l in lines}
        if len(lines) != 40 or used != set(ports):
            fail("40 lines naming the four slots' ports expected, got ports %s" % sorted(used))
        rows = check_unique_and_recorded(line, paths)
        if len(rows) != 40:
            fail("%d handsets stored, 40 expected" % len(rows))
        print("slots: 40 handsets on 4 slots in %.1f s" % (time.time() - started))
    finally:
        line.close()

    # One slot's handsets refuse every write: the other three go on.
    line = Line(stampwell, sim, libdirs, ["--fail-writes", "1000000"])
    try:
        ports, paths = four_slots(line, [])
        paths = paths[1:]  # the refusing slot stores nothing
        started = time.time()
        out = line.run(["--batch", "30"])
        took = time.time() - started
        lines = [l for l in out.stdout.splitlines() if l.startswith("handset ")]
        failed = [l for l in lines if ": FAIL COM%d " % ports[0] in l]
        passed = [l for l in lines if ": PASS " in l]
        if out.returncode != 1 or not failed or len(passed) + len(failed) != 30:
            fail("a refusing slot: exit %d\n%s" % (out.returncode, out.stdout))
        if any(": FAIL " in l and ": FAIL COM%d " % ports[0] not in l for l in lines):
            fail("a good slot failed:\n" + out.stdout)
        if took > 60:
            fail("the refusing slot held the others up: %.0f s" % took)
        check_unique_and_recorded(line, paths)
        print("slots: %d written beside %d refused in %.1f s" % (len(passed), len(failed), took))
    finally:
        line.close()

    # SIGKILL during 4-slot runs loses no number.
    line = Line(stampwell, sim, libdirs, ["--fail-writes", "1"])
    rng = random.Random(int(os.environ.get("CRASH_SEED", time.time())))
    try:
        ports, paths = four_slots(line, ["--fail-writes", "1"])
        started = time.time()
        _, kills = kill_until(line, rng, lambda: sum(len(csv_rows(p)) for p in paths), target,
                              1.5, 300, final=4)
        rows = check_unique_and_recorded(line, paths)
        print("slots crash: %d handsets stored on 4 slots, %d kills, %.0f s"
              % (len(rows), kills, time.time() - started))
    finally:
        line.close()
    print("slots: 1 passed, 0 failed")


def main():
    if len(sys.argv) < 5:
        print(__doc__)
        return 2
    mode, stampwell, sim, libdirs = sys.argv[1:5]
    if mode == "batch":
        check_batch(stampwell, sim, libdirs)
        check_numbers(stampwell, sim, libdirs)
    elif mode == "slots":
        check_slots(stampwell, sim, libdirs, int(sys.argv[5]) if len(sys.argv) > 5 else 80)
    elif mode == "crash":
        check_crash(stampwell, sim, libdirs, int(sys.argv[5]) if len(sys.argv) > 5 else 200)
    else:
        print(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
