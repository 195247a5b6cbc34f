"""One JSON-RPC 2.0 connection to the console: one JSON object per line on a
Unix socket. Every read has a deadline; whatever the console sends is bounded
and checked before it is used."""

import collections
import json
import math
import os
import socket
import struct
import time

from . import errors

# The longest line the client takes from the console. A status of 32 axes is
# about 20 kB; a longer line is not the protocol.
MAX_LINE_BYTES = 4 * 1024 * 1024
# Status notices kept for a subscriber that reads more slowly than they come:
# the oldest are dropped.
MAX_QUEUED_STATUS = 1000

_READ_CHUNK = 65536


def default_socket_path():
    """``$XDG_RUNTIME_DIR/stage-console/control.sock``, where the console
    serves by default."""
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if not runtime:
        raise errors.ConsoleUnavailable(
            "XDG_RUNTIME_DIR is not set, so the console's socket cannot be found: "
            "give its path (--control PATH, or Console(path))"
        )
    return os.path.join(runtime, "stage-console", "control.sock")


def _reject_constant(name):
    raise ValueError("%s is not a JSON number" % name)


def _decode(line):
    """The object on one line from the console, or ProtocolError."""
    try:
        message = json.loads(line.decode("utf-8"), parse_constant=_reject_constant)
    except (ValueError, RecursionError) as error:
        raise errors.ProtocolError("the console sent a line that is not JSON (%s)" % error) from None
    if not isinstance(message, dict):
        raise errors.ProtocolError("the console sent a JSON value that is not an object")
    return message


