"""A test double of the console's control API: a small server on the standard
library that follows docs/control.md closely enough for the clients' tests,
on simulated axes that move at a fixed speed. It is NOT the console; the tests
against the real console are in real_console_test.py.

    fake = FakeConsole(path, axes=("X", "Y", "Z"))
    fake.start()
    ...                      # clients connect to path
    fake.revoke_control()    # what the operator's Revoke does
    fake.refuse_remote_moves()  # what the operator's Esc does
    fake.stop()
"""

import json
import math
import os
import socket
import threading
import time

TICK_S = 0.01
SPEED_COUNTS_PER_S = 20000.0
REFUSED = "Remote moves are refused by the operator until allowed again in the Remote window."
TUNING_RANGES = {
    "p": (0, 155),
    "i": (0, 155),
    "d": (0, 155),
    "acc": (1, 255),
    "max_speed": (5, 255),
    "torque": (1, 255),
    "f_error": (1, 255),
    "speed": (-10000, 10000),
}


class RpcError(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code
        self.message = message


class FakeAxis:
    def __init__(self, index, name, counts_per_unit, lower, upper):
        self.index = index
        self.name = name
        self.counts_per_unit = counts_per_unit
        self.lower = lower
        self.upper = upper
        self.position = 0.0  # counts
        self.target = None  # counts, while a move is in force
        self.stops = 0
        self.tuning = {"p": 10, "i": 0, "d": 40, "acc": 20, "max_speed": 100, "torque": 255, "f_error": 50, "speed": 0}


class Client:
    def __init__(self, connection, pid):
        self.connection = connection
        self.pid = pid
        self.rate_hz = 0
        self.last_status = 0.0
        self.waits = []  # (id, axis, deadline, stops at start)
        self.send_lock = threading.Lock()

    def send(self, message):
        data = (json.dumps(message) + "\n").encode()
        with self.send_lock:
            try:
                self.connection.sendall(data)
            except OSError:
                pass


class FakeConsole:
    def __init__(self, path, axes=("X", "Y", "Z"), counts_per_unit=10.0, limits=(-50000.0, 50000.0)):
        self.path = path
        self.axes = [FakeAxis(i, name, counts_per_unit, *limits) for i, name in enumerate(axes)]
        self.lock = threading.RLock()
        self.clients = []
        self.holder = None
        self.remote_moves_allowed = True
        self.silent = False  # read requests, answer none
        self.garbage = None  # bytes sent instead of the next answer
        self.limit_message = None  # the refusal line of a travel limit, when set
        self.requests = []  # (method, params) as they came
        self._running = False
        self._threads = []
        self._server = None
        self.start_time = time.monotonic()

    # Life.
    def start(self):
        self._server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._server.bind(self.path)
        self._server.listen(8)
        self._server.settimeout(0.1)
        self._running = True
        for target in (self._accept, self._tick):
            thread = threading.Thread(target=target, daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def stop(self, ending=False):
        """Ends the fake; with ending, says console_ending first, as the console
        does at its end."""
        self._running = False
        with self.lock:
            clients = list(self.clients)
        for client in clients:
            if ending:
                client.send({"jsonrpc": "2.0", "method": "console_ending", "params": {}})
            try:
                client.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            client.connection.close()
        for thread in self._threads:
            thread.join(5)
        if self._server is not None:
            self._server.close()
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass

    # What the operator does.
    def revoke_control(self, reason="revoked by the operator"):
        with self.lock:
            holder, self.holder = self.holder, None
        if holder is not None:
            holder.send({"jsonrpc": "2.0", "method": "control_lost", "params": {"reason": reason}})

    def refuse_remote_moves(self):
        """Esc: every axis stops, control is revoked, remote moves refused."""
        with self.lock:
            for axis in self.axes:
                self._stop_axis(axis)
            self.remote_moves_allowed = False
        self.revoke_control("remote moves refused by the operator")

    def allow_remote_moves(self):
        with self.lock:
            self.remote_moves_allowed = True

    def operator_holds_axis(self, index, moving):
        """A move that never ends (a controller that stays busy)."""
        with self.lock:
            self.axes[index].target = math.inf if moving else None

    # Threads.
    def _accept(self):
        while self._running:
            try:
                connection, _ = self._server.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            credentials = connection.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12)
            pid = int.from_bytes(credentials[:4], "little")
            client = Client(connection, pid)
            with self.lock:
                self.clients.append(client)
            thread = threading.Thread(target=self._serve, args=(client,), daemon=True)
            thread.start()

    def _serve(self, client):
        buffer = b""
        try:
            while self._running:
                try:
                    chunk = client.connection.recv(65536)
                except OSError:
                    break
                if not chunk:
                    break
                buffer += chunk
                while b"\n" in buffer:
                    line, buffer = buffer.split(b"\n", 1)
                    if line.strip():
                        self._handle_line(client, line)
        finally:
            with self.lock:
                if client in self.clients:
                    self.clients.remove(client)
                if self.holder is client:
                    self.holder = None
            client.connection.close()

    def _handle_line(self, client, line):
        try:
            request = json.loads(line)
        except ValueError:
            client.send({"jsonrpc": "2.0", "id": None, "error": {"code": -32700, "message": "not JSON"}})
            return
        method = request.get("method")
        params = request.get("params", {})
        request_id = request.get("id")
        with self.lock:
            self.requests.append((method, params))
            if self.silent:
                return
            if self.garbage is not None:
                garbage, self.garbage = self.garbage, None
                try:
                    client.connection.sendall(garbage)
                except OSError:
                    pass
                return
            try:
                handler = getattr(self, "_m_" + str(method), None)
                if handler is None:
                    raise RpcError(-32601, "unknown method '%s'" % method)
                result = handler(client, params, request_id)
            except RpcError as error:
                if request_id is not None:
                    client.send({"jsonrpc": "2.0", "id": request_id, "error": {"code": error.code, "message": error.message}})
                return
        if result is not None and request_id is not None:
            client.send({"jsonrpc": "2.0", "id": request_id, "result": result})

    def _tick(self):
        while self._running:
            time.sleep(TICK_S)
            now = time.monotonic()
            notices = []
            answers = []
            with self.lock:
                for axis in self.axes:
                    if axis.target is not None and math.isfinite(axis.target):
                        step = SPEED_COUNTS_PER_S * TICK_S
                        if abs(axis.target - axis.position) <= step:
                            axis.position = axis.target
                            axis.target = None
                        else:
                            axis.position += math.copysign(step, axis.target - axis.position)
                for client in self.clients:
                    if client.rate_hz and now - client.last_status >= 1.0 / client.rate_hz - 1e-4:
                        client.last_status = now
                        notices.append((client, self._status(client, None)))
                    for wait in list(client.waits):
                        request_id, axis, deadline, stops = wait
                        outcome = None
                        if axis.stops != stops:
                            outcome = "stopped"
                        elif axis.target is None:
                            outcome = "settled"
                        elif now >= deadline:
                            outcome = "timeout"
                        if outcome:
                            client.waits.remove(wait)
                            answers.append((client, request_id, self._wait_result(axis, outcome)))
            for client, params in notices:
                client.send({"jsonrpc": "2.0", "method": "status", "params": params})
            for client, request_id, result in answers:
                client.send({"jsonrpc": "2.0", "id": request_id, "result": result})

    # Helpers.
    def _axis(self, params):
        if not isinstance(params, dict) or "axis" not in params:
            raise RpcError(-32602, "the axis is missing")
        key = params["axis"]
        for axis in self.axes:
            if key == axis.index or (isinstance(key, str) and key.rstrip() == axis.name):
                return axis
        raise RpcError(-32003, "there is no axis %s" % json.dumps(key))

    def _need_control(self, client):
        if not self.remote_moves_allowed:
            raise RpcError(-32005, REFUSED)
        if self.holder is not client:
            raise RpcError(-32001, self._held_by_another() if self.holder else "This client does not hold control.")

    def _held_by_another(self):
        return "Another client (pid %d) holds control." % self.holder.pid

    def _native(self, axis, counts):
        return counts / axis.counts_per_unit

    def _axis_status(self, axis):
        busy = axis.target is not None
        target = axis.target if axis.target is not None and math.isfinite(axis.target) else None
        return {
            "index": axis.index,
            "name": axis.name,
            "position": self._native(axis, axis.position),
            "position_counts": round(axis.position),
            "ideal_position": self._native(axis, axis.position),
            "ideal_counts": round(axis.position),
            "flags": {"limit1": False, "limit2": False, "reverse": False, "max_speed": False,
                      "busy": busy, "active_high": False, "error": False},
            "busy": busy,
            "error": False,
            "limit": False,
            "target": None if target is None else self._native(axis, target),
            "target_counts": target,
        }

    def _status(self, client, axis):
        return {
            "time": time.monotonic() - self.start_time,
            "remote_moves_allowed": self.remote_moves_allowed,
            "control": {"held": self.holder is not None, "mine": self.holder is client,
                        "holder_pid": self.holder.pid if self.holder else None},
            "axes": [self._axis_status(a) for a in (self.axes if axis is None else [axis])],
        }

    def _wait_result(self, axis, outcome):
        return {"axis": axis.index, "outcome": outcome, "position": self._native(axis, axis.position),
                "position_counts": round(axis.position)}

    def _stop_axis(self, axis):
        axis.target = None
        axis.stops += 1

    def _number(self, params, name):
        value = params.get(name) if isinstance(params, dict) else None
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            raise RpcError(-32602, "%s must be a finite number" % name)
        return float(value)

    def _counts(self, axis, params, value):
        units = params.get("units", "native")
        if units not in ("native", "counts"):
            raise RpcError(-32602, "units must be \"native\" or \"counts\"")
        return value if units == "counts" else value * axis.counts_per_unit

    def _move_to(self, client, axis, target_counts):
        self._need_control(client)
        if not axis.lower * axis.counts_per_unit <= target_counts <= axis.upper * axis.counts_per_unit:
            raise RpcError(-32002, self.limit_message or "Beyond the travel limit: %s must stay within %g .. %g um" % (
                axis.name, axis.lower, axis.upper))
        axis.target = target_counts
        return {"axis": axis.index, "target": self._native(axis, target_counts), "target_counts": target_counts}

    # Methods.
    def _m_version(self, client, params, request_id):
        return {"name": "stage-console", "version": "0.1.0", "api": 1}

    def _m_list_axes(self, client, params, request_id):
        return {"axes": [{"index": a.index, "name": a.name, "serial": "Fake" + a.name, "port": "",
                          "units": "um", "counts_per_unit": a.counts_per_unit,
                          "limits": {"lower": a.lower, "upper": a.upper},
                          "limits_counts": {"lower": a.lower * a.counts_per_unit, "upper": a.upper * a.counts_per_unit}}
                         for a in self.axes]}

    def _m_get_status(self, client, params, request_id):
        axis = self._axis(params) if isinstance(params, dict) and "axis" in params else None
        return self._status(client, axis)

    def _m_move_absolute(self, client, params, request_id):
        axis = self._axis(params)
        return self._move_to(client, axis, self._counts(axis, params, self._number(params, "position")))

    def _m_move_relative(self, client, params, request_id):
        axis = self._axis(params)
        start = axis.target if axis.target is not None and math.isfinite(axis.target) else axis.position
        return self._move_to(client, axis, start + self._counts(axis, params, self._number(params, "distance")))

    def _m_stop(self, client, params, request_id):
        self._stop_axis(self._axis(params))
        return {}

    def _m_stop_all(self, client, params, request_id):
        for axis in self.axes:
            self._stop_axis(axis)
        return {}

    def _m_zero(self, client, params, request_id):
        axis = self._axis(params)
        self._need_control(client)
        axis.position = 0.0
        return {}

    def _m_get_tuning(self, client, params, request_id):
        axis = self._axis(params)
        return {"axis": axis.index, "values": dict(axis.tuning)}

    def _m_set_tuning(self, client, params, request_id):
        axis = self._axis(params)
        values = params.get("values")
        if not isinstance(values, dict):
            raise RpcError(-32602, "values must be an object")
        for name, value in values.items():
            if name not in TUNING_RANGES:
                raise RpcError(-32602, "there is no tuning value '%s'" % name)
            low, high = TUNING_RANGES[name]
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not low <= value <= high:
                raise RpcError(-32602, "%s must be from %d to %d" % (name, low, high))
        self._need_control(client)
        axis.tuning.update(values)
        return {"axis": axis.index, "values": dict(axis.tuning)}

    def _m_wait(self, client, params, request_id):
        axis = self._axis(params)
        timeout = self._number(params, "timeout_s")
        if not 0 < timeout <= 3600:
            raise RpcError(-32602, "timeout_s must be more than 0 and at most 3600")
        if axis.target is None:
            return self._wait_result(axis, "settled")
        client.waits.append((request_id, axis, time.monotonic() + timeout, axis.stops))
        return None  # answered by the tick

    def _m_subscribe(self, client, params, request_id):
        rate = self._number(params, "rate_hz")
        if not 1 <= rate <= 100:
            raise RpcError(-32602, "rate_hz must be from 1 to 100")
        client.rate_hz = rate
        return {"rate_hz": rate}

    def _m_unsubscribe(self, client, params, request_id):
        client.rate_hz = 0
        return {}

    def _m_acquire_control(self, client, params, request_id):
        if not self.remote_moves_allowed:
            raise RpcError(-32005, REFUSED)
        if self.holder is not None and self.holder is not client:
            raise RpcError(-32001, self._held_by_another())
        self.holder = client
        return {"control": True}

    def _m_release_control(self, client, params, request_id):
        if self.holder is client:
            self.holder = None
        return {"control": False}
