#!/usr/bin/env python3
"""Sonaret as a process, on a private display: the window appears with its
texts drawn (Chinese glyphs, not boxes), the keyboard reaches the dialog
manager, and the exit code says how it ended (2 closed, 1 OK, 0 no window).

usage: app_process.py CASE PROGRAM [--wayland] [--wine WINE_RUN PREFIX --poster EXE]
                      [--shots DIR] [--entry DESKTOP_FILE]

CASE: escape | closebox | tab | nodisplay, and with --wine also ok (the OK
command, posted by the helper EXE as another program would)
The display is Xvfb; with --wayland the session is a Wayland one, weston in
that Xvfb (session.py), and the toolkit chooses Wayland itself.
With --wine, PROGRAM is a Windows executable run through WINE_RUN (the
project's scripts/wine-run.sh) in the Wine prefix PREFIX; Wine's processes of
that prefix are ended (wineserver -k) before the program starts and when it
is done.
With --entry, the window must be tied to that menu entry as desktops tie
them: on X11 its X class is the entry's StartupWMClass, on Wayland its app id
is the entry's file name without ".desktop".
Exit status 0 when every check holds; failures are printed."""
import configparser
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from desktop import desktop_for  # noqa: E402
from session import DesktopSession, SessionError, SoundServer, xdotool  # noqa: E402,F401

FAILURES = []


def check(condition, message):
    if not condition:
        FAILURES.append(message)
        print('FAILED: ' + message)
    return condition


