#!/usr/bin/env python3
"""Start-up time and idle memory of Sonaret's main window against a bare GTK 3
window (bench/bare_window.c), on a private Xvfb display.

usage: startup.py SONARET BARE_WINDOW [RUNS]

Start-up: from starting the process to the X server mapping its top-level
window (the window is on the screen). Memory: the resident set of the idle
process one second after that. The median of RUNS runs each (default 15),
alternating the two programs; prints both and their ratios."""
import ctypes
import os
import statistics
import subprocess
import sys
import time

X = ctypes.CDLL('libX11.so.6')
X.XOpenDisplay.restype = ctypes.c_void_p
X.XOpenDisplay.argtypes = [ctypes.c_char_p]
X.XDefaultRootWindow.restype = ctypes.c_ulong
X.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
X.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
X.XPending.argtypes = [ctypes.c_void_p]
X.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
X.XConnectionNumber.argtypes = [ctypes.c_void_p]
X.XCloseDisplay.argtypes = [ctypes.c_void_p]
SUBSTRUCTURE_NOTIFY = 1 << 19
MAP_NOTIFY = 19


class Event(ctypes.Union):
    _fields_ = [('type', ctypes.c_int), ('pad', ctypes.c_long * 24)]


def start_xvfb():
    r, w = os.pipe()
    proc = subprocess.Popen(['Xvfb', '-displayfd', str(w), '-screen', '0', '1280x800x24',
                             '-nolisten', 'tcp', '-noreset'], pass_fds=(w,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    number = b''
    while True:
        c = os.read(r, 1)
        if not c or c == b'\n':
            break
        number += c
    os.close(r)
    return proc, ':' + number.decode()


def rss_kib(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


def measure(program, display):
    dpy = X.XOpenDisplay(display.encode())
    X.XSelectInput(dpy, X.XDefaultRootWindow(dpy), SUBSTRUCTURE_NOTIFY)
    while X.XPending(dpy):
        X.XNextEvent(dpy, ctypes.byref(Event()))
    env = dict(os.environ, DISPLAY=display)
    env.pop('WAYLAND_DISPLAY', None)
    started = time.perf_counter()
    proc = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    event = Event()
    shown = None
    deadline = started + 30
    while time.perf_counter() < deadline:
        if X.XPending(dpy):
            X.XNextEvent(dpy, ctypes.byref(event))
            if event.type == MAP_NOTIFY:
                shown = time.perf_counter() - started
                break
        else:
            time.sleep(0.0005)
    X.XCloseDisplay(dpy)
    time.sleep(1.0)
    memory = rss_kib(proc.pid)
    proc.terminate()
    proc.wait()
    return shown, memory


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sonaret, bare = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 15
    xvfb, display = start_xvfb()
    try:
        results = {sonaret: ([], []), bare: ([], [])}
        measure(bare, display)  # warms the caches for both
        for _ in range(runs):
            for program in (sonaret, bare):
                shown, memory = measure(program, display)
                if shown is None:
                    sys.exit('startup: %s showed no window' % program)
                results[program][0].append(shown)
                results[program][1].append(memory)
    finally:
        xvfb.terminate()
        xvfb.wait()
    s_time = statistics.median(results[sonaret][0]) * 1000
    b_time = statistics.median(results[bare][0]) * 1000
    s_mem = statistics.median(results[sonaret][1]) / 1024
    b_mem = statistics.median(results[bare][1]) / 1024
    print('start-up to window shown (median of %d): Sonaret %.1f ms, bare GTK window %.1f ms, '
          'ratio %.2f (target 1.20)' % (runs, s_time, b_time, s_time / b_time))
    print('resident memory when idle (median): Sonaret %.1f MiB, bare GTK window %.1f MiB, '
          'ratio %.2f (target 1.15)' % (s_mem, b_mem, s_mem / b_mem))


if __name__ == '__main__':
    main()
