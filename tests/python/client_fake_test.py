"""Why this exists: the Python client and stage-console-ctl are what scripts
and cron jobs use, and they must fail clearly and never hang, whatever the
console does. These tests run them against a test double of the console's
control API (fake_console.py), where faults are easy to play; the same
behaviours on the real console are in real_console_test.py."""

import os
import shutil
import socket
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from client_test_support import BOUND_S, run_ctl, run_readme_example  # noqa: E402

import stage_console  # noqa: E402
from stage_console import errors  # noqa: E402
from stage_console.ctl import printable  # noqa: E402
from fake_console import FakeConsole  # noqa: E402


class FakeConsoleCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="sc-client-")
        self.path = os.path.join(self.folder, "control.sock")
        self.fake = FakeConsole(self.path).start()
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.addCleanup(self.fake.stop)

    def connect(self, timeout=5.0):
        console = stage_console.Console(self.path, timeout=timeout)
        self.addCleanup(console.close)
        return console

    def methods(self):
        with self.fake.lock:
            return [method for method, _ in self.fake.requests]


class MovesAndReading(FakeConsoleCase):
    def test_move_to_returns_settled_at_the_target_and_move_by_counts_from_the_move_in_force(self):
        console = self.connect()
        x = console.axes["X"]
        result = x.move_to(100.0, timeout=BOUND_S)
        self.assertTrue(result.settled)
        self.assertEqual(result.outcome, "settled")
        self.assertEqual(result.position, 100.0)
        self.assertEqual(x.position, 100.0)
        # Without waiting, the target is in force at once; a relative move
        # counts from it, not from where the axis is on its way.
        started = x.move_to(300.0, wait=False)
        self.assertEqual(started.target, 300.0)
        x.move_by(-50.0, wait=False)
        self.assertEqual(x.wait(BOUND_S).position, 250.0)
        self.assertEqual(console.axes[1].move_by(20, units="counts", timeout=BOUND_S).position_counts, 20)
        # Control was taken once, by the first move.
        self.assertEqual(self.methods().count("acquire_control"), 1)
        self.assertTrue(console.has_control)

    def test_axes_by_index_and_name_and_an_unknown_axis_names_the_axes(self):
        console = self.connect()
        self.assertIs(console.axes[0], console.axes["X"])
        self.assertIs(console.axes["Y   "], console.axes[1])
        self.assertEqual(console.axes.names, ["X", "Y", "Z"])
        self.assertIn("Z", console.axes)
        self.assertNotIn("W", console.axes)
        for key in ("W", 3, -1, True):
            with self.subTest(key=key), self.assertRaises(errors.AxisUnknown) as caught:
                console.axes[key]
            self.assertIn("'X', 'Y', 'Z'", str(caught.exception))
            self.assertIsInstance(caught.exception, LookupError)

    def test_status_reads_every_axis_without_taking_control(self):
        console = self.connect()
        status = console.status()
        self.assertEqual([axis.name for axis in status.axes], ["X", "Y", "Z"])
        self.assertEqual(status["Y"].index, 1)
        self.assertFalse(status.control.held)
        self.assertIsNone(status["X"].target)
        self.assertFalse(console.axes["Z"].status.busy)
        self.assertEqual(console.version().api, 1)
        self.assertNotIn("acquire_control", self.methods())

    def test_tuning_is_read_freely_and_set_under_control(self):
        console = self.connect()
        z = console.axes["Z"]
        self.assertEqual(z.tuning["p"], 10)
        self.assertEqual(z.set_tuning(p=20, d=30)["p"], 20)
        z.tuning = {"acc": 40}
        self.assertEqual((z.tuning["d"], z.tuning["acc"]), (30, 40))
        with self.assertRaises(errors.InvalidParams) as caught:
            z.set_tuning(p=999)
        self.assertEqual(caught.exception.code, -32602)
        self.assertIn("p must be from 0 to 155", str(caught.exception))

    def test_arguments_that_are_not_finite_numbers_are_refused_before_sending(self):
        console = self.connect()
        x = console.axes["X"]
        cases = [(x.move_to, float("nan"), ValueError), (x.move_by, float("inf"), ValueError),
                 (x.move_to, "far", TypeError), (x.move_to, True, TypeError), (x.wait, 0, ValueError),
                 (x.wait, 3601, ValueError)]
        for call, value, error in cases:
            with self.subTest(value=value), self.assertRaises(error):
                call(value)
        with self.assertRaises(ValueError):
            x.move_to(1, units="mm")
        self.assertNotIn("move_absolute", self.methods())


