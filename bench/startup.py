#!/usr/bin/env python3
"""Start-up time and idle memory of Sonaret's main window against a bare GTK 3
window (bench/bare_window.c), on a private Xvfb display.

usage: startup.py SONARET BARE_WINDOW [RUNS]

Start-up: from starting the process to the X server mapping its top-level
window (the window is on the screen); Sonaret opens its device list and
starts capturing the default output before it shows its window, here from a
private sound server (tests/support/pulse-fixture.sh). Memory: the resident set of the idle
process one second after that. The median of RUNS runs each (default 15),
alternating the programs; prints the figures and Sonaret's ratios to the
bare window, and, to tell the text's fonts apart, to the bare window showing
the main window's texts."""
import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests',
                                'support'))
from session import SoundServer, Xvfb  # noqa: E402

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


def rss_kib(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


TEXTS = '电脑输出 关于 开始录音 128K bps 停止录音 C:aabb  修改 更改文件夹'


def measure(program, display, environment):
    dpy = X.XOpenDisplay(display.encode())
    X.XSelectInput(dpy, X.XDefaultRootWindow(dpy), SUBSTRUCTURE_NOTIFY)
    while X.XPending(dpy):
        X.XNextEvent(dpy, ctypes.byref(Event()))
    env = dict(os.environ, DISPLAY=display, **environment)
    env.pop('WAYLAND_DISPLAY', None)
    started = time.perf_counter()
    proc = subprocess.Popen(program, env=env, stdout=subprocess.DEVNULL,
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
    programs = {'Sonaret': (sys.argv[1],), 'bare GTK window': (sys.argv[2],),
                'bare window with the texts': (sys.argv[2], TEXTS)}
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 15
    xvfb = Xvfb()
    display = xvfb.display
    folder = tempfile.mkdtemp(prefix='sonaret-startup-')
    sound = SoundServer(folder)
    environment = dict(sound.environment(), HOME=folder)
    try:
        results = {name: ([], []) for name in programs}
        for command in programs.values():
            measure(command, display, environment)  # warms the caches
        for _ in range(runs):
            for name, command in programs.items():
                shown, memory = measure(command, display, environment)
                if shown is None:
                    sys.exit('startup: %s showed no window' % name)
                results[name][0].append(shown)
                results[name][1].append(memory)
    finally:
        xvfb.stop()
        sound.stop()
        shutil.rmtree(folder, ignore_errors=True)
    time_ms = {n: statistics.median(r[0]) * 1000 for n, r in results.items()}
    mem_mib = {n: statistics.median(r[1]) / 1024 for n, r in results.items()}
    print('medians of %d runs' % runs)
    for name in programs:
        print('  %-28s start-up to window shown %6.1f ms   idle resident memory %5.1f MiB' %
              (name, time_ms[name], mem_mib[name]))
    for base, targets in (('bare GTK window', ' (targets 1.20 and 1.15)'),
                          ('bare window with the texts', '')):
        print('Sonaret / %s: start-up %.2f, memory %.2f%s' %
              (base, time_ms['Sonaret'] / time_ms[base], mem_mib['Sonaret'] / mem_mib[base],
               targets))


if __name__ == '__main__':
    main()
