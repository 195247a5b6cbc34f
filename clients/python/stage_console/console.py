"""The console as a Python object: its axes, their status, moves, and
control."""

import socket
import time

from . import errors
from ._connection import Connection, default_socket_path, number

__all__ = ["Console", "Axis", "Axes", "Status", "AxisStatus", "WaitResult", "Record"]

# The console's own bound on one wait.
MAX_WAIT_S = 3600.0
UNITS = ("native", "counts")


class Record:
    """A JSON object of the console with its members as attributes
    (``status.time``) and items (``status["time"]``); nested objects are
    Records too. ``raw`` is the object as the console sent it."""

    __slots__ = ("raw",)

    def __init__(self, raw):
        object.__setattr__(self, "raw", raw if isinstance(raw, dict) else {})

    @staticmethod
    def _wrap(value):
        if isinstance(value, dict):
            return Record(value)
        if isinstance(value, list):
            return [Record._wrap(item) for item in value]
        return value

    def __getattr__(self, name):
        try:
            return self._wrap(self.raw[name])
        except KeyError:
            raise AttributeError(
                "%s has no %r (the console sent %s)" % (type(self).__name__, name, ", ".join(self.raw) or "nothing")
            ) from None

    def __getitem__(self, name):
        return self._wrap(self.raw[name])

    def get(self, name, default=None):
        """The member ``name``, or ``default`` when the console sent none."""
        return self._wrap(self.raw.get(name, default))

    def __setattr__(self, name, value):
        raise AttributeError("%s is read-only" % type(self).__name__)

    def __eq__(self, other):
        return isinstance(other, Record) and self.raw == other.raw

    __hash__ = None

    def __repr__(self):
        return "%s(%r)" % (type(self).__name__, self.raw)


class AxisStatus(Record):
    """One axis of a status: ``index``, ``name``, ``position`` (native units)
    and ``position_counts``, ``ideal_position``, ``ideal_counts``, ``flags``
    (``limit1``, ``limit2``, ``reverse``, ``max_speed``, ``busy``,
    ``active_high``, ``error``), ``busy``, ``error``, ``limit``, and
    ``target``/``target_counts`` (``None`` when no move is in force)."""


class Status(Record):
    """The console's status: ``time`` (seconds), ``remote_moves_allowed``,
    ``control`` (``held``, ``mine``, ``holder_pid``) and ``axes``, a list of
    :class:`AxisStatus`. ``status["X"]`` or ``status.axis(0)`` picks one
    axis by name or index."""

    @property
    def axes(self):
        axes = self.raw.get("axes")
        return [AxisStatus(axis) for axis in axes] if isinstance(axes, list) else []

    def axis(self, key):
        """The :class:`AxisStatus` of the axis with this index or name."""
        for axis in self.axes:
            if _matches(axis.raw, key):
                return axis
        raise errors.AxisUnknown("the status has no axis %r" % (key,))

    def __getitem__(self, key):
        if isinstance(key, int) or (isinstance(key, str) and key not in self.raw):
            return self.axis(key)
        return super().__getitem__(key)


class WaitResult(Record):
    """How a move ended: ``outcome`` (``"settled"``, ``"stopped"``,
    ``"faulted"`` or ``"timeout"``), ``axis`` (index), ``position`` and
    ``position_counts``."""

    @property
    def settled(self):
        """True when the axis settled on its target."""
        return self.raw.get("outcome") == "settled"


def _matches(axis_info, key):
    """Whether the axis object (with index and name) is the one that key
    (index or name, trailing blanks ignored) names."""
    if isinstance(key, bool):
        return False
    if isinstance(key, int):
        return axis_info.get("index") == key
    name = axis_info.get("name")
    return isinstance(key, str) and isinstance(name, str) and name.rstrip() == key.rstrip()


