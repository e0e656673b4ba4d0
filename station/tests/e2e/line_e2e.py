#!/usr/bin/env python3
"""A production line: eight stampwell stations in batch mode sharing one
pool on the line's PostgreSQL server, each with its own handset-sim, while
stations are killed with SIGKILL, the server is stopped at once and the
stations' connections are cut.

  line_e2e.py STAMPWELL HANDSET_SIM LIBDIRS PG_TEST_SERVER [HANDSETS] --pool-tool PATH

HANDSETS (default 2000; LINE_E2E_HANDSETS overrides it) handsets are stored
in all. The stations reach the server through a TCP proxy (socat) that is
killed and restarted to cut their connections; the checks read the server
directly. LINE_E2E_SEED fixes the random moments.

Afterwards no IMEI and no Bluetooth address is in two handsets, every stored
handset is on a job row that is not refused, every job recorded as written
is in a handset, no job is left in flight and no outcome is left queued on
any station.
"""
import csv
import os
import random
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

STATIONS = 8
POOL = "line"
FIRST_BODY = 35000000000000
BT_FIRST = 0x00A0B0000000
# Seconds without a new handset anywhere (server and proxy up) that count as
# a hang.
STALL_S = 60
# The whole run's bound.
RUN_LIMIT_S = 900


def fail(message):
    print("FAIL: " + message, flush=True)
    sys.exit(1)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """The line's server (pg_test_server.sh) and the proxy the stations
    reach it through."""

    def __init__(self, script, root):
        self.script = script
        self.dir = os.path.join(root, "pg")
        self.port = free_port()
        self.proxy_port = free_port()
        self.proxy = None
        self.up = False
        self.run("init", self.dir)
        self.start()

    def run(self, *args):
        out = subprocess.run(["sh", self.script] + list(args), capture_output=True, text=True,
                             timeout=120)
        if out.returncode != 0:
            fail("pg_test_server.sh %s: %s%s" % (" ".join(args), out.stdout, out.stderr))

    def start(self):
        self.run("start", self.dir, str(self.port))
        self.up = True

    def stop_now(self):
        self.run("stop", self.dir)
        self.up = False

    def local(self, db):
        return "host=%s port=%d user=stampwell dbname=%s" % (self.dir, self.port, db)

    def through_proxy(self, db):
        return "host=127.0.0.1 port=%d user=stampwell dbname=%s" % (self.proxy_port, db)

    def psql(self, db, sql):
        out = subprocess.run(["psql", "-X", "-q", "-A", "-t", "-F", "|", "-v", "ON_ERROR_STOP=1",
                              "-d", self.local(db), "-c", sql],
                             capture_output=True, text=True, timeout=60)
        if out.returncode != 0:
            fail("psql: %s" % out.stderr)
        return [line.split("|") for line in out.stdout.splitlines() if line]

    def start_proxy(self):
        # Its own process group: the forked child of every connection goes
        # with it.
        self.proxy = subprocess.Popen(
            ["socat", "TCP-LISTEN:%d,bind=127.0.0.1,fork,reuseaddr" % self.proxy_port,
             "TCP:127.0.0.1:%d" % self.port],
            start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline:
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.proxy_port)) == 0:
                    return
            time.sleep(0.02)
        fail("the proxy does not listen")

    def cut_proxy(self):
        try:
            os.killpg(self.proxy.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proxy.wait()
        self.proxy = None

    def close(self):
        if self.proxy is not None:
            self.cut_proxy()
        subprocess.run(["sh", self.script, "remove", self.dir], capture_output=True, timeout=120)


def make_line(server, pool_tool, handsets):
    """The line's database, its schema and one pool with room for every
    handset's two IMEIs and address, and for numbers spent by kills."""
    server.psql("postgres", "CREATE DATABASE line")
    bodies = handsets * 4 + 2000
    for args in (["init"], ["add-range", POOL, str(FIRST_BODY), str(bodies), "--bt",
                            "%012X" % BT_FIRST, str(bodies)]):
        out = subprocess.run([pool_tool, "--server", server.local("line")] + args,
                             capture_output=True, text=True, timeout=60)
        if out.returncode != 0:
            fail("stampwell-pool %s: %s%s" % (" ".join(args), out.stdout, out.stderr))
    return "stampwell-pool"


class Station:
    """One station copied into its own directory (its settings and outcome
    queue live beside it), on its own COM port map with its own simulator."""

    def __init__(self, index, root, stampwell, sim, libdirs, conninfo, target):
        self.name = "st%d" % index
        self.dir = os.path.join(root, self.name)
        os.makedirs(self.dir)
        self.target = target
        self.env = dict(os.environ)
        self.env["COMPORT_MAP_DIR"] = os.path.join(self.dir, "map")
        self.env["LD_LIBRARY_PATH"] = libdirs
        self.env.pop("DISPLAY", None)
        # In the sanitizer build: libpq's GSSAPI library keeps what it
        # allocates when a TCP connection first tries encryption; nothing of
        # ours is in it.
        suppressions = os.path.join(root, "lsan.supp")
        with open(suppressions, "w") as f:
            f.write("leak:libgssapi_krb5.so\nleak:libkrb5.so\n")
        self.env["LSAN_OPTIONS"] = ":".join(
            filter(None, [os.environ.get("LSAN_OPTIONS"), "suppressions=" + suppressions]))
        self.exe = os.path.join(self.dir, "stampwell")
        shutil.copy2(stampwell, self.exe)
        self.csv = os.path.join(self.dir, "handsets.csv")
        self.log_path = os.path.join(self.dir, "station.log")
        self.sim = subprocess.Popen([sim, "--power-up-ms", "0", "--csv", self.csv], env=self.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = self.sim.stdout.readline()
        try:
            port = int(first.split(" on COM")[1].split()[0])
        except (IndexError, ValueError):
            fail("handset-sim did not say its port: " + first)
        with open(os.path.join(self.dir, "Stampwell.ini"), "w", newline="") as f:
            f.write("[General]\r\nIMEI=1\r\nIMEI2=1\r\nBT_ADDR=1\r\nAutoGenerateBT_ADDR=1\r\n"
                    "AutoCreateIMEI=1\r\nDefaultIMEI=%d\r\nPort=%d\r\nEntrerModeWait=0\r\n"
                    "Timeout=5000\r\n[Record]\r\nServer=%s\r\nStation=%s\r\nPool=%s\r\n"
                    % (FIRST_BODY, port, conninfo, self.name, POOL))
        self.proc = None
        self.log = None
        self.runs = 0
        self.exited_at = 0.0
        self.exits = []

    def stored(self):
        if not os.path.exists(self.csv):
            return 0
        with open(self.csv, "rb") as f:
            return max(0, f.read().count(b"\n") - 1)

    def rows(self):
        if not os.path.exists(self.csv):
            return []
        with open(self.csv, newline="") as f:
            return list(csv.DictReader(f))

    def start(self, count):
        self.runs += 1
        self.log = open(self.log_path, "a")
        self.log.write("=== run %d: --batch %d\n" % (self.runs, count))
        self.log.flush()
        self.proc = subprocess.Popen([self.exe, "--batch", str(count)], env=self.env,
                                     stdout=self.log, stderr=subprocess.STDOUT)

    def running(self):
        if self.proc is None:
            return False
        if self.proc.poll() is None:
            return True
        self.exits.append(self.proc.returncode)
        self.proc = None
        self.log.close()
        self.exited_at = time.time()
        return False

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()
        self.running()

    def log_tail(self, lines=15):
        with open(self.log_path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])

    def queued(self):
        path = os.path.join(self.dir, "StampwellQueue.db")
        if not os.path.exists(path):
            return 0
        out = subprocess.run(["sqlite3", "-readonly", path, "SELECT count(*) FROM outcomes"],
                             capture_output=True, text=True, timeout=30)
        if out.returncode != 0:
            fail("sqlite3 on %s: %s" % (path, out.stderr))
        return int(out.stdout.strip())

    def peek_queue(self, seen):
        """Adds the outcomes queued on the station now to seen (token:
        outcome), read without the shell so it can be done often."""
        path = os.path.join(self.dir, "StampwellQueue.db")
        if not os.path.exists(path):
            return
        try:
            db = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=5)
            try:
                for token, outcome in db.execute("SELECT token, outcome FROM outcomes"):
                    seen[token] = outcome
            finally:
                db.close()
        except sqlite3.Error:
            pass  # made at this moment: the next look sees it

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.sim.poll() is None:
            self.sim.send_signal(signal.SIGTERM)
            try:
                self.sim.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.sim.kill()