class Control(FakeConsoleCase):
    def test_a_second_client_is_told_who_holds_control_and_still_stops_every_axis(self):
        first = self.connect()
        second = self.connect()
        first.axes["X"].move_to(40000.0, wait=False)
        with self.assertRaises(errors.NoControl) as caught:
            second.axes["Y"].move_to(10.0)
        held = "Another client (pid %d) holds control." % os.getpid()
        self.assertEqual(str(caught.exception),
                         "cannot take control of the console: %s This client may still read and stop." % held)
        self.assertEqual(caught.exception.server_message, held)
        self.assertEqual(caught.exception.code, -32001)
        # Stopping needs no control.
        second.stop_all()
        stopped = first.axes["X"].status
        self.assertFalse(stopped.busy)
        self.assertLess(stopped.position, 40000.0)

    def test_a_move_that_is_stopped_raises_with_the_outcome_and_position(self):
        mover = self.connect()
        stopper = self.connect()
        errors_seen = []

        def move():
            try:
                mover.axes["X"].move_to(40000.0, timeout=BOUND_S)
            except errors.StageConsoleError as error:
                errors_seen.append(error)

        thread = threading.Thread(target=move)
        thread.start()
        # The stop comes once the console has the wait.
        deadline = time.monotonic() + BOUND_S
        while "wait" not in self.methods() and time.monotonic() < deadline:
            time.sleep(0.01)
        stopper.axes["X"].stop()
        thread.join(BOUND_S)
        self.assertFalse(thread.is_alive())
        self.assertEqual(len(errors_seen), 1)
        error = errors_seen[0]
        self.assertIsInstance(error, errors.MoveNotSettled)
        self.assertEqual(error.outcome, "stopped")
        self.assertIn("axis X: the move to 40000.0 um was stopped at", str(error))

    def test_control_taken_by_the_operator_is_not_taken_back_without_being_asked(self):
        console = self.connect()
        x = console.axes["X"]
        x.move_to(10.0, timeout=BOUND_S)
        self.fake.revoke_control()
        # The control_lost notice is read with the next answer.
        console.status()
        self.assertFalse(console.has_control)
        with self.assertRaises(errors.NoControl) as caught:
            x.move_to(20.0)
        self.assertIn("this client lost control of the console (revoked by the operator)", str(caught.exception))
        self.assertIn("acquire_control()", str(caught.exception))
        self.assertEqual(self.methods().count("acquire_control"), 1)
        console.acquire_control()
        self.assertEqual(x.move_to(20.0, timeout=BOUND_S).position, 20.0)

    def test_refused_remote_moves_say_the_operator_refuses_them(self):
        console = self.connect()
        console.axes["X"].move_to(10.0, timeout=BOUND_S)
        self.fake.refuse_remote_moves()
        # The command that crossed the operator's Esc gets the console's
        # refusal; the next is told control was lost, and why.
        with self.assertRaises(errors.RemoteMovesRefused):
            console.axes["X"].zero()
        with self.assertRaises(errors.NoControl) as caught:
            console.axes["X"].zero()
        self.assertIn("lost control of the console (remote moves refused by the operator)", str(caught.exception))
        with self.assertRaises(errors.RemoteMovesRefused) as caught:
            console.acquire_control()
        self.assertEqual(str(caught.exception),
                         "Remote moves are refused by the operator until allowed again in the Remote window.")
        self.assertEqual(caught.exception.code, -32005)
        # A new client is refused at its first move, with the same words.
        with self.assertRaises(errors.RemoteMovesRefused):
            self.connect().axes["Y"].move_by(1.0)
        self.fake.allow_remote_moves()
        console.acquire_control()
        console.stop_all()  # still allowed

    def test_a_limit_refusal_carries_the_console_s_line_and_code(self):
        console = self.connect()
        with self.assertRaises(errors.LimitRefused) as caught:
            console.axes["Y"].move_to(60000.0)
        self.assertEqual(str(caught.exception), "Beyond the travel limit: Y must stay within -50000 .. 50000 um")
        self.assertEqual(caught.exception.code, -32002)

    def test_release_then_the_next_move_takes_control_again(self):
        console = self.connect()
        console.axes["X"].zero()
        console.release_control()
        self.assertFalse(console.has_control)
        other = self.connect()
        other.acquire_control()
        with self.assertRaises(errors.NoControl):
            console.axes["X"].zero()
        other.close()
        deadline = time.monotonic() + BOUND_S
        while time.monotonic() < deadline:
            try:
                console.acquire_control()
                break
            except errors.NoControl:
                time.sleep(0.02)
        console.axes["X"].zero()


