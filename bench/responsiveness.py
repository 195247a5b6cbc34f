#!/usr/bin/env python3
"""Times the console's answers to the operator on emulated controllers.

Run by bench/responsiveness.sh inside emulated_bus_run, with the console up
on a virtual X display and the bus logging "<us> <serial> <event>" lines
(CLOCK_MONOTONIC, the clock of time.monotonic()). Presses and releases go
straight to the X server through XTEST, so each one's time is known to the
microsecond:

  panel  a click on "More Controls" until the window manager maps the
         tuning panel's frame (MapNotify on the root window); the panel is
         closed again with its close box (Alt+F4) between samples
  go     a press on axis 0's GO until the first command packet to axis 0
         with the go bit (byte 3, bit 0) is logged by the bus
  period the time between consecutive commands to axis 0 over the run

  responsiveness.py MAIN_WINDOW_ID USB_LOG SAMPLES
"""
import ctypes
import ctypes.util
import select
import statistics
import sys
import time

MAP_NOTIFY = 19
UNMAP_NOTIFY = 18
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
TWIPS_PER_PIXEL = 15

x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
xtst = ctypes.CDLL(ctypes.util.find_library("Xtst"))
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
for name in ("XFlush", "XSync", "XPending", "XConnectionNumber", "XDefaultScreen"):
    getattr(x11, name).argtypes = [ctypes.c_void_p] + ([ctypes.c_int] if name == "XSync" else [])
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x11.XKeysymToKeycode.restype = ctypes.c_ubyte
x11.XTranslateCoordinates.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                      ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int),
                                      ctypes.POINTER(ctypes.c_ulong)]
x11.XGetGeometry.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong)] + \
    [ctypes.POINTER(ctypes.c_int)] * 2 + [ctypes.POINTER(ctypes.c_uint)] * 4
xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]

display = x11.XOpenDisplay(None)
if not display:
    sys.exit("responsiveness.py: no X display")
root = x11.XDefaultRootWindow(display)
x11.XSelectInput(display, root, SUBSTRUCTURE_NOTIFY_MASK)
x11.XSync(display, 0)
event = (ctypes.c_long * 24)()


def next_event(deadline):
    """The next X event's type and when it was read, or None at the deadline."""
    while not x11.XPending(display):
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        select.select([x11.XConnectionNumber(display)], [], [], left)
    x11.XNextEvent(display, event)
    return ctypes.cast(event, ctypes.POINTER(ctypes.c_int))[0], time.monotonic()


def drain():
    while x11.XPending(display):
        x11.XNextEvent(display, event)


def window_origin(window):
    x, y = ctypes.c_int(), ctypes.c_int()
    child = ctypes.c_ulong()
    x11.XTranslateCoordinates(display, window, root, 0, 0, ctypes.byref(x), ctypes.byref(y), ctypes.byref(child))
    return x.value, y.value


def window_height(window):
    root_return = ctypes.c_ulong()
    x, y = ctypes.c_int(), ctypes.c_int()
    w, h, border, depth = ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint()
    x11.XGetGeometry(display, window, ctypes.byref(root_return), ctypes.byref(x), ctypes.byref(y), ctypes.byref(w),
                     ctypes.byref(h), ctypes.byref(border), ctypes.byref(depth))
    return h.value


def move(x, y):
    xtst.XTestFakeMotionEvent(display, -1, x, y, 0)
    x11.XSync(display, 0)
    time.sleep(0.05)


def button(press):
    """Sends a press or a release and returns when it reached the server."""
    xtst.XTestFakeButtonEvent(display, 1, 1 if press else 0, 0)
    x11.XFlush(display)
    sent = time.monotonic()
    x11.XSync(display, 0)
    return sent


def alt_f4():
    alt = x11.XKeysymToKeycode(display, 0xFFE9)
    f4 = x11.XKeysymToKeycode(display, 0xFFC1)
    for code, press in ((alt, 1), (f4, 1), (f4, 0), (alt, 0)):
        xtst.XTestFakeKeyEvent(display, code, press, 0)
    x11.XSync(display, 0)


def figures(samples_ms):
    samples = sorted(samples_ms)
    pick = lambda q: samples[min(len(samples) - 1, int(q * len(samples)))]
    return (f"n {len(samples):4d}  median {statistics.median(samples):7.2f} ms  p90 {pick(0.90):7.2f} ms  "
            f"max {samples[-1]:7.2f} ms")


def time_panel(main, samples):
    left, top = window_origin(main)
    # More Controls: 9120 twips from the left, 1695 wide, centred on the height.
    x = left + 9120 // TWIPS_PER_PIXEL + 1695 // TWIPS_PER_PIXEL // 2
    y = top + window_height(main) // 2 + 6
    delays = []
    for _ in range(samples):
        move(x, y)
        drain()
        button(True)
        clicked = button(False)  # the click counts at the release
        mapped = None
        deadline = clicked + 2.0
        while mapped is None:
            got = next_event(deadline)
            if got is None:
                sys.exit("responsiveness.py: the tuning panel did not show within 2 s")
            if got[0] == MAP_NOTIFY:
                mapped = got[1]
        delays.append((mapped - clicked) * 1000)
        time.sleep(0.2)
        alt_f4()
        deadline = time.monotonic() + 2.0
        while (got := next_event(deadline)) is not None and got[0] != UNMAP_NOTIFY:
            pass
        time.sleep(0.2)
    return delays


def log_lines(path):
    with open(path, encoding="ascii", errors="replace") as log:
        for line in log:
            parts = line.split()
            if len(parts) >= 5 and parts[2] == "out" and parts[3] == "12":
                yield int(parts[0]) / 1e6, parts[1], bytes.fromhex(parts[4])


def time_go(main, usb_log, axis0, samples):
    left, top = window_origin(main)
    # GO of axis 0: 4560 twips from the left, 960 from the top, 495 x 375.
    move(left + 4560 // TWIPS_PER_PIXEL + 16, top + 960 // TWIPS_PER_PIXEL + 12)
    delays = []
    for _ in range(samples):
        pressed = button(True)
        time.sleep(0.15)
        button(False)
        time.sleep(0.25)
        first = next((t for t, serial, packet in log_lines(usb_log)
                      if serial == axis0 and t >= pressed and packet[3] & 0x01), None)
        if first is None:
            sys.exit("responsiveness.py: no command with the go bit after a press on GO")
        delays.append((first - pressed) * 1000)
    return delays


def periods(usb_log, axis0, since):
    times = [t for t, serial, _ in log_lines(usb_log) if serial == axis0 and t >= since]
    return [(b - a) * 1000 for a, b in zip(times, times[1:])]


def main():
    main_window = int(sys.argv[1], 0)
    usb_log = sys.argv[2]
    samples = int(sys.argv[3])
    axis0 = next(serial for _, serial, _ in log_lines(usb_log))
    start = time.monotonic()
    panel = time_panel(main_window, samples)
    go = time_go(main_window, usb_log, axis0, samples)
    print(f"click on More Controls to the tuning panel mapped:  {figures(panel)}")
    print(f"press on GO to the go bit on the wire (axis 0):    {figures(go)}")
    spread = periods(usb_log, axis0, start)
    late = sum(1 for p in spread if p > 10.5)
    print(f"ticks' period (commands to axis 0) meanwhile:     {figures(spread)}  "
          f"mean {statistics.fmean(spread):6.2f} ms  p1 {sorted(spread)[len(spread) // 100]:6.2f} ms  "
          f"over 10.5 ms: {late}")


main()
