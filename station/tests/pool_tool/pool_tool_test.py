#!/usr/bin/env python3
"""The real stampwell-pool program against a PostgreSQL server of the test's
own (pg_test_server.sh on a free loopback port), with jobs put on record and
checked by the psql shell.

  pool_tool_test.py STAMPWELL_POOL PG_TEST_SERVER_SCRIPT

init twice, add-range and a refused overlap, status, report, export, bad
arguments, a missing schema, and servers that refuse or never answer.
"""
import csv
import glob
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time

FAILURES = []


def check(condition, message):
    if not condition:
        FAILURES.append(message)
        print("FAIL: " + message)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def psql_program():
    found = shutil.which("psql")
    for path in sorted(glob.glob("/usr/lib/postgresql/*/bin/psql")):
        found = path
    return found


class Server:
    def __init__(self, script):
        self.script = script
        # Beside the other test servers in the temporary folder: under root
        # the server runs as "nobody", who must reach its folder.
        self.dir = os.path.join(tempfile.gettempdir(),
                                "stampwell-pool-pg-%d-%d" % (os.getpid(), random.randrange(10**6)))
        subprocess.run([script, "init", self.dir], check=True)
        for _ in range(8):
            self.port = free_port()
            if subprocess.run([script, "start", self.dir, str(self.port)]).returncode == 0:
                return
        self.remove()
        sys.exit("FAIL: the test server did not start")

    def conninfo(self, db):
        return "host=127.0.0.1 port=%d user=stampwell dbname=%s" % (self.port, db)

    def sql(self, db, statement):
        result = subprocess.run([psql_program(), self.conninfo(db), "-v", "ON_ERROR_STOP=1",
                                 "-qAt", "-c", statement],
                                capture_output=True, text=True)
        if result.returncode != 0:
            sys.exit("FAIL: psql: " + result.stderr)
        return result.stdout

    def remove(self):
        subprocess.run([self.script, "remove", self.dir])


def main():
    tool, script = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="pool-tool-")
    server = Server(script)
    try:
        run_checks(tool, server, work)
    finally:
        server.remove()
        shutil.rmtree(work, ignore_errors=True)
    if FAILURES:
        print("%d failed" % len(FAILURES))
        return 1
    print("the pool tool: all passed")
    return 0


