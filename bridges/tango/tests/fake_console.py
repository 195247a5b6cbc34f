#!/usr/bin/python3
"""A stand-in for the console's control API (docs/control.md) for the
bridge's own tests: the cases a real console cannot be made to show on
demand (a controller error, a limit switch, a server that answers nonsense)
and the bridge's behaviour when its console goes away. Axes move at a fixed
speed toward their targets, one step per 10 ms tick. Methods beyond the
protocol, for the tests only, start with "fake_".

    fake_console.py SOCKET [--axes N] [--speed UNITS_PER_S] [--limit LOWER:UPPER]
"""
import argparse
import json
import os
import selectors
import socket
import sys
import time

parser = argparse.ArgumentParser()
parser.add_argument("socket")
parser.add_argument("--axes", type=int, default=3)
parser.add_argument("--speed", type=float, default=2000.0)
parser.add_argument("--limit", default=None, help="LOWER:UPPER travel limits on every axis")
args = parser.parse_args()

NAMES = list("XYZUVWABCDEFGHIJKLMNOPQRSTUVWXYZ")
lower = upper = None
if args.limit:
    lower, upper = (float(v) for v in args.limit.split(":"))


class Axis:
    def __init__(self, index):
        self.index = index
        self.name = NAMES[index] if index < len(NAMES) else "A%d" % index
        self.position = 0.0
        self.target = None
        self.error = False
        self.limit = False


axes = [Axis(i) for i in range(args.axes)]
state = {"allowed": True, "holder": None}
clients = {}
start = time.monotonic()


class Client:
    def __init__(self, conn):
        self.conn = conn
        self.buffer = b""
        self.rate = 0
        self.next_status = 0.0


def send(client, message):
    try:
        client.conn.sendall((json.dumps(message) + "\n").encode())
    except OSError:
        pass


def status(client):
    return {
        "time": time.monotonic() - start,
        "remote_moves_allowed": state["allowed"],
        "control": {"held": state["holder"] is not None, "mine": state["holder"] is client, "holder_pid": None},
        "axes": [{
            "index": a.index, "name": a.name, "position": a.position, "position_counts": a.position * 128,
            "ideal_position": a.target if a.target is not None else a.position,
            "ideal_counts": 0, "flags": {}, "busy": a.target is not None, "error": a.error,
            "limit": a.limit, "target": a.target, "target_counts": None,
        } for a in axes],
    }


class Refused(Exception):
    def __init__(self, code, message):
        self.code, self.message = code, message


def find_axis(params):
    key = params.get("axis")
    for a in axes:
        if key == a.index or (isinstance(key, str) and key.strip() == a.name):
            return a
    raise Refused(-32003, "There is no axis %r." % (key,))


def need_control(client):
    if not state["allowed"]:
        raise Refused(-32005, "Remote moves are refused by the operator.")
    if state["holder"] is not client:
        raise Refused(-32001, "This client does not hold control.")


def handle(client, method, params):
    if method == "version":
        return {"name": "stage-console", "version": "0.1.0", "api": 1}
    if method == "list_axes":
        return {"axes": [{
            "index": a.index, "name": a.name, "serial": "FAKE%02d" % a.index, "port": a.index,
            "units": "um", "counts_per_unit": 128,
            "limits": {"lower": lower, "upper": upper}, "limits_counts": {"lower": None, "upper": None},
        } for a in axes]}
    if method == "get_status":
        return status(client)
    if method == "subscribe":
        client.rate = max(1, min(100, int(params.get("rate_hz", 10))))
        return {"rate_hz": client.rate}
    if method == "acquire_control":
        if not state["allowed"]:
            raise Refused(-32005, "Remote moves are refused by the operator.")
        if state["holder"] not in (None, client):
            raise Refused(-32001, "Another client holds control.")
        state["holder"] = client
        return {"control": True}
    if method == "release_control":
        if state["holder"] is client:
            state["holder"] = None
        return {"control": False}
    if method == "move_absolute":
        a = find_axis(params)
        need_control(client)
        position = params.get("position")
        if upper is not None and position > upper:
            raise Refused(-32002, "%s: %g um is beyond the upper travel limit %g um." % (a.name, position, upper))
        if lower is not None and position < lower:
            raise Refused(-32002, "%s: %g um is beyond the lower travel limit %g um." % (a.name, position, lower))
        a.target = float(position)
        return {"axis": a.index, "target": a.target, "target_counts": a.target * 128}
    if method == "stop":
        find_axis(params).target = None
        return {}
    if method == "stop_all":
        for a in axes:
            a.target = None
        return {}
    if method == "fake_escape":
        for a in axes:
            a.target = None
        state["allowed"] = False
        holder, state["holder"] = state["holder"], None
        if holder is not None:
            send(holder, {"jsonrpc": "2.0", "method": "control_lost",
                          "params": {"reason": "remote moves refused by the operator"}})
        return {}
    if method == "fake_allow":
        state["allowed"] = True
        return {}
    if method == "fake_fault":
        a = find_axis(params)
        a.error = bool(params.get("error", False))
        a.limit = bool(params.get("limit", False))
        return {}
    if method == "fake_end":
        for c in list(clients.values()):
            send(c, {"jsonrpc": "2.0", "method": "console_ending", "params": {}})
        sys.exit(0)
    raise Refused(-32601, "Unknown method %s." % method)


def on_line(client, line):
    try:
        request = json.loads(line)
    except ValueError:
        send(client, {"jsonrpc": "2.0", "id": None, "error": {"code": -32700, "message": "Parse error."}})
        return
    rid = request.get("id")
    try:
        result = handle(client, request.get("method"), request.get("params") or {})
        if rid is not None:
            send(client, {"jsonrpc": "2.0", "id": rid, "result": result})
    except Refused as refused:
        if rid is not None:
            send(client, {"jsonrpc": "2.0", "id": rid, "error": {"code": refused.code, "message": refused.message}})


try:
    os.unlink(args.socket)
except FileNotFoundError:
    pass
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind(args.socket)
server.listen(8)
server.setblocking(False)
selector = selectors.DefaultSelector()
selector.register(server, selectors.EVENT_READ)
print("fake console ready", flush=True)

next_tick = time.monotonic()
while True:
    for key, _ in selector.select(timeout=max(0.0, next_tick - time.monotonic())):
        if key.fileobj is server:
            conn, _ = server.accept()
            clients[conn] = Client(conn)
            selector.register(conn, selectors.EVENT_READ)
            continue
        client = clients[key.fileobj]
        data = client.conn.recv(65536)
        if not data:
            selector.unregister(client.conn)
            if state["holder"] is client:
                state["holder"] = None
            del clients[client.conn]
            client.conn.close()
            continue
        client.buffer += data
        while b"\n" in client.buffer:
            line, client.buffer = client.buffer.split(b"\n", 1)
            on_line(client, line)
    now = time.monotonic()
    if now >= next_tick:
        next_tick += 0.01
        step = args.speed * 0.01
        for a in axes:
            if a.target is not None:
                if abs(a.target - a.position) <= step:
                    a.position, a.target = a.target, None
                else:
                    a.position += step if a.target > a.position else -step
        for c in list(clients.values()):
            if c.rate and now >= c.next_status:
                c.next_status = now + 1.0 / c.rate
                send(c, {"jsonrpc": "2.0", "method": "status", "params": status(c)})
