"""Why this exists: the clients against the console itself on simulated
controllers, offscreen (started by real_console_test.sh, which sets
STAGE_CONSOLE_SOCKET and XDG_RUNTIME_DIR): moves end where the simulated stage settles, waits say
how a move ended, any client stops without control, a travel limit's refusal
reaches the script and the shell with the console's own line, status notices
come, and stage-console-ctl's exit statuses are those of its manual page.
Axis Y has travel limits of -1000 .. 1000 um from its profile."""

import os
import sys
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from client_test_support import BOUND_S, run_ctl, run_readme_example  # noqa: E402

import stage_console  # noqa: E402
from stage_console import errors  # noqa: E402

SOCKET = os.environ.get("STAGE_CONSOLE_SOCKET")
# The controller's busy flag goes down when its trajectory has reached the
# target; the simulated servo is then within a few counts of it (it
# overshoots by about 3 and ends on it a little later).
SETTLED_COUNTS = 8


def setUpModule():
    if not SOCKET:
        raise unittest.SkipTest("STAGE_CONSOLE_SOCKET is not set: run real_console_test.sh")
    # The console serves once it has started (--start: as OK does).
    deadline = time.monotonic() + BOUND_S
    while True:
        try:
            with stage_console.Console(SOCKET, timeout=5) as console:
                if len(console.axes) == 3:
                    return
        except errors.ConsoleUnavailable:
            pass
        if time.monotonic() > deadline:
            raise AssertionError("the console did not list 3 axes within %g s" % BOUND_S)
        time.sleep(0.1)


class RealConsoleCase(unittest.TestCase):
    def connect(self, **options):
        console = stage_console.Console(SOCKET, timeout=10, **options)

        def finish():
            # Released before closing, so that the next test's first move
            # does not find control still held by a connection going away.
            if not console.closed and console.has_control:
                console.release_control()
            console.close()

        self.addCleanup(finish)
        return console

    def assertAt(self, result, position_um, axis_counts_per_um=128):
        self.assertLessEqual(abs(result.position_counts - position_um * axis_counts_per_um), SETTLED_COUNTS,
                             result)


class Moves(RealConsoleCase):
    def test_the_default_socket_lists_the_simulated_axes_and_the_profile_s_limits(self):
        saved = os.environ.get("XDG_RUNTIME_DIR")
        self.assertTrue(saved)
        with stage_console.Console() as console:
            self.assertEqual(console.version().name, "stage-console")
            self.assertEqual(console.version().api, 1)
            self.assertEqual(console.axes.names, ["X", "Y", "Z"])
            y = console.axes["Y"]
            self.assertEqual((y.serial, y.units, y.counts_per_unit), ("SimY", "um", 128))
            self.assertEqual((y.limits.lower, y.limits.upper), (-1000, 1000))
            self.assertIsNone(console.axes["X"].limits.upper)

    def test_absolute_and_relative_moves_settle_on_their_targets(self):
        console = self.connect()
        x = console.axes["X"]
        result = x.move_to(100.0, timeout=BOUND_S)
        self.assertEqual(result.outcome, "settled")
        self.assertAt(result, 100.0)
        self.assertAt(x.move_by(-50.0, timeout=BOUND_S), 50.0)
        # A relative move counts from the move in force, as Rel does.
        x.move_to(200.0, wait=False)
        x.move_by(10.0, wait=False)
        self.assertAt(x.wait(BOUND_S), 210.0)
        status = x.status
        self.assertFalse(status.busy)
        self.assertAt(status, 210.0)
        self.assertTrue(console.status().control.mine)

    def test_wait_says_timeout_for_a_move_still_going_and_stopped_for_one_stopped(self):
        mover = self.connect()
        stopper = self.connect()
        z = mover.axes["Z"]
        z.move_to(0.0, timeout=BOUND_S)
        z.move_to(20000.0, wait=False)  # 20 mm: about 5 s at the designed speed
        self.assertEqual(z.wait(0.2).outcome, "timeout")
        # The stop comes once the wait is on its way: sent, and the console's
        # event loop has had time to read it.
        wait_sent = threading.Event()
        send = mover._connection.send

        def send_and_tell(method, params=None, notification=False):
            request_id = send(method, params, notification)
            if method == "wait":
                wait_sent.set()
            return request_id

        mover._connection.send = send_and_tell

        def stop_when_waited_for():
            if wait_sent.wait(BOUND_S):
                time.sleep(0.3)
                stopper.stop_all()  # a client that holds no control

        thread = threading.Thread(target=stop_when_waited_for)
        thread.start()
        outcome = z.wait(BOUND_S)
        thread.join(BOUND_S)
        self.assertEqual(outcome.outcome, "stopped")
        self.assertLess(outcome.position, 20000.0)
        self.assertFalse(stopper.has_control)
        with self.assertRaises(errors.MoveNotSettled) as caught:
            z.move_to(20000.0, timeout=0.2)
        self.assertEqual(caught.exception.outcome, "timeout")
        stopper.axes["Z"].stop()
        self.assertEqual(z.wait(BOUND_S).outcome, "settled")

    def test_a_travel_limit_refuses_with_the_console_s_line(self):
        console = self.connect()
        y = console.axes["Y"]
        with self.assertRaises(errors.LimitRefused) as caught:
            y.move_to(1500.0)
        self.assertEqual(caught.exception.code, -32002)
        message = str(caught.exception)
        self.assertRegex(message, r"beyond the upper travel limit of axis Y")
        # A relative move beyond it is refused whole, with the same words.
        y.move_to(900.0, timeout=BOUND_S)
        with self.assertRaises(errors.LimitRefused):
            y.move_by(200.0)
        self.assertAt(y.status, 900.0)
        console.release_control()  # the shell's move takes it
        shell = run_ctl("--control", SOCKET, "move", "Y", "1500")
        self.assertEqual(shell.returncode, 1)
        self.assertRegex(shell.stderr, r"^stage-console-ctl: .*beyond the upper travel limit of axis Y")

    def test_a_second_client_is_told_who_holds_control(self):
        first = self.connect()
        second = self.connect()
        first.acquire_control()
        with self.assertRaises(errors.NoControl) as caught:
            second.axes["X"].move_to(0.0)
        self.assertRegex(str(caught.exception),
                         r"^cannot take control of the console: Another client \(.*\b%d\b.*\) holds control\. "
                         % os.getpid())
        first.release_control()
        second.acquire_control()
        self.assertTrue(second.has_control)


