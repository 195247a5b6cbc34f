"""stage-console-ctl: the console's control API from a shell or cron.

Exit status: 0 done, 1 failed (no console, refused, timed out, a move that
did not settle), 2 the command line was wrong."""

import json
import math
import sys
import unicodedata

from . import __version__, errors
from .console import Console, MAX_WAIT_S

PROGRAM = "stage-console-ctl"
DEFAULT_WAIT_S = 60.0

USAGE = """\
Usage: stage-console-ctl [--control PATH] [--timeout S] COMMAND [ARGUMENTS]

Drives the running stage-console through its control API (a Unix socket), the
way the operator's buttons do: moves take control of the console for as long
as the command runs; reading and stopping never need it.

Commands:
  status [AXIS]            show every axis (or one): position, target, busy,
                           error and limit, and who holds control
  axes                     list the axes: index, name, serial, units, limits
  move AXIS POSITION       move to POSITION, as GO does
  move AXIS +D | -D        move by D from the move in force, as Rel does
  move AXIS =POSITION      move to POSITION, also a negative one (=-5)
  stop AXIS                stop the axis (needs no control)
  stop-all                 stop every axis (needs no control)
  zero AXIS                make the axis's present position its zero
  wait AXIS [TIMEOUT]      wait until the axis's move has ended, up to TIMEOUT
                           seconds (default 60, at most 3600); status 1 unless
                           it settled

AXIS is an index from 0 or a name (X). Positions are in the axis's units (um,
or encoder counts for an axis shown in En); a number with a sign is always
relative, so a negative target is written =-5.

Options:
  --control PATH           the console's socket (its --control PATH) instead of
                           $XDG_RUNTIME_DIR/stage-console/control.sock
  --timeout S              wait up to S seconds for each answer (default 10)
  --counts                 move: POSITION or D in encoder counts
  --wait[=TIMEOUT]         move: then wait as wait does
  --json                   status, axes: print the console's JSON answer
  -h, --help               show this help and end
  -v, --version            show the version and end

Exit status: 0 done; 1 failed (no console, refused by the console, no answer
in time, a move that did not settle); 2 the command line was wrong.
"""

VERSION_TEXT = (
    "%s %s\n"
    "Copyright (C) 2026 the stage-console developers.\n"
    "License GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n"
)

# Unicode categories shown escaped: controls, format characters (bidi
# overrides), surrogates, private use, unassigned, line and paragraph
# separators.
_ESCAPED_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}


def printable(text):
    """Text from outside (the console's messages, names) with every control
    or invisible character, and the backslash, shown as \\xNN or \\uNNNN."""
    out = []
    for char in str(text):
        code = ord(char)
        if char == "\\" or unicodedata.category(char) in _ESCAPED_CATEGORIES:
            out.append("\\x%02X" % code if code <= 0xFF else "\\u%04X" % code if code <= 0xFFFF else "\\U%08X" % code)
        else:
            out.append(char)
    return "".join(out)


class UsageError(Exception):
    pass


def _number(text, what):
    try:
        value = float(text)
    except ValueError:
        raise UsageError("%s must be a number, not '%s'" % (what, printable(text))) from None
    if not math.isfinite(value):
        raise UsageError("%s must be a finite number, not '%s'" % (what, printable(text)))
    return value


def _seconds(text, what):
    value = _number(text, what)
    if not 0 < value <= MAX_WAIT_S:
        raise UsageError("%s must be more than 0 and at most %g seconds, not '%s'" % (what, MAX_WAIT_S, printable(text)))
    return value


def _axis_key(text):
    return int(text) if text.isascii() and text.isdigit() else text


def parse(arguments):
    """The command line as a dict; UsageError when it is wrong. ``help`` or
    ``version`` when asked for."""
    options = {"control": None, "timeout": 10.0, "counts": False, "wait": None, "json": False}
    words = []
    seen = set()
    i = 0
    while i < len(arguments):
        word = arguments[i]
        i += 1
        if word in ("-h", "--help"):
            return {"command": "help"}
        if word in ("-v", "--version"):
            return {"command": "version"}
        if word == "--":
            words.extend(arguments[i:])
            break
        if not word.startswith("--"):
            # A minus and a digit is a distance (-5), not an option.
            if word.startswith("-") and len(word) > 1 and not (word[1].isdigit() or word[1] == "."):
                raise UsageError("unknown option '%s'" % printable(word))
            words.append(word)
            continue
        name, has_value, value = word.partition("=")
        if name in seen:
            raise UsageError("%s is given more than once" % name)
        seen.add(name)
        if name in ("--counts", "--json"):
            if has_value:
                raise UsageError("%s takes no value" % name)
            options[name[2:]] = True
        elif name == "--wait":
            options["wait"] = _seconds(value, "--wait") if has_value else DEFAULT_WAIT_S
        elif name in ("--control", "--timeout"):
            if not has_value:
                if i == len(arguments):
                    raise UsageError("%s needs a value" % name)
                value = arguments[i]
                i += 1
            if name == "--control":
                if not value:
                    raise UsageError("--control needs the path of the console's socket")
                options["control"] = value
            else:
                options["timeout"] = _seconds(value, "--timeout")
        else:
            raise UsageError("unknown option '%s'" % printable(word))

    if not words:
        raise UsageError("no command given")
    command, args = words[0], words[1:]
    counts = {"status": (0, 1), "axes": (0, 0), "move": (2, 2), "stop": (1, 1), "stop-all": (0, 0),
              "zero": (1, 1), "wait": (1, 2)}
    if command not in counts:
        raise UsageError("unknown command '%s'" % printable(command))
    low, high = counts[command]
    if not low <= len(args) <= high:
        raise UsageError("%s takes %s" % (command, {
            "status": "at most one axis", "axes": "no argument", "move": "an axis and a position",
            "stop": "one axis", "stop-all": "no argument", "zero": "one axis",
            "wait": "an axis and at most a time-out"}[command]))
    if options["json"] and command not in ("status", "axes"):
        raise UsageError("--json is for status and axes")
    if (options["counts"] or options["wait"] is not None) and command != "move":
        raise UsageError("--counts and --wait are for move")
    parsed = dict(options, command=command)
    if args:
        parsed["axis"] = _axis_key(args[0])
    if command == "move":
        target = args[1]
        if target.startswith("="):
            parsed["relative"] = False
            parsed["value"] = _number(target[1:], "the position")
        else:
            parsed["relative"] = target[:1] in ("+", "-")
            parsed["value"] = _number(target, "the distance" if parsed["relative"] else "the position")
    if command == "wait":
        parsed["wait_s"] = _seconds(args[1], "the time-out") if len(args) == 2 else DEFAULT_WAIT_S
    return parsed