class Axis:
    """One axis of the console, as ``console.axes["X"]`` or
    ``console.axes[0]`` gives it.

    ``index``, ``name``, ``serial``, ``port``, ``units`` (``"um"``, or
    ``"En"`` for an axis in encoder counts), ``counts_per_unit`` and
    ``limits`` (``lower``/``upper``, ``None`` where there is none) are as the
    console listed them when the client connected.
    """

    def __init__(self, console, info):
        self._console = console
        self.info = Record(info)
        self.index = info.get("index")
        self.name = info.get("name")
        self.serial = info.get("serial")
        self.port = info.get("port")
        self.units = info.get("units")
        self.counts_per_unit = info.get("counts_per_unit")
        self.limits = Record(info.get("limits") or {})

    def __repr__(self):
        return "<Axis %d %r>" % (self.index, self.name)

    # Reading: never needs control.
    @property
    def status(self):
        """This axis's :class:`AxisStatus`, read now."""
        status = Status(self._console._call("get_status", {"axis": self.index}))
        return status.axis(self.index)

    @property
    def position(self):
        """The axis's position now, in its native units."""
        return self.status.position

    @property
    def position_counts(self):
        """The axis's position now, in encoder counts."""
        return self.status.position_counts

    # Moving: takes control first (see Console.acquire_control).
    def move_to(self, position, wait=True, timeout=None, units="native"):
        """Moves the axis to ``position``, as the operator's GO does with the
        same number in the target box.

        With ``wait`` (the default) returns the :class:`WaitResult` once the
        axis has settled, and raises :class:`MoveNotSettled` when the move
        was stopped, faulted, or still going after ``timeout`` seconds (None:
        the console's longest wait, an hour). With ``wait=False`` returns at
        once, the target (``target``, ``target_counts``) in force.

        Raises :class:`LimitRefused` beyond a travel limit,
        :class:`MoveRefused` when the controller cannot take the target,
        :class:`NoControl` or :class:`RemoteMovesRefused` when the client may
        not move.
        """
        params = {"axis": self.index, "position": number(position, "position"), "units": _units(units)}
        return self._move("move_absolute", params, wait, timeout)

    def move_by(self, distance, wait=True, timeout=None, units="native"):
        """Moves the axis by ``distance``, counted from the move in force (or
        the ideal position), as the operator's Rel does. Otherwise as
        :meth:`move_to`."""
        params = {"axis": self.index, "distance": number(distance, "distance"), "units": _units(units)}
        return self._move("move_relative", params, wait, timeout)

    def _move(self, method, params, wait, timeout):
        result = Record(self._console._call_with_control(method, params))
        if not wait:
            return result
        outcome = self.wait(MAX_WAIT_S if timeout is None else timeout)
        if not outcome.settled:
            raise errors.MoveNotSettled(
                "axis %s: the move to %s %s %s at %s"
                % (
                    self.name,
                    result.get("target"),
                    self.units,
                    {"stopped": "was stopped", "faulted": "faulted", "timeout": "was still going"}.get(
                        outcome.get("outcome"), "ended (%s)" % outcome.get("outcome")
                    ),
                    outcome.get("position"),
                ),
                outcome,
            )
        return outcome

    def wait(self, timeout=60.0):
        """Waits until the axis's move has ended, at most ``timeout`` seconds
        (0 < timeout <= 3600), and returns how (a :class:`WaitResult`; it
        raises nothing for a move that was stopped or did not end in time:
        look at ``outcome``). Answers at once when no move is going."""
        timeout = number(timeout, "timeout")
        if not 0 < timeout <= MAX_WAIT_S:
            raise ValueError("timeout must be more than 0 and at most %g s, not %r" % (MAX_WAIT_S, timeout))
        # The console answers when the move ends or at the time-out; the
        # client waits that long and its usual time-out for the answer.
        result = self._console._call(
            "wait", {"axis": self.index, "timeout_s": timeout}, timeout=timeout + self._console.timeout
        )
        return WaitResult(result)

    def stop(self):
        """Stops the axis, as its STOP button does. Needs no control: any
        client may stop any axis at any time."""
        self._console._call("stop", {"axis": self.index})

    def zero(self):
        """Makes the axis's present position its zero, as its ZERO button
        does. Takes control first."""
        self._console._call_with_control("zero", {"axis": self.index})

    # Tuning: reading needs no control, setting does.
    def get_tuning(self):
        """The axis's eight tuning values as a dict: ``p``, ``i``, ``d``,
        ``acc``, ``max_speed``, ``torque``, ``f_error``, ``speed``."""
        result = self._console._call("get_tuning", {"axis": self.index})
        values = result.get("values") if isinstance(result, dict) else None
        return dict(values) if isinstance(values, dict) else {}

    def set_tuning(self, values=None, **more):
        """Sets any of the eight tuning values (a dict, or keywords), as the
        sliders do; the console checks every value's range before it applies
        any. Takes control first. Returns the values now in force."""
        values = dict(values or {}, **more)
        if not values:
            raise ValueError("set_tuning needs at least one value")
        result = self._console._call_with_control(
            "set_tuning", {"axis": self.index, "values": {k: number(v, k) for k, v in values.items()}}
        )
        values = result.get("values") if isinstance(result, dict) else None
        return dict(values) if isinstance(values, dict) else {}

    tuning = property(get_tuning, set_tuning, doc="The tuning values (get_tuning / set_tuning).")