class Subscription(FakeConsoleCase):
    def test_notices_come_as_statuses_and_leaving_the_loop_unsubscribes(self):
        console = self.connect()
        times = []
        for status in console.subscribe(50):
            self.assertEqual(len(status.axes), 3)
            times.append(status.time)
            if len(times) == 5:
                break
        self.assertEqual(times, sorted(times))
        self.assertIn("unsubscribe", self.methods())
        # Requests go on after it, with no notice in the way.
        self.assertEqual(console.status().axes[0].name, "X")

    def test_a_rate_the_console_refuses_is_raised_at_the_call(self):
        console = self.connect()
        with self.assertRaises(errors.InvalidParams):
            console.subscribe(1000)


class ConsoleGoesAway(FakeConsoleCase):
    def test_no_console_is_a_clear_error_at_once(self):
        missing = os.path.join(self.folder, "none.sock")
        with self.assertRaises(errors.ConsoleUnavailable) as caught:
            stage_console.Console(missing)
        self.assertIn("no console is serving at %s: the socket does not exist" % missing, str(caught.exception))
        # A socket left from a console that ended: bound, nobody listening.
        stale = os.path.join(self.folder, "stale.sock")
        left = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        left.bind(stale)
        left.close()
        with self.assertRaises(errors.ConsoleUnavailable) as caught:
            stage_console.Console(stale)
        self.assertIn("left from a console that has ended", str(caught.exception))

    def test_the_default_socket_is_under_xdg_runtime_dir(self):
        saved = os.environ.get("XDG_RUNTIME_DIR")
        self.addCleanup(lambda: os.environ.__setitem__("XDG_RUNTIME_DIR", saved) if saved is not None
                        else os.environ.pop("XDG_RUNTIME_DIR", None))
        os.environ["XDG_RUNTIME_DIR"] = "/run/user/42"
        self.assertEqual(stage_console.default_socket_path(), "/run/user/42/stage-console/control.sock")
        del os.environ["XDG_RUNTIME_DIR"]
        with self.assertRaises(errors.ConsoleUnavailable) as caught:
            stage_console.Console()
        self.assertIn("XDG_RUNTIME_DIR is not set", str(caught.exception))

    def test_a_console_that_stops_answering_times_out_within_the_bound(self):
        console = self.connect(timeout=0.5)
        self.fake.silent = True
        started = time.monotonic()
        with self.assertRaises(errors.ConsoleTimeout) as caught:
            console.status()
        self.assertLess(time.monotonic() - started, 5.0)
        self.assertIn("did not answer get_status within 0.5 s", str(caught.exception))
        # A subscriber gets no notice either: it times out too.
        self.fake.silent = False
        notices = console.subscribe(10, timeout=0.5)
        next(notices)
        self.fake.silent = True
        with self.fake.lock:
            for client in self.fake.clients:
                client.rate_hz = 0
        with self.assertRaises(errors.ConsoleTimeout):
            next(notices)

    def test_a_console_that_ends_mid_wait_ends_the_wait_with_a_clear_error(self):
        console = self.connect()
        console.axes["X"].move_to(40000.0, wait=False)
        threading.Timer(0.3, self.fake.stop, kwargs={"ending": True}).start()
        started = time.monotonic()
        with self.assertRaises(errors.ConsoleEnding) as caught:
            console.axes["X"].wait(BOUND_S)
        self.assertLess(time.monotonic() - started, 5.0)
        self.assertIn("the console has ended", str(caught.exception))
        # The connection is closed; every later call says so at once.
        with self.assertRaises(errors.ConsoleUnavailable):
            console.status()

    def test_a_console_that_vanishes_without_a_word_is_gone(self):
        console = self.connect()
        console.status()
        self.fake.stop()
        with self.assertRaises(errors.ConsoleUnavailable) as caught:
            console.status()
        self.assertNotIsInstance(caught.exception, errors.ConsoleEnding)
        self.assertIn("the console has gone away", str(caught.exception))

    def test_what_is_not_the_protocol_closes_the_connection_with_a_protocol_error(self):
        cases = {
            "not JSON": b"{\"jsonrpc\": \n",
            "not an object": b"[1, 2]\n",
            "invalid UTF-8": b"{\"a\": \"\xff\"}\n",
            "too deep": b"[" * 100000 + b"\n",
            "too long": b"x" * (5 * 1024 * 1024),
            "NaN": b"{\"jsonrpc\": \"2.0\", \"id\": 1, \"result\": NaN}\n",
        }
        for name, garbage in cases.items():
            with self.subTest(name):
                console = self.connect()
                self.fake.garbage = garbage
                with self.assertRaises(errors.ProtocolError):
                    console.status()
                self.assertTrue(console.closed)