def _format(value):
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, (int, float)):
        return "%.10g" % value
    return printable(value)


def _print_status(console, status, axis_key):
    axes = [status.axis(axis_key)] if axis_key is not None else status.axes
    units = {axis.index: axis.units for axis in console.axes}
    rows = [("AXIS", "NAME", "POSITION", "TARGET", "UNITS", "BUSY", "ERROR", "LIMIT")]
    for axis in axes:
        rows.append((
            _format(axis.get("index")), _format(axis.get("name")), _format(axis.get("position")),
            _format(axis.get("target")), _format(units.get(axis.get("index"))), _format(axis.get("busy")),
            _format(axis.get("error")), _format(axis.get("limit")),
        ))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    control = status.get("control")
    if control is not None and control.get("held"):
        holder = control.get("holder_pid")
        print("control: held by process %s" % _format(holder) if holder is not None else "control: held")
    else:
        print("control: free")
    if status.get("remote_moves_allowed") is False:
        print("remote moves: refused by the operator")


def _print_axes(console):
    rows = [("AXIS", "NAME", "SERIAL", "UNITS", "COUNTS/UNIT", "LOWER", "UPPER")]
    for axis in console.axes:
        rows.append((_format(axis.index), _format(axis.name), _format(axis.serial), _format(axis.units),
                     _format(axis.counts_per_unit), _format(axis.limits.get("lower")),
                     _format(axis.limits.get("upper"))))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


def _report_wait(axis, result):
    outcome = result.get("outcome")
    where = "%s %s" % (_format(result.get("position")), _format(axis.units))
    if outcome == "settled":
        print("%s: settled at %s" % (printable(axis.name), where))
        return 0
    said = {"stopped": "stopped at %s before it settled", "faulted": "faulted at %s",
            "timeout": "still moving at %s when the time-out passed"}.get(outcome, "ended (" + _format(outcome) + ") at %s")
    _error("%s: %s" % (axis.name, said % where))
    return 1


def _error(message):
    sys.stderr.write("%s: %s\n" % (PROGRAM, printable(message)))


def run(parsed):
    """Carries out a parsed command line; returns the exit status."""
    with Console(parsed["control"], timeout=parsed["timeout"]) as console:
        command = parsed["command"]
        axis = console.axes[parsed["axis"]] if "axis" in parsed else None
        if command == "status":
            if parsed["json"]:
                params = {"axis": axis.index} if axis else None
                print(json.dumps(console._call("get_status", params), indent=2))
            else:
                _print_status(console, console.status(), axis.index if axis else None)
        elif command == "axes":
            if parsed["json"]:
                print(json.dumps({"axes": [a.info.raw for a in console.axes]}, indent=2))
            else:
                _print_axes(console)
        elif command == "move":
            units = "counts" if parsed["counts"] else "native"
            move = axis.move_by if parsed["relative"] else axis.move_to
            move(parsed["value"], wait=False, units=units)
            if parsed["wait"] is not None:
                return _report_wait(axis, axis.wait(parsed["wait"]))
        elif command == "stop":
            axis.stop()
        elif command == "stop-all":
            console.stop_all()
        elif command == "zero":
            axis.zero()
        elif command == "wait":
            return _report_wait(axis, axis.wait(parsed["wait_s"]))
    return 0


def main(arguments=None):
    """The program: returns its exit status."""
    arguments = sys.argv[1:] if arguments is None else arguments
    try:
        parsed = parse(arguments)
    except UsageError as error:
        _error("%s (see --help)" % error)
        return 2
    if parsed["command"] == "help":
        sys.stdout.write(USAGE)
        return 0
    if parsed["command"] == "version":
        sys.stdout.write(VERSION_TEXT % (PROGRAM, __version__))
        return 0
    try:
        return run(parsed)
    except errors.StageConsoleError as error:
        _error(str(error))
    except KeyboardInterrupt:
        _error("interrupted")
    except BrokenPipeError:
        pass  # stdout's reader has gone: nothing more to say
    return 1


if __name__ == "__main__":
    sys.exit(main())
