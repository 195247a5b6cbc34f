"""The exceptions of the stage_console client.

Every exception is a :class:`StageConsoleError`. Those that come from the
console carry its ``code`` (a stable JSON-RPC error code, one class per code)
and its ``message`` (a sentence for a person); those that the client raises
itself (no console, a connection lost, no answer in time, a move that did not
settle) have ``code`` ``None``.
"""

__all__ = [
    "StageConsoleError",
    "ConsoleUnavailable",
    "ConsoleTimeout",
    "ProtocolError",
    "MoveNotSettled",
    "ParseError",
    "InvalidRequest",
    "MethodNotFound",
    "InvalidParams",
    "InternalError",
    "NoControl",
    "LimitRefused",
    "AxisUnknown",
    "ConsoleEnding",
    "RemoteMovesRefused",
    "MoveRefused",
    "error_for_code",
]


class StageConsoleError(Exception):
    """Base of every error of the client.

    ``message`` is the whole sentence (``str(error)`` gives the same),
    ``code`` the console's error code or ``None``, ``server_message`` the
    console's own text (``None`` for the client's own errors) and ``data``
    the error's ``data`` member, if the console sent one.
    """

    code = None

    def __init__(self, message, server_message=None, data=None):
        super().__init__(message)
        self.message = message
        self.server_message = server_message
        self.data = data

    def __str__(self):
        return self.message


class ConsoleUnavailable(StageConsoleError):
    """No console serves at the socket, or the connection to it was lost."""


class ConsoleTimeout(ConsoleUnavailable):
    """The console did not answer within the time-out."""


class ProtocolError(ConsoleUnavailable):
    """The console sent something that is not the protocol (the connection is
    closed)."""


class MoveNotSettled(StageConsoleError):
    """A move that was waited for ended without settling on its target.

    ``outcome`` is ``"stopped"``, ``"faulted"`` or ``"timeout"``; ``result``
    is the :class:`~stage_console.WaitResult` with the axis's position.
    """

    def __init__(self, message, result):
        super().__init__(message)
        self.result = result
        self.outcome = result.outcome


class ParseError(StageConsoleError):
    """The console could not read the request (-32700)."""

    code = -32700


class InvalidRequest(StageConsoleError):
    """The request was not a valid JSON-RPC request (-32600)."""

    code = -32600


class MethodNotFound(StageConsoleError):
    """The console does not know the method (-32601)."""

    code = -32601


class InvalidParams(StageConsoleError):
    """A parameter is missing, of the wrong type or out of range (-32602)."""

    code = -32602


class InternalError(StageConsoleError):
    """The console failed inside (-32603)."""

    code = -32603


class NoControl(StageConsoleError):
    """Moving, zeroing and tuning need control, which this client does not
    hold: another client holds it, or the operator took it away (-32001)."""

    code = -32001


class LimitRefused(StageConsoleError):
    """A travel limit refuses the move; the message is the limit's refusal
    line (-32002)."""

    code = -32002


class AxisUnknown(StageConsoleError, LookupError):
    """No axis has this index or name (-32003)."""

    code = -32003


class ConsoleEnding(ConsoleUnavailable):
    """The console is ending (-32004, or its ``console_ending`` notice)."""

    code = -32004


class RemoteMovesRefused(StageConsoleError):
    """The operator refuses remote moves (after Esc, until they are allowed
    again in the console's Remote window) (-32005)."""

    code = -32005


class MoveRefused(StageConsoleError):
    """The controller's range or state refuses the move (-32006)."""

    code = -32006


_BY_CODE = {
    cls.code: cls
    for cls in (
        ParseError,
        InvalidRequest,
        MethodNotFound,
        InvalidParams,
        InternalError,
        NoControl,
        LimitRefused,
        AxisUnknown,
        ConsoleEnding,
        RemoteMovesRefused,
        MoveRefused,
    )
}


def error_for_code(code, server_message, data=None, message=None):
    """The exception for a JSON-RPC error object of the console.

    A code this client does not know gives a :class:`StageConsoleError`
    whose ``code`` is that code.
    """
    cls = _BY_CODE.get(code)
    text = message if message is not None else server_message
    if cls is None:
        error = StageConsoleError(text, server_message, data)
        error.code = code
        return error
    return cls(text, server_message, data)