class ReadmeExample(unittest.TestCase):
    def test_the_readme_scan_visits_the_grid_on_the_default_socket(self):
        with tempfile.TemporaryDirectory(prefix="sc-client-") as runtime:
            os.mkdir(os.path.join(runtime, "stage-console"), 0o700)
            fake = FakeConsole(os.path.join(runtime, "stage-console", "control.sock")).start()
            try:
                result = run_readme_example(runtime)
            finally:
                fake.stop()
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = [line.split(",") for line in result.stdout.splitlines()]
        self.assertEqual(rows[0], ["row", "column", "x_um", "y_um"])
        self.assertEqual([(float(r[2]), float(r[3])) for r in rows[1:]],
                         [(c * 500.0, r * 500.0) for r in range(3) for c in range(3)])


class ErrorClasses(unittest.TestCase):
    def test_every_code_of_the_protocol_has_its_class(self):
        table = [
            (-32700, errors.ParseError), (-32600, errors.InvalidRequest), (-32601, errors.MethodNotFound),
            (-32602, errors.InvalidParams), (-32603, errors.InternalError), (-32001, errors.NoControl),
            (-32002, errors.LimitRefused), (-32003, errors.AxisUnknown), (-32004, errors.ConsoleEnding),
            (-32005, errors.RemoteMovesRefused), (-32006, errors.MoveRefused),
        ]
        for code, cls in table:
            with self.subTest(code=code):
                error = errors.error_for_code(code, "said by the console")
                self.assertIs(type(error), cls)
                self.assertEqual((error.code, str(error), error.server_message),
                                 (code, "said by the console", "said by the console"))
                self.assertIsInstance(error, stage_console.StageConsoleError)
        unknown = errors.error_for_code(-32099, "new")
        self.assertIs(type(unknown), errors.StageConsoleError)
        self.assertEqual(unknown.code, -32099)

    def test_an_unknown_method_is_raised_as_its_class(self):
        with tempfile.TemporaryDirectory(prefix="sc-client-") as folder:
            fake = FakeConsole(os.path.join(folder, "c.sock")).start()
            try:
                with stage_console.Console(fake.path) as console:
                    with self.assertRaises(errors.MethodNotFound):
                        console._call("no_such_method")
            finally:
                fake.stop()

    def test_printable_escapes_what_a_terminal_would_obey(self):
        table = [
            ("plain µm text", "plain µm text"),
            ("esc\x1b[31mred", "esc\\x1B[31mred"),
            ("line\nbreak\r", "line\\x0Abreak\\x0D"),
            ("back\\slash", "back\\x5Cslash"),
            ("bidi\u202eevil", "bidi\\u202Eevil"),
            ("c1\x9bx", "c1\\x9Bx"),
        ]
        for text, shown in table:
            with self.subTest(text=text):
                self.assertEqual(printable(text), shown)