class Notices(RealConsoleCase):
    def test_subscribed_status_notices_come_in_time_order(self):
        console = self.connect()
        times = []
        for status in console.subscribe(50):
            self.assertEqual([axis.name for axis in status.axes], ["X", "Y", "Z"])
            times.append(status.time)
            if len(times) == 5:
                break
        self.assertEqual(times, sorted(times))
        self.assertEqual(len(set(times)), 5)
        self.assertEqual(console.status().axes[0].name, "X")


class Ctl(RealConsoleCase):
    def test_exit_statuses(self):
        table = [
            (0, ["move", "--wait", "X", "10"], r"^$"),
            (0, ["move", "X", "+5", "--wait=20"], r"^$"),
            (0, ["wait", "X", "20"], r"^$"),
            (0, ["status", "X"], r"^$"),
            (0, ["stop-all"], r"^$"),
            (1, ["move", "W", "1"], r"^stage-console-ctl: the console has no axis 'W'"),
            (1, ["move", "Y", "=-1500"], r"^stage-console-ctl: .*beyond the lower travel limit of axis Y"),
            (2, ["move", "X"], r"^stage-console-ctl: move takes an axis and a position \(see --help\)\n$"),
        ]
        for status, arguments, stderr in table:
            with self.subTest(arguments=arguments):
                result = run_ctl("--control", SOCKET, *arguments)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertRegex(result.stderr, stderr)
        status = run_ctl("--control", SOCKET, "status", "X").stdout.splitlines()
        self.assertEqual(status[1].split()[:3], ["0", "X", "15"])
        # A wait that outlasts its time-out is a failure.
        mover = self.connect()
        mover.axes["X"].move_to(20000.0, wait=False)
        late = run_ctl("--control", SOCKET, "wait", "X", "0.2")
        self.assertEqual(late.returncode, 1)
        self.assertRegex(late.stderr, r"^stage-console-ctl: X: still moving at .* um when the time-out passed\n$")
        mover.stop_all()


class ReadmeExample(RealConsoleCase):
    def test_the_readme_scan_visits_the_grid(self):
        result = run_readme_example(os.environ["XDG_RUNTIME_DIR"])
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = [line.split(",") for line in result.stdout.splitlines()]
        self.assertEqual(len(rows), 10)
        for (row, column, x_um, y_um), (r, c) in zip(rows[1:], [(r, c) for r in range(3) for c in range(3)]):
            self.assertEqual((int(row), int(column)), (r, c))
            self.assertAlmostEqual(float(x_um), c * 500.0, delta=SETTLED_COUNTS / 128)
            self.assertAlmostEqual(float(y_um), r * 500.0, delta=SETTLED_COUNTS / 128)


if __name__ == "__main__":
    unittest.main()