class Connection:
    """The socket, the requests' ids, and the notices that come between the
    answers. Not for several threads at once."""

    def __init__(self, path, timeout):
        self.path = path
        self.timeout = timeout
        self._next_id = 1
        self._buffer = bytearray()
        self._closed_reason = None
        self._ending = False
        self.status_queue = collections.deque(maxlen=MAX_QUEUED_STATUS)
        self.subscribed = False
        self.control_lost_reason = None
        self.on_control_lost = None
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self._socket.settimeout(timeout)
            self._socket.connect(path)
            self._check_peer()
        except errors.StageConsoleError:
            self._socket.close()
            raise
        except FileNotFoundError:
            self._socket.close()
            raise errors.ConsoleUnavailable(
                "no console is serving at %s: the socket does not exist (is stage-console running, "
                "with its control API?)" % path
            ) from None
        except ConnectionRefusedError:
            self._socket.close()
            raise errors.ConsoleUnavailable(
                "no console is serving at %s: the socket is left from a console that has ended" % path
            ) from None
        except socket.timeout:
            self._socket.close()
            raise errors.ConsoleTimeout(
                "the console at %s did not take the connection within %g s" % (path, timeout)
            ) from None
        except OSError as error:
            self._socket.close()
            raise errors.ConsoleUnavailable(
                "cannot connect to the console at %s: %s" % (path, error.strerror or error)
            ) from None

    def _check_peer(self):
        # The console refuses another user; the client refuses a server of
        # another user in turn, should a socket path be shared (/tmp).
        try:
            credentials = self._socket.getsockopt(
                socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i")
            )
        except OSError:
            return
        _pid, uid, _gid = struct.unpack("3i", credentials)
        if uid != os.getuid():
            raise errors.ConsoleUnavailable(
                "the server at %s runs as user id %d, not as this user (%d): not connecting"
                % (self.path, uid, os.getuid())
            )

    @property
    def closed(self):
        return self._closed_reason is not None

    def close(self, reason=None):
        """Closes the socket; later calls raise ConsoleUnavailable."""
        if self._closed_reason is None:
            self._closed_reason = reason or errors.ConsoleUnavailable(
                "the connection to the console is closed"
            )
            try:
                self._socket.close()
            except OSError:
                pass

    def _fail(self, error):
        self.close(error)
        raise error

    def _lost(self, what):
        if self._ending:
            return errors.ConsoleEnding("the console has ended (%s)" % what)
        return errors.ConsoleUnavailable("the console has gone away (%s)" % what)

    def send(self, method, params=None, notification=False):
        """Sends one request; returns its id (None for a notification)."""
        if self._closed_reason is not None:
            raise self._closed_reason
        request = {"jsonrpc": "2.0", "method": method}
        if params is not None:
            request["params"] = params
        request_id = None
        if not notification:
            request_id = self._next_id
            self._next_id += 1
            request["id"] = request_id
        data = (json.dumps(request, allow_nan=False, separators=(",", ":")) + "\n").encode("utf-8")
        try:
            self._socket.settimeout(self.timeout)
            self._socket.sendall(data)
        except socket.timeout:
            self._fail(errors.ConsoleTimeout("the console took no request within %g s" % self.timeout))
        except OSError as error:
            self._fail(self._lost(error.strerror or str(error)))
        return request_id

    def _read_line(self, deadline):
        while True:
            end = self._buffer.find(b"\n")
            if end >= 0:
                line = bytes(self._buffer[:end])
                del self._buffer[: end + 1]
                if line.endswith(b"\r"):
                    line = line[:-1]
                return line
            if len(self._buffer) > MAX_LINE_BYTES:
                self._fail(
                    errors.ProtocolError("the console sent a line longer than %d bytes" % MAX_LINE_BYTES)
                )
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise socket.timeout()
            try:
                self._socket.settimeout(remaining)
                chunk = self._socket.recv(_READ_CHUNK)
            except socket.timeout:
                raise
            except OSError as error:
                self._fail(self._lost(error.strerror or str(error)))
            if not chunk:
                self._fail(self._lost("it closed the connection"))
            self._buffer += chunk

    def read_message(self, deadline):
        """The next non-empty message; socket.timeout when the deadline
        passes first."""
        if self._closed_reason is not None:
            raise self._closed_reason
        while True:
            line = self._read_line(deadline)
            if line.strip():
                try:
                    return _decode(line)
                except errors.ProtocolError as error:
                    self._fail(error)

    def handle_notice(self, message):
        """Keeps what a notice from the console says."""
        method = message.get("method")
        params = message.get("params")
        if method == "status":
            if self.subscribed and isinstance(params, dict):
                self.status_queue.append(params)
        elif method == "control_lost":
            reason = params.get("reason") if isinstance(params, dict) else None
            self.control_lost_reason = reason if isinstance(reason, str) else "control was taken away"
            if self.on_control_lost is not None:
                self.on_control_lost(self.control_lost_reason)
        elif method == "console_ending":
            self._ending = True

    def call(self, method, params=None, timeout=None):
        """Sends a request and returns its result; raises the console's
        error as its exception class, or ConsoleTimeout."""
        timeout = self.timeout if timeout is None else timeout
        request_id = self.send(method, params)
        deadline = time.monotonic() + timeout
        while True:
            try:
                message = self.read_message(deadline)
            except socket.timeout:
                # A late answer would come out of turn: its id no longer
                # matches any request, and it is dropped.
                raise errors.ConsoleTimeout(
                    "the console did not answer %s within %g s" % (method, timeout)
                ) from None
            if "method" in message and "id" not in message:
                self.handle_notice(message)
                continue
            if message.get("id") != request_id:
                continue  # an answer to a request that timed out earlier
            if "error" in message:
                raise self._error(message["error"])
            if "result" not in message:
                self._fail(errors.ProtocolError("the console answered %s with neither result nor error" % method))
            return message["result"]

    def _error(self, error):
        if not isinstance(error, dict):
            return errors.ProtocolError("the console sent an error that is not an object")
        code = error.get("code")
        text = error.get("message")
        if not isinstance(code, int) or isinstance(code, bool):
            code = None
        if not isinstance(text, str):
            text = "the console gave no message"
        return errors.error_for_code(code, text, error.get("data"))

    def next_status(self, deadline):
        """The next status notice's params (a dict); socket.timeout when none
        comes before the deadline."""
        while not self.status_queue:
            message = self.read_message(deadline)
            if "method" in message and "id" not in message:
                self.handle_notice(message)
        return self.status_queue.popleft()


def number(value, what):
    """A finite int or float for a JSON parameter; ValueError/TypeError
    otherwise."""
    if isinstance(value, bool):
        raise TypeError("%s must be a number, not %r" % (what, value))
    if not isinstance(value, (int, float)):
        try:
            value = float(value)
        except (TypeError, ValueError):
            raise TypeError("%s must be a number, not %r" % (what, value)) from None
    if isinstance(value, float) and not math.isfinite(value):
        raise ValueError("%s must be finite, not %r" % (what, value))
    return value
