"""What the Tango bridge's tests and benchmark share: a folder of the run's
own, the console (the real one on simulated controllers, offscreen with
--start or under Xvfb with OK clicked in Motor Settings, or fake_console.py), the device server in Tango's
no-database mode on a free loopback port, and bounded waits. Every process
started is ended by its own pid at close()."""
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import tango

BOUND_S = 30.0  # any wait on a loaded 2-core machine
HERE = os.path.dirname(os.path.abspath(__file__))
# The fake console's axis names; the simulated controllers' serials are "Sim"
# and the same letters.
AXIS_NAMES = "XYZUVWABCDEFGHIJKLMNOPQRSTUVWXYZ"


def fail(message):
    raise AssertionError(message)


def end_with_parent():
    """In a child before exec: SIGTERM when the test's process dies."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def wait_until(what, predicate, bound_s=BOUND_S, interval_s=0.02):
    deadline = time.monotonic() + bound_s
    last = None
    while time.monotonic() < deadline:
        try:
            last = predicate()
            if last:
                return last
        except tango.DevFailed as error:
            last = error.args[0].desc if error.args else error
        time.sleep(interval_s)
    fail("%s: not within %.0f s (last: %s)" % (what, bound_s, last))


def free_port():
    # A port the system has just handed out is free, and the next one it
    # hands out is another: no clash with tests running beside this one.
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def xdotool(*words):
    done = subprocess.run(["xdotool"] + list(words), capture_output=True, text=True, timeout=BOUND_S)
    return done.stdout.split() if done.returncode == 0 else []


class Session:
    def __init__(self, axes, instance="test"):
        self.axes = axes
        self.instance = instance
        self.work = tempfile.mkdtemp(prefix="tango-bridge-")
        self.socket = os.path.join(self.work, "control.sock")
        self.port = free_port()
        self.processes = []
        self.x_server = None
        self.server = None
        self.main_window = None

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(self.work, ignore_errors=True)

    def spawn(self, command, **kwargs):
        # A test killed from outside (CTest's time-out) takes its processes
        # with it instead of leaving a console and a server running.
        process = subprocess.Popen(command, preexec_fn=end_with_parent, **kwargs)
        self.processes.append(process)
        return process

    # ---- consoles

    def start_fake_console(self, upper_limit, speed):
        process = self.spawn([sys.executable, os.path.join(HERE, "fake_console.py"), self.socket, "--axes",
                              str(self.axes), "--speed", str(speed), "--limit=-%g:%g" % (upper_limit, upper_limit)],
                             stdout=subprocess.DEVNULL)
        self.wait_for_socket(process)
        return process

    def start_x_server(self):
        """Xvfb on a display it picks itself, for the console's start-up window."""
        read_end, write_end = os.pipe()
        # -noreset: an X server resets when its last client leaves, and the
        # check below is a client; a console connecting during that reset
        # had its connection cut and died of SIGPIPE (1 run in many).
        self.x_server = self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1920x1080x24",
                                    "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,), stderr=subprocess.DEVNULL)
        os.close(write_end)
        display = b""
        while not display.endswith(b"\n"):
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            display += chunk
        os.close(read_end)
        if not display.strip():
            fail("Xvfb did not start")
        os.environ["DISPLAY"] = ":" + display.decode().strip()
        # Xvfb names its display a moment before it takes connections.
        wait_until("Xvfb answering", lambda: subprocess.run(["xdotool", "getdisplaygeometry"],
                                                              stdout=subprocess.DEVNULL,
                                                              stderr=subprocess.DEVNULL).returncode == 0)

    def write_profiles(self, upper_limit):
        """Travel limits of +-upper_limit on every simulated controller."""
        folder = os.path.join(self.work, "profiles")
        os.makedirs(folder, exist_ok=True)
        counts = int(upper_limit * 128)  # the simulated mechanics: 128 counts per micron
        for axis in AXIS_NAMES[:self.axes]:
            with open(os.path.join(folder, "Sim%s.toml" % axis), "w") as profile:
                profile.write('schema_version = 1\nserial = "Sim%s"\n[limits]\nlower_counts = %d\nupper_counts = %d\n'
                              % (axis, -counts, counts))
        return folder

    def start_real_console(self, program, upper_limit=None, extra=(), env=None, desktop=False):
        """The console on simulated controllers (or `extra`'s), started at
        once with --start on the offscreen platform; with `desktop`, under
        Xvfb with OK clicked in Motor Settings, so that the operator's keys
        can reach it."""
        command = [program, "--control", self.socket] + list(extra)
        if not extra:
            command += ["--simulate", str(self.axes)]
        command += ["--profile-dir", self.write_profiles(upper_limit)] if upper_limit else ["--no-profile"]
        if desktop and self.x_server is None:
            self.start_x_server()
        full_env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.work, "config"))
        if desktop:
            full_env["QT_QPA_PLATFORM"] = "xcb"
        else:
            command.append("--start")
            full_env["QT_QPA_PLATFORM"] = "offscreen"
        full_env.update(env or {})
        log = open(os.path.join(self.work, "console.log"), "ab")
        process = self.spawn(command, env=full_env, stdout=log, stderr=log)
        if desktop:
            def window(title):
                if process.poll() is not None:
                    fail("the console ended (status %s): %s" % (process.returncode, self.console_log()))
                found = xdotool("search", "--onlyvisible", "--pid", str(process.pid), "--name", "^%s$" % title)
                return found[0] if found else None

            select = wait_until("Motor Settings", lambda: window("Motor Settings"))
            geometry = dict(w.split("=") for w in xdotool("getwindowgeometry", "--shell", select))
            # OK: centred, 288 px from the top of the client area.
            xdotool("mousemove", "--window", select, str(int(geometry["WIDTH"]) // 2), "300", "click", "1")
            self.main_window = wait_until("the main window", lambda: window("KLV-330"))
        self.wait_for_socket(process)
        return process

    def operator_key(self, key):
        """A key pressed and released on the console's main window."""
        xdotool("windowfocus", "--sync", self.main_window)
        xdotool("key", "--clearmodifiers", key)

    def console_log(self):
        try:
            with open(os.path.join(self.work, "console.log"), errors="replace") as log:
                return log.read()[-2000:]
        except OSError:
            return ""

    def wait_for_socket(self, process):
        def ready():
            if process.poll() is not None:
                fail("the console ended at its start (status %s)" % process.returncode)
            return os.path.exists(self.socket)
        wait_until("the console's socket", ready)

    # ---- the device server

    def start_server(self, program):
        names = ["StageConsole::stage/%s/console" % self.instance] + \
            ["StageAxis::stage/%s/%s" % (self.instance, AXIS_NAMES[i].lower()) for i in range(self.axes)]
        self.server = self.spawn([program, self.instance, "--control", self.socket, "-nodb", "-ORBendPoint",
                                  "giop:tcp:127.0.0.1:%d" % self.port, "-dlist", ",".join(names)])
        wait_until("the device server", lambda: self.proxy("console").state() != tango.DevState.UNKNOWN)
        return self.server

    def proxy(self, member):
        return tango.DeviceProxy("tango://127.0.0.1:%d/stage/%s/%s#dbase=no" % (self.port, self.instance, member))

    def axis_devices(self):
        return [self.proxy(AXIS_NAMES[i].lower()) for i in range(self.axes)]