def run_checks(tool, server, work):
    def pool(*args, conninfo=None):
        command = [tool]
        if conninfo is not False:
            command += ["--server", conninfo or server.conninfo("line7")]
        t0 = time.monotonic()
        result = subprocess.run(command + list(args), capture_output=True, text=True,
                                timeout=30)
        result.seconds = time.monotonic() - t0
        return result

    def fails(result, code, words, what):
        check(result.returncode == code,
              "%s: exit %d, not %d (%s)" % (what, result.returncode, code, result.stderr))
        check(result.stderr.startswith("stampwell-pool: ") and result.stderr.count("\n") == 1,
              "%s: not one line on stderr: %r" % (what, result.stderr))
        check(words in result.stderr, "%s: %r does not say %r" % (what, result.stderr, words))

    # Arguments.
    result = pool("--help", conninfo=False)
    check(result.returncode == 0 and "add-range NAME FIRST COUNT" in result.stdout
          and "first-pass yield" in result.stdout, "--help: " + result.stdout)
    fails(pool("status", conninfo=False), 2, "no server", "no --server")
    fails(pool(), 2, "no command", "no command")
    fails(pool("grow"), 2, "unknown command grow", "an unknown command")
    fails(pool("add-range", "p", "3500000000000", "10"), 2, "14-digit", "a 13-digit FIRST")
    fails(pool("add-range", "p", "35000000000000", "10", "--bt", "00A0B000000G", "4"), 2,
          "12 hexadecimal", "a Bluetooth FIRST with a G")

    # The schema.
    server.sql("postgres", "CREATE DATABASE line7")
    fails(pool("status"), 1, "run stampwell-pool init", "status before init")
    result = pool("init")
    check(result.returncode == 0 and result.stdout == "created version 1\n",
          "the first init: %r %r" % (result.stdout, result.stderr))
    result = pool("init")
    check(result.returncode == 0 and result.stdout == "already at version 1\n",
          "the second init: %r %r" % (result.stdout, result.stderr))
    check(server.sql("line7", "SELECT count(*) FROM stampwell_schema") == "1\n",
          "init twice recorded the version twice")

    # Pools.
    result = pool("add-range", "line7", "35000000000000", "1000", "--bt", "00a0b0000000", "100")
    check(result.returncode == 0, "add-range: " + result.stderr)
    result = pool("add-range", "spare", "35000000001000", "10")
    check(result.returncode == 0, "the second add-range: " + result.stderr)
    fails(pool("add-range", "other", "35000000000999", "5"), 1, "overlap", "an overlapping pool")
    fails(pool("add-range", "other", "35000000002000", "5", "--bt", "00A0B0000063", "2"), 1,
          "overlap", "overlapping addresses")
    fails(pool("status", "other"), 1, "no pool named other", "status of a refused pool")

    # Two handsets drawn from line7 by station st1, the second refused.
    server.sql("line7",
               "UPDATE ranges SET next_body = next_body + 2, bt_next = bt_next + 2"
               " WHERE name = 'line7';"
               "INSERT INTO jobs (token, time, station, port, imei1, bt_addr, outcome, result)"
               " VALUES ('a', '2024-05-06 10:00+00', 'st1', 'USB:COM5', '350000000000001',"
               " '00A0B0000000', 'written', 0),"
               " ('b', '2024-05-06 10:30+00', 'st1', 'COM3', '350000000000019',"
               " '00A0B0000001', 'refused', 23)")
    result = pool("status")
    lines = result.stdout.splitlines()
    rows = [line.split() for line in lines]
    check(result.returncode == 0 and len(rows) == 3, "status: %r %r" % (result.stdout,
                                                                        result.stderr))
    if len(rows) == 3:
        check(lines[0].split("  ")[0] == "pool" and "bt left" in lines[0],
              "status header: " + lines[0])
        check(rows[1] == ["line7", "35000000000000", "35000000000002", "2", "998",
                          "00A0B0000000", "00A0B0000002", "2", "98"], "status line7: %r" % rows[1])
        check(rows[2] == ["spare", "35000000001000", "35000000001000", "0", "10"],
              "status spare: %r" % rows[2])
        check(len(set(len(line) for line in lines[:2])) == 1, "status not aligned:\n" +
              result.stdout)

    result = pool("report")
    rows = [line.split("  ") for line in result.stdout.splitlines()]
    rows = [[field.strip() for field in row if field.strip()] for row in rows]
    check(result.returncode == 0 and rows == [
        ["station", "written", "refused", "uncertain", "presumed written", "first-pass yield",
         "handsets/hour"],
        ["st1", "1", "1", "0", "0", "50.0%", "2.0"]], "report: %r %r" % (result.stdout,
                                                                        result.stderr))

    exported = os.path.join(work, "line7.csv")
    result = pool("export", exported)
    check(result.returncode == 0, "export: " + result.stderr)
    with open(exported, newline="") as f:
        rows = list(csv.reader(f))
    check(rows[0] == ["id", "time", "station", "port", "imei1", "imei2", "imei3", "bt_addr",
                      "outcome", "result"], "export header: %r" % rows[0])
    check([row[2:] for row in rows[1:]] == [
        ["st1", "USB:COM5", "350000000000001", "", "", "00A0B0000000", "written", "0"],
        ["st1", "COM3", "350000000000019", "", "", "00A0B0000001", "refused", "23"]],
        "export rows: %r" % rows[1:])
    check(len(rows) == 3 and rows[1][1].startswith("2024-05-06 "), "export time: %r" % rows)

    # A port where nothing listens, and a listener that never answers: each
    # fails within the connection's time bound (5 s), with its reason.
    closed = "host=127.0.0.1 port=%d user=stampwell dbname=line7" % free_port()
    result = pool("status", conninfo=closed)
    fails(result, 1, "cannot connect", "a closed port")
    check(result.seconds < 3, "a closed port took %.1f s" % result.seconds)
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        result = pool("status", conninfo="host=127.0.0.1 port=%d user=stampwell dbname=line7"
                      % silent.getsockname()[1])
    fails(result, 1, "cannot connect", "a silent server")
    check(result.seconds < 7, "a silent server took %.1f s" % result.seconds)


if __name__ == "__main__":
    sys.exit(main())