class Chaos:
    """Faults at random points of the run's progress: station kills, server
    stops, proxy cuts. Each fires once its share of the handsets is stored;
    a kill then waits a random moment within a handset."""

    def __init__(self, rng, total):
        self.rng = rng
        self.events = []
        for share in (0.15, 0.42, 0.69):
            self.events.append((int(total * rng.uniform(share, share + 0.08)), "outage"))
        for share in (0.27, 0.54, 0.81):
            self.events.append((int(total * rng.uniform(share, share + 0.08)), "cut"))
        for _ in range(max(8, total // 60)):
            self.events.append((int(total * rng.uniform(0.02, 0.95)), "kill"))
        self.events.sort()

    def due(self, stored):
        fired = []
        while self.events and self.events[0][0] <= stored:
            fired.append(self.events.pop(0)[1])
        return fired


def run_line(stations, server, rng, total):
    chaos = Chaos(rng, total)
    figures = {"kills": 0, "outages": 0, "cuts": 0, "queued": {}}
    # Until then, the queues are looked at: outcomes kept while the server
    # was away.
    watch_until = 0.0
    last_peek = 0.0
    server_back_at = None
    proxy_back_at = None
    last_total = -1
    last_progress = time.time()
    started = time.time()
    while True:
        now = time.time()
        counts = [s.stored() for s in stations]
        stored = sum(counts)
        if stored != last_total:
            last_total, last_progress = stored, now
        if now - started > RUN_LIMIT_S:
            fail("%d of %d handsets after %d s" % (stored, total, RUN_LIMIT_S))
        if server.up and server.proxy is not None and now - last_progress > STALL_S:
            fail("no handset stored for %d s (server and proxy up); stations:\n%s"
                 % (STALL_S, "\n".join("%s (%s):\n%s" % (s.name, "running" if s.running()
                                                        else "exited", s.log_tail())
                                       for s in stations)))
        if server_back_at is not None or proxy_back_at is not None:
            watch_until = now + 3
        if now < watch_until and now - last_peek > 0.2:
            last_peek = now
            for station in stations:
                station.peek_queue(figures["queued"])
        if server_back_at is not None and now >= server_back_at:
            server.start()
            server_back_at = None
        if proxy_back_at is not None and now >= proxy_back_at:
            server.start_proxy()
            proxy_back_at = None

        for event in chaos.due(stored):
            if event == "outage" and server.up:
                server.stop_now()
                figures["outages"] += 1
                server_back_at = now + rng.uniform(0.5, 2.5)
            elif event == "cut" and server.proxy is not None:
                server.cut_proxy()
                figures["cuts"] += 1
                proxy_back_at = now + rng.uniform(0.0, 1.0)
            elif event == "kill":
                running = [s for s in stations if s.running()]
                if running:
                    victim = rng.choice(running)
                    time.sleep(rng.uniform(0.0, 0.5))
                    if victim.running():
                        victim.kill()
                        figures["kills"] += 1

        busy = False
        for station, count in zip(stations, counts):
            if station.running():
                busy = True
            elif count < station.target:
                busy = True
                # A station that ran out of its count (handsets that failed
                # while the server was away) or was killed goes on with the
                # rest, a moment later.
                if now - station.exited_at > 0.2:
                    station.start(station.target - count)
        if not busy and not chaos.events and server_back_at is None and proxy_back_at is None:
            return figures
        time.sleep(0.05)


def finish_line(stations):
    """Every station runs once more to its end with the server up: its
    interrupted jobs are recovered and its queued outcomes delivered."""
    for station in stations:
        station.start(1)
    for station in stations:
        try:
            station.proc.wait(timeout=120)
        except subprocess.TimeoutExpired:
            fail("%s does not end its final run:\n%s" % (station.name, station.log_tail()))
        station.running()
        tail = station.log_tail(6)
        if station.exits[-1] != 0 or "summary: 1 of 1 handsets written" not in tail:
            fail("%s's final run exited %d:\n%s" % (station.name, station.exits[-1], tail))
    # The simulators append their last handset as the station ends it.
    time.sleep(0.3)


def check_record(stations, server, queued):
    handsets = []
    for station in stations:
        for row in station.rows():
            handsets.append((station.name, row))
    seen = {}
    for name, row in handsets:
        for key in ("imei1", "imei2", "bt_address"):
            number = row[key].upper()
            if not number:
                fail("%s stored a handset without %s: %s" % (name, key, row))
            if number in seen:
                fail("%s %s is in two handsets (%s at %s and %s at %s)"
                     % (key, number, seen[number][0], seen[number][1], name, row["time"]))
            seen[number] = (name, row["time"])

    jobs = {}
    # The last job of each station run (a token is the station's name, the
    # run's random part and a count).
    last_of_run = {}
    for job_id, station, imei1, imei2, bt, outcome, token in server.psql(
            "line", "SELECT id, station, imei1, imei2, bt_addr, outcome, token FROM jobs"):
        jobs.setdefault(imei1, []).append((job_id, station, imei1, imei2, bt.upper(), outcome))
        run = token.rsplit("-", 1)[0]
        last_of_run[run] = max(last_of_run.get(run, 0), int(job_id))
    last_jobs = set(str(j) for j in last_of_run.values())
    for name, row in handsets:
        rows = jobs.get(row["imei1"], [])
        kept = [j for j in rows if j[5] != "refused"]
        if len(kept) != 1:
            fail("the handset %s of %s is on %d job rows not refused: %s"
                 % (row["imei1"], name, len(kept), rows))
        job = kept[0]
        if (job[1], job[2], job[3], job[4]) != (name, row["imei1"], row["imei2"],
                                                row["bt_address"].upper()):
            fail("the handset %s of %s is recorded as %s" % (row, name, job))
        if job[5] not in ("written", "uncertain", "presumedwritten"):
            fail("the handset %s of %s is recorded as %s" % (row["imei1"], name, job[5]))
    # A handset written whose end of test never came (its station killed)
    # is written again by the station's next run: its first numbers are
    # spent and in no handset. Only a run's last job can be such a one.
    overwritten = 0
    for rows in jobs.values():
        for job in rows:
            if job[5] == "written" and job[2] not in seen:
                if job[0] not in last_jobs:
                    fail("job %s is recorded as written but no handset holds %s"
                         % (job[0], job[2]))
                overwritten += 1
            if job[5] == "inflight":
                fail("job %s of %s is still in flight" % (job[0], job[1]))
    # The key of the used numbers, seen from the jobs: no number on two jobs
    # that keep it.
    twice = server.psql("line", "SELECT n, count(*) FROM (SELECT unnest(ARRAY[imei1, imei2, "
                        "upper(bt_addr)]) AS n FROM jobs WHERE outcome <> 'refused') u "
                        "GROUP BY n HAVING count(*) > 1")
    if twice:
        fail("numbers on two jobs: %s" % twice[:5])
    # Every outcome seen queued arrived: its job, when its claim was
    # recorded at all, has that outcome.
    for token, outcome in queued.items():
        rows = server.psql("line", "SELECT outcome FROM jobs WHERE token = '%s'" % token)
        if rows and rows[0][0] != outcome:
            fail("the queued outcome %s of job %s did not arrive: the job is %s"
                 % (outcome, token, rows[0][0]))
    for station in stations:
        left = station.queued()
        if left != 0:
            fail("%s keeps %d outcome(s) in its queue after its final run" % (station.name, left))
    outcomes = server.psql("line", "SELECT outcome, count(*) FROM jobs GROUP BY outcome "
                                   "ORDER BY outcome")
    return len(handsets), overwritten, outcomes


def main():
    args = sys.argv[1:]
    pool_tool = None
    if "--pool-tool" in args:
        i = args.index("--pool-tool")
        pool_tool = args[i + 1]
        del args[i:i + 2]
    if len(args) < 4 or pool_tool is None:
        print(__doc__)
        return 2
    stampwell, sim, libdirs, pg_script = args[:4]
    total = int(os.environ.get("LINE_E2E_HANDSETS", args[4] if len(args) > 4 else 2000))
    seed = int(os.environ.get("LINE_E2E_SEED", time.time()))
    rng = random.Random(seed)
    for tool in ("socat", "psql", "sqlite3"):
        if shutil.which(tool) is None:
            fail("%s is not installed (scripts/setup installs it)" % tool)

    root = tempfile.mkdtemp(prefix="line-e2e-")
    # The server may run as another user (pg_test_server.sh under root).
    os.chmod(root, 0o755)
    server = None
    stations = []
    started = time.time()
    try:
        server = Server(pg_script, root)
        setup = make_line(server, pool_tool, total)
        server.start_proxy()
        for i in range(STATIONS):
            target = total // STATIONS + (1 if i < total % STATIONS else 0)
            stations.append(Station(i + 1, root, stampwell, sim, libdirs,
                                    server.through_proxy("line"), target))
        figures = run_line(stations, server, rng, total)
        if figures["outages"] < 3 or figures["cuts"] < 3:
            fail("the faults did not all happen: %s" % figures)
        finish_line(stations)
        handsets, overwritten, outcomes = check_record(stations, server, figures["queued"])
        if overwritten > figures["kills"]:
            fail("%d written jobs are in no handset, after %d kills"
                 % (overwritten, figures["kills"]))
        passes = fails = 0
        for station in stations:
            with open(station.log_path, errors="replace") as f:
                text = f.read()
            passes += text.count(": PASS ")
            fails += text.count(": FAIL ")
        print("line: %d handsets stored by %d stations (%d station runs, %d PASS and %d FAIL "
              "lines), %d killed with SIGKILL, %d server stops, %d proxy cuts, %d outcomes seen "
              "queued, %d handsets written again after a kill, schema by %s, "
              "seed %d, %.0f s; jobs: %s"
              % (handsets, STATIONS, sum(s.runs for s in stations), passes, fails,
                 figures["kills"], figures["outages"], figures["cuts"], len(figures["queued"]),
                 overwritten, setup, seed,
                 time.time() - started, ", ".join("%s %s" % (o, n) for o, n in outcomes)))
    finally:
        for station in stations:
            station.close()
        if server is not None:
            server.close()
        if os.environ.get("LINE_E2E_KEEP"):
            print("kept in " + root)
        else:
            shutil.rmtree(root, ignore_errors=True)
    print("line: 1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
