#!/usr/bin/python3
"""The Tango bridge, measured from outside; a benchmark: it prints figures,
it judges nothing. The console runs on the timestamping device library
(17 simulated controllers behind the vendor's ABI that time every call on
CLOCK_MONOTONIC, as bench/end_to_end.sh uses them) on the offscreen
platform, started with --start; the device server in Tango's no-database mode on loopback;
the client is python3-tango as a facility script is.

  ticks    the console's tick period (between writes to controller 0: median,
           p99, max) and its CPU (user + system over wall time, share of one
           core) over the measured seconds, every axis moving, without the
           bridge, then with the bridge attached and a client subscribed to
           every axis's Position and State change events
  read     a Position read (DeviceProxy.read_attribute): median, p99
  write    a Position write until its packet is on the wire: from just
           before write_attribute to the first command packet to controller 0
           that differs from the one before (the --trace rows, placed on the
           library's clock by its first write), the controllers at rest

    bench/tango_bridge.py --console PROGRAM --server PROGRAM --library LIBRARY
                          [--seconds 20] [--reads 2000] [--writes 50] [--part all|ticks|io]
"""
import argparse
import csv
import os
import signal
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bridges", "tango", "tests"))
import tango  # noqa: E402
from session import Session, wait_until  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("--console", required=True)
parser.add_argument("--server", required=True)
parser.add_argument("--library", required=True)
parser.add_argument("--axes", type=int, default=17)
parser.add_argument("--seconds", type=float, default=20.0)
parser.add_argument("--reads", type=int, default=2000)
parser.add_argument("--writes", type=int, default=50)
parser.add_argument("--part", choices=("all", "ticks", "io"), default="all")
args = parser.parse_args()
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_s(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def writes_of(log, device):
    """CLOCK_MONOTONIC ns of every write to `device` in a timestamping log."""
    times = []
    with open(log) as lines:
        for line in lines:
            if line.startswith("#"):
                continue
            ns, call, dev = line.split()[:3]
            if call == "W" and int(dev) == device:
                times.append(int(ns))
    return times


def first_write(log):
    with open(log) as lines:
        for line in lines:
            if not line.startswith("#") and line.split()[1] == "W":
                return int(line.split()[0])
    raise AssertionError("no write in " + log)


def start(session, motion, log, extra=()):
    env = {"STAMP_AXES": str(args.axes), "STAMP_MOTION": motion, "STAMP_LOG": log,
           "STAMP_SECONDS": str(int(args.seconds) + 60)}
    return session.start_real_console(args.console, extra=["--device-library", args.library] + list(extra), env=env)


def end(process):
    process.send_signal(signal.SIGTERM)
    process.wait(timeout=30)


def measure_ticks(label, with_bridge):
    session = Session(args.axes, instance="bench")
    log = os.path.join(session.work, "calls")
    try:
        console = start(session, "moving", log)
        events = []
        bridge = None
        if with_bridge:
            bridge = session.start_server(args.server)
            devices = session.axis_devices()

            class Count:
                def push_event(self, event):
                    events.append(event.err)
            counter = Count()
            for device in devices:
                for attribute in ("Position", "State"):
                    device.subscribe_event(attribute, tango.EventType.CHANGE_EVENT, counter)
        time.sleep(2.0)
        begun, cpu_begun = time.monotonic_ns(), cpu_s(console.pid)
        bridge_cpu_begun = cpu_s(bridge.pid) if bridge else 0.0
        events_begun = len(events)
        time.sleep(args.seconds)
        ended, cpu_ended = time.monotonic_ns(), cpu_s(console.pid)
        bridge_cpu = (cpu_s(bridge.pid) - bridge_cpu_begun) if bridge else 0.0
        received = len(events) - events_begun
        end(console)
        writes = [t for t in writes_of(log, 0) if begun <= t <= ended]
        periods = [(b - a) / 1e6 for a, b in zip(writes, writes[1:])]
        wall = (ended - begun) / 1e9
        print("| %s | %d | %.2f | %.2f | %.2f | %.1f | %s | %s |" % (
            label, len(writes), statistics.median(periods), percentile(periods, 0.99), max(periods),
            100 * (cpu_ended - cpu_begun) / wall,
            "%.1f" % (100 * bridge_cpu / wall) if bridge else "–",
            "%.0f/s" % (received / wall) if bridge else "–"), flush=True)
    finally:
        session.close()


def measure_read_and_write():
    session = Session(args.axes, instance="bench")
    log = os.path.join(session.work, "calls")
    trace = os.path.join(session.work, "trace.csv")
    try:
        console = start(session, "rest", log, extra=["--trace", trace])
        session.start_server(args.server)
        x = session.proxy("x")
        wait_until("X ON", lambda: x.state() == tango.DevState.ON)
        reads = []
        for _ in range(args.reads):
            t = time.perf_counter_ns()
            x.read_attribute("Position")
            reads.append((time.perf_counter_ns() - t) / 1e6)
        print("| Position read | %d | %.3f | %.3f | %.3f |" % (
            len(reads), statistics.median(reads), percentile(reads, 0.99), max(reads)), flush=True)
        written = []
        for i in range(args.writes):
            target = 10.0 * (i % 2 + 1)
            written.append(time.monotonic_ns())
            x.write_attribute("Position", target)
            time.sleep(0.25)
        end(console)
        zero_ns = first_write(log)
        rows = []
        with open(trace) as lines:
            # The trace's first line (# and its start time) is not a row.
            for row in csv.DictReader(line for line in lines if not line.startswith("#")):
                if row["axis"] == "0" and row["outcome"] == "ok":
                    rows.append((zero_ns + int(row["time_us"]) * 1000, "go" in row["control"].split("|")))
        # The packet carrying a move: the first after the write with the GO
        # bit up.
        latencies = []
        for w in written:
            for at, go in rows:
                if at > w and go:
                    latencies.append((at - w) / 1e6)
                    break
        print("| Position write → packet | %d | %.2f | %.2f | %.2f |" % (
            len(latencies), statistics.median(latencies), percentile(latencies, 0.99), max(latencies)), flush=True)
    finally:
        session.close()


print("%d simulated controllers; %d cores, load %s" % (args.axes, os.cpu_count(), open("/proc/loadavg").read().split()[:3]))
print()
if args.part in ("all", "ticks"):
    print("| case | ticks | median ms | p99 ms | max ms | console CPU % | bridge CPU % | events received |")
    print("|---|---|---|---|---|---|---|---|")
    measure_ticks("%d axes moving, no bridge" % args.axes, False)
    measure_ticks("%d axes moving, bridge + events" % args.axes, True)
    print()
if args.part in ("all", "io"):
    print("| what | samples | median ms | p99 ms | max ms |")
    print("|---|---|---|---|---|")
    measure_read_and_write()