class Ctl(FakeConsoleCase):
    def test_commands_and_their_exit_statuses(self):
        ok = run_ctl("--control", self.path, "move", "X", "100", "--wait")
        self.assertEqual((ok.returncode, ok.stderr), (0, ""))
        self.assertEqual(ok.stdout, "X: settled at 100 um\n")
        relative = run_ctl("--control=" + self.path, "--wait=20", "move", "X", "-5")
        self.assertEqual(relative.returncode, 0, relative.stderr)
        self.assertEqual(relative.stdout, "X: settled at 95 um\n")
        negative = run_ctl("--control", self.path, "move", "0", "=-5")
        self.assertEqual(negative.returncode, 0, negative.stderr)
        waited = run_ctl("--control", self.path, "wait", "X", "20")
        self.assertEqual((waited.returncode, waited.stdout), (0, "X: settled at -5 um\n"))
        status = run_ctl("--control", self.path, "status")
        self.assertEqual(status.returncode, 0, status.stderr)
        lines = status.stdout.splitlines()
        self.assertEqual(lines[0].split(), ["AXIS", "NAME", "POSITION", "TARGET", "UNITS", "BUSY", "ERROR", "LIMIT"])
        self.assertEqual(lines[1].split(), ["0", "X", "-5", "-", "um", "no", "no", "no"])
        self.assertEqual(lines[-1], "control: free")
        for command in (["stop", "Y"], ["stop-all"], ["zero", "Z"], ["axes"], ["status", "--json", "Y"]):
            with self.subTest(command=command):
                result = run_ctl("--control", self.path, *command)
                self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_failures_are_status_1_with_the_console_s_message_escaped(self):
        self.fake.limit_message = "Beyond \x1b[2Jthe limit"
        refused = run_ctl("--control", self.path, "move", "X", "60000")
        self.assertEqual(refused.returncode, 1)
        self.assertEqual(refused.stderr, "stage-console-ctl: Beyond \\x1B[2Jthe limit\n")
        unknown = run_ctl("--control", self.path, "stop", "W")
        self.assertEqual(unknown.returncode, 1)
        self.assertIn("the console has no axis 'W'", unknown.stderr)
        missing = run_ctl("--control", os.path.join(self.folder, "none.sock"), "status")
        self.assertEqual(missing.returncode, 1)
        self.assertIn("no console is serving at", missing.stderr)
        self.fake.operator_holds_axis(1, moving=True)
        late = run_ctl("--control", self.path, "wait", "Y", "0.2")
        self.assertEqual(late.returncode, 1)
        self.assertEqual(late.stderr, "stage-console-ctl: Y: still moving at 0 um when the time-out passed\n")

    def test_a_wrong_command_line_is_status_2_and_help_and_version_are_0(self):
        for arguments in (["status", "X", "Y"], ["move", "X"], ["move", "X", "far"], ["--frobnicate"],
                          ["fly"], [], ["wait", "X", "0"], ["--timeout"], ["stop", "X", "--wait"],
                          ["--control", "a", "--control", "b", "status"], ["move", "X", "=inf"]):
            with self.subTest(arguments=arguments):
                result = run_ctl(*arguments)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertRegex(result.stderr, r"^stage-console-ctl: .* \(see --help\)\n$")
        shown = run_ctl("--help")
        self.assertEqual(shown.returncode, 0)
        self.assertTrue(shown.stdout.startswith("Usage: stage-console-ctl "))
        version = run_ctl("--version")
        self.assertEqual(version.returncode, 0)
        self.assertEqual(version.stdout.splitlines()[0], "stage-console-ctl " + stage_console.__version__)


if __name__ == "__main__":
    unittest.main()