def find_window(desktop, alive, seconds=90):
    """The visible top-level window called Sonaret. The program starts on
    the default output of a running sound server, so a message box without
    a caption (the capture error) is a failure; it is answered once with
    Enter, as a user would, to go on to the window."""
    deadline = time.time() + seconds
    answered = set()
    while time.time() < deadline and alive():
        for title, window in desktop.toplevels():
            if title == 'Sonaret':
                return window
            if title == '' and window.id not in answered:
                answered.add(window.id)
                check(False, 'no message box before the main window (one without a caption '
                      'came: the capture error)')
                xdotool(desktop.env, 'mousemove', str(window.x + window.width // 2),
                        str(window.y + window.height // 2))
                xdotool(desktop.env, 'key', 'Return')
        time.sleep(0.3)
    return None


def cpu_seconds(pid):
    """The processor time the process has used, all its threads."""
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    # utime and stime, the 14th and 15th fields counted from the pid.
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def check_idle(pid, desktop, seconds=5.0):
    """With the window up and nothing to capture, the program waits: the
    share of a core it uses over a few seconds. (While it captures, even
    silence, the trace scrolls: that cost is the benchmarks' to measure.)"""
    used, began = cpu_seconds(pid), time.monotonic()
    # A measurement over a stretch of time, not a wait for something.
    time.sleep(seconds)
    used, wall = cpu_seconds(pid) - used, time.monotonic() - began
    share = 100 * used / wall
    print('idle CPU on %s: %.2f %% of a core (%.2f s in %.1f s)' % (desktop.name, share, used,
                                                                    wall))
    check(share < 1.0, 'the program idles below 1 %% of a core (%.2f %%)' % share)


def screenshot(env, path):
    subprocess.run(['import', '-window', 'root', path], env=env, check=True, timeout=60)
    gray = subprocess.run(['convert', path, '-colorspace', 'Gray', '-depth', '8', 'pgm:-'],
                          capture_output=True, check=True, timeout=60).stdout
    # P5 <w> <h> <max>\n<bytes>
    parts = gray.split(maxsplit=4)
    width, height = int(parts[1]), int(parts[2])
    return width, height, parts[4][:width * height]


def ink_components(shot, box):
    """Connected groups of dark pixels inside box (x, y, w, h); the large dark
    areas (the peak display, the background) are left out."""
    width, _, pixels = shot
    x0, y0, w, h = box
    seen = bytearray(w * h)
    found = []
    for start in range(w * h):
        sx, sy = start % w, start // w
        if seen[start] or pixels[(y0 + sy) * width + x0 + sx] >= 110:
            continue
        seen[start] = 1
        stack, points = [start], []
        while stack:
            p = stack.pop()
            points.append(p)
            px, py = p % w, p // w
            for nx, ny in ((px + 1, py), (px - 1, py), (px, py + 1), (px, py - 1)):
                if 0 <= nx < w and 0 <= ny < h:
                    q = ny * w + nx
                    if not seen[q] and pixels[(y0 + ny) * width + x0 + nx] < 110:
                        seen[q] = 1
                        stack.append(q)
        xs = [p % w for p in points]
        ys = [p // w for p in points]
        left, top, right, bottom = min(xs), min(ys), max(xs), max(ys)
        if right - left > 60 or bottom - top > 60:
            continue
        found.append((left, top, right, bottom, set(points)))
    return found


def is_box(component, shot, box):
    """A missing glyph: the outline of a whole character's cell, closed on all
    four sides (its right edge may be a lighter, smoothed line) and empty
    inside. No glyph of our texts is a closed, empty shape that large."""
    width, _, pixels = shot
    x0, y0 = box[0], box[1]
    left, top, right, bottom, _ = component
    cw, ch = right - left + 1, bottom - top + 1
    if ch < 12 or cw < ch * 0.5 or cw > ch * 1.3:
        return False

    def dark(x, y):
        return pixels[(y0 + y) * width + x0 + x] < 200

    def row(y):
        return sum(dark(x, y) for x in range(left, right + 1)) / cw

    def column(x):
        return sum(dark(x, y) for y in range(top, bottom + 1)) / ch

    sides = [max(row(y) for y in (top, top + 1)),
             max(row(y) for y in (bottom - 1, bottom)),
             max(column(x) for x in (left, left + 1)),
             max(column(x) for x in (right - 1, right, right + 1, right + 2))]
    if min(sides) < 0.8:
        return False
    return not any(dark(x, y) for y in range(top + 3, bottom - 2)
                   for x in range(left + 3, right - 2))


def check_window_and_texts(env, desktop, alive, shots, name):
    window = find_window(desktop, alive)
    if not check(window is not None, 'the main window appears'):
        return None
    wid, x, y, w, h = window
    check(w >= 300 and h >= 200, 'the window has the template\'s size, not %dx%d' % (w, h))
    path = os.path.join(shots, name + '.png')
    # A window is shown before it is first painted (under Wine on a busy
    # machine, seconds before): the screen is read again until the texts
    # are there or ten seconds have passed.
    deadline = time.monotonic() + 10
    while True:
        shot = screenshot(env, path)
        x, y = max(x, 0), max(y, 0)
        w, h = min(w, shot[0] - x), min(h, shot[1] - y)
        components = ink_components(shot, (x, y, w, h))
        glyphs = [c for c in components if len(c[4]) >= 3]
        if len(glyphs) >= 40 or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    boxes = [c for c in components if is_box(c, shot, (x, y, w, h))]
    print('%s: window %dx%d at %d,%d; %d ink marks, %d empty boxes; screenshot %s' %
          (name, w, h, x, y, len(glyphs), len(boxes), path))
    check(len(glyphs) >= 40, 'the window shows its texts (%d marks)' % len(glyphs))
    check(not boxes, 'no text is drawn as empty boxes (%d found)' % len(boxes))
    return window, shot


def check_entry(desktop, window, path):
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read(path, encoding='utf-8')
    if desktop.name == 'wayland':
        want = os.path.basename(path)[:-len('.desktop')]
    else:
        want = parser['Desktop Entry'].get('StartupWMClass')
    shown = desktop.app_class(window)
    check(shown == want, 'the window is tied to its menu entry on %s: %r, the entry wants %r' %
          (desktop.name, shown, want))


def pointer_over(env, window):
    # Xvfb without a window manager gives the keyboard to the window under
    # the pointer; the peak display is a place where a click does nothing.
    _, x, y, w, h = window
    xdotool(env, 'mousemove', str(x + w // 2), str(y + h * 2 // 5))
    time.sleep(0.3)


def region_changed(before, after, box):
    width = before[0]
    x0, y0, w, h = box
    for yy in range(max(y0, 0), min(y0 + h, before[1])):
        row = yy * width
        if before[2][row + x0:row + x0 + w] != after[2][row + x0:row + x0 + w]:
            return True
    return False


def wine_server(wine, env, *args):
    """Runs Wine's server of the prefix with `args` (in the chroot Wine runs
    in, through the WINE_RUN script)."""
    subprocess.run([wine[0], '--unix', wine[1], 'wineserver'] + list(args), env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


def end_wine(wine, env):
    """Ends every Wine process of the prefix and waits until they are gone."""
    wine_server(wine, env, '-k')
    wine_server(wine, env, '--wait')


def main():
    args = sys.argv[1:]
    if len(args) < 2:
        sys.exit(__doc__)
    case, program = args[0], args[1]
    wine = None
    poster = None
    entry = None
    wayland = False
    shots = None
    rest = args[2:]
    while rest:
        if rest[0] == '--wine' and len(rest) >= 3:
            wine = (rest[1], rest[2])
            rest = rest[3:]
        elif rest[0] == '--poster' and len(rest) >= 2:
            poster = rest[1]
            rest = rest[2:]
        elif rest[0] == '--wayland':
            wayland = True
            rest = rest[1:]
        elif rest[0] == '--entry' and len(rest) >= 2:
            entry = rest[1]
            rest = rest[2:]
        elif rest[0] == '--shots' and len(rest) >= 2:
            shots = rest[1]
            os.makedirs(shots, exist_ok=True)
            rest = rest[2:]
        else:
            sys.exit('app_process: unknown argument ' + rest[0])
    if shots is None:
        shots = tempfile.mkdtemp(prefix='sonaret-shots-')
    if case not in ('escape', 'closebox', 'tab', 'nodisplay', 'ok'):
        sys.exit('app_process: no case %r' % case)
    if case == 'ok' and not (wine and poster):
        sys.exit('app_process: the ok case needs --wine and --poster')
    name = case + ('-windows' if wine else '-linux') + ('-wayland' if wayland else '')

    work = tempfile.mkdtemp(prefix='sonaret-process-')
    try:
        session = DesktopSession(work, wayland=wayland, display=case != 'nodisplay')
    except SessionError as error:
        shutil.rmtree(work, ignore_errors=True)
        sys.exit('app_process: %s' % error)
    sound = SoundServer(work)
    env = session.apply(dict(os.environ))
    # Its own home, so that recordings would land in a music folder of ours.
    env['HOME'] = os.path.join(work, 'home')
    os.makedirs(env['HOME'])
    env.pop('XDG_CONFIG_HOME', None)
    env.pop('XDG_MUSIC_DIR', None)
    env.update(sound.environment())
    env.pop('SONARET_WINE_DISPLAY', None)
    desktop = desktop_for(session, env)
    command = [wine[0], wine[1], program] if wine else [program]
    if wine:
        # Wine's processes left in the prefix by an earlier program (every
        # program starts a desktop process, which without a display has
        # none) would be joined by this one, whose window could then not be
        # shown.
        end_wine(wine, env)
    proc = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    expected = {'escape': 2, 'closebox': 2, 'tab': 2, 'ok': 1, 'nodisplay': 0}[case]
    try:
        if case != 'nodisplay':
            found = check_window_and_texts(env, desktop, lambda: proc.poll() is None, shots,
                                           name)
            if found:
                window, first = found
                if entry:
                    check_entry(desktop, window, entry)
                if case == 'closebox':
                    desktop.close(window)
                else:
                    pointer_over(env, window)
                if case == 'tab':
                    # The focus starts on the first control; Tab moves it on,
                    # so the picture changes there and at the second control.
                    xdotool(env, 'key', 'Tab')
                    time.sleep(0.8)
                    second = screenshot(env, os.path.join(shots, name + '-after-tab.png'))
                    _, x, y, w, h = window
                    check(region_changed(first, second, (x, y, w, h)),
                          'Tab moves the focus (the window looks different)')
                    xdotool(env, 'key', 'Escape')
                elif case in ('escape', 'idle'):
                    xdotool(env, 'key', 'Escape')
                elif case == 'ok':
                    posted = subprocess.run([wine[0], wine[1], poster, 'Sonaret', '1'], env=env,
                                            capture_output=True, timeout=120)
                    check(posted.returncode == 0, 'the OK command was posted')
        try:
            code = proc.wait(60)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            code = None
        check(code == expected, 'exit code %s, expected %d' % (code, expected))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        if wine:
            end_wine(wine, env)
        session.stop()
        check(sound.stop(), 'every sink was kept awake to the end')
        shutil.rmtree(work, ignore_errors=True)
    if FAILURES:
        sys.exit(1)
    print('%s: all checks hold' % name)


if __name__ == '__main__':
    main()