def _units(units):
    if units not in UNITS:
        raise ValueError("units must be 'native' or 'counts', not %r" % (units,))
    return units


class Axes:
    """The console's axes, by index (``axes[0]``) or name (``axes["X"]``);
    iterable, in the order of the main window's rows."""

    def __init__(self, console, infos):
        self._axes = [Axis(console, info) for info in infos]

    def __len__(self):
        return len(self._axes)

    def __iter__(self):
        return iter(self._axes)

    def __contains__(self, key):
        return any(_matches(axis.info.raw, key) for axis in self._axes)

    def __getitem__(self, key):
        for axis in self._axes:
            if _matches(axis.info.raw, key):
                return axis
        names = ", ".join(repr(axis.name) for axis in self._axes) or "none"
        raise errors.AxisUnknown(
            "the console has no axis %r (its axes: %s, or their indexes 0 to %d)"
            % (key, names, len(self._axes) - 1)
            if self._axes
            else "the console has no axis %r: it has no axes yet (is its main window open?)" % (key,)
        )

    @property
    def names(self):
        """The axes' names, in order."""
        return [axis.name for axis in self._axes]

    def __repr__(self):
        return "<Axes %s>" % ", ".join(repr(axis.name) for axis in self._axes)


class Console:
    """A connection to the running stage console.

    ``Console()`` connects to the console's default socket,
    ``$XDG_RUNTIME_DIR/stage-console/control.sock``; ``Console(path)`` to
    another (the console's ``--control PATH``). ``timeout`` bounds every
    wait for an answer, in seconds (a ``wait`` gets its own time-out on top).
    Raises :class:`ConsoleUnavailable` when no console serves there.

    Reading and stopping never need control. Moves, zero and tuning do: the
    first of them takes control for this client (``acquire_control``), and
    the client keeps it until it releases it, disconnects, or the operator
    takes it away; after that, the client takes it again only when asked to
    (``acquire_control()``), so that a script never quietly wins control
    back from the operator.

    Use it as a context manager (``with Console() as console:``) or call
    ``close()``. One thread at a time.
    """

    def __init__(self, path=None, timeout=10.0):
        self.timeout = number(timeout, "timeout")
        if self.timeout <= 0:
            raise ValueError("timeout must be more than 0")
        self.path = default_socket_path() if path is None else str(path)
        self._connection = Connection(self.path, self.timeout)
        self._connection.on_control_lost = self._control_lost
        self._control = None  # None: never asked; True: held; False: lost
        self._axes = None

    # Context manager and end.
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        """Closes the connection; the console releases this client's control
        (moves under way run to their targets)."""
        self._connection.close()

    @property
    def closed(self):
        """True once the connection is closed or lost."""
        return self._connection.closed

    # Requests.
    def _call(self, method, params=None, timeout=None):
        return self._connection.call(method, params, timeout)

    def _control_lost(self, reason):
        self._control = False

    def _call_with_control(self, method, params):
        if self._control is None:
            self.acquire_control()
        elif self._control is False:
            raise errors.NoControl(
                "this client lost control of the console (%s); it takes control again only when told to: "
                "call acquire_control()" % (self._connection.control_lost_reason or "released")
            )
        try:
            return self._call(method, params)
        except errors.NoControl as error:
            self._control = False
            raise errors.NoControl(
                "this client no longer holds control of the console: %s" % error.server_message,
                error.server_message,
                error.data,
            ) from None
        except errors.RemoteMovesRefused:
            self._control = False
            raise

    # Control.
    @property
    def has_control(self):
        """True while this client holds control (as far as it knows)."""
        return self._control is True

    def acquire_control(self):
        """Takes control for this client. Raises :class:`NoControl` when
        another client holds it (the console's message names it), and
        :class:`RemoteMovesRefused` when the operator refuses remote moves
        (after Esc, until allowed again in the console's Remote window)."""
        try:
            self._call("acquire_control")
        except errors.NoControl as error:
            raise errors.NoControl(
                "cannot take control of the console: %s This client may still read and stop."
                % error.server_message,
                error.server_message,
                error.data,
            ) from None
        self._control = True
        self._connection.control_lost_reason = None

    def release_control(self):
        """Gives control back; the next move takes it again."""
        self._call("release_control")
        self._control = None

    # Reading.
    def version(self):
        """The console's ``name``, ``version`` and ``api`` as a Record."""
        return Record(self._call("version"))

    @property
    def axes(self):
        """The console's axes (:class:`Axes`), as listed at the first use
        that found any (a console still in its start-up window has none)."""
        if self._axes is not None:
            return self._axes
        result = self._call("list_axes")
        infos = result.get("axes") if isinstance(result, dict) else None
        if not isinstance(infos, list) or not all(isinstance(info, dict) for info in infos):
            raise errors.ProtocolError("the console's list of axes is not a list of objects")
        axes = Axes(self, infos)
        if infos:
            self._axes = axes
        return axes

    def status(self):
        """Every axis's status now (:class:`Status`)."""
        return Status(self._call("get_status"))

    # Stopping: never needs control.
    def stop_all(self):
        """Stops every axis, as the operator's Esc does for the axes (it
        takes no control away). Needs no control."""
        self._call("stop_all")

    # Status notices.
    def subscribe(self, rate_hz=10, timeout=None):
        """Status notices at ``rate_hz`` (1 to 100 a second, at most one per
        tick of the console), as an iterator of :class:`Status`::

            for status in console.subscribe(50):
                print(status.time, status["X"].position)

        Leaving the loop (or closing the iterator) unsubscribes. When no
        notice comes within ``timeout`` seconds (default: the client's
        time-out, and at least three periods) :class:`ConsoleTimeout` is
        raised. Notices that come faster than the loop takes them are kept
        up to a bound, then the oldest are dropped."""
        rate_hz = number(rate_hz, "rate_hz")
        self._call("subscribe", {"rate_hz": rate_hz})
        self._connection.subscribed = True
        self._connection.status_queue.clear()
        if timeout is None:
            timeout = max(self.timeout, 3.0 / max(rate_hz, 1))
        return self._notices(timeout)

    def _notices(self, timeout):
        connection = self._connection
        try:
            while True:
                try:
                    params = connection.next_status(time.monotonic() + timeout)
                except socket.timeout:
                    raise errors.ConsoleTimeout("no status notice came within %g s" % timeout) from None
                yield Status(params)
        finally:
            connection.subscribed = False
            connection.status_queue.clear()
            if not connection.closed:
                try:
                    self._call("unsubscribe")
                except errors.StageConsoleError:
                    pass
