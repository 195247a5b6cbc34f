"""A client of the stage console's control API, on the standard library only.

The running console (stage-console) serves scripts on a Unix socket; this
package speaks its protocol (JSON-RPC 2.0, one object per line; see
docs/control.md)::

    from stage_console import Console

    with Console() as console:
        x = console.axes["X"]
        x.move_to(1000.0)          # returns once the axis has settled
        print(x.position)
        console.stop_all()

Every error is a :class:`StageConsoleError`; errors from the console carry
its message and code, one class per code.
"""

from .console import Axes, Axis, AxisStatus, Console, Record, Status, WaitResult
from ._connection import default_socket_path
from .errors import *  # noqa: F401,F403
from .errors import __all__ as _error_names

__version__ = "0.1.0"

__all__ = [
    "Console",
    "Axis",
    "Axes",
    "Status",
    "AxisStatus",
    "WaitResult",
    "Record",
    "default_socket_path",
    "__version__",
] + [name for name in _error_names if name != "error_for_code"]
