#!/usr/bin/env python3
"""Sonaret on a display of more dots per inch, as a desktop sets it up: the
window and every control grow with the text, and the peak display is drawn
at the display's own pixels.

usage: scaling.py PROGRAM [--shots DIR]

Three runs of the program on one private Xvfb display and sound server:
  at Xft.dpi 96, the plain desktop;
  at Xft.dpi 192 (a desktop's large-text or text-scaling setting): the
    window is twice as large and shows every mark of its texts;
  at GDK_SCALE=2 (a window scale of 200 %): the window is as large as at
    192 dpi, and the peak display's grid lines are as many device pixels
    wide as at 96 dpi, not the 2x2 blocks of a picture drawn at 96 dpi and
    scaled up.
Exit status 0 when every check holds; failures are printed."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from app_process import (FAILURES, DesktopSession, SoundServer, check,  # noqa: E402
                         find_window, screenshot)
from desktop import X11Desktop  # noqa: E402
from recorder_e2e import CONTROLS, DIALOG_UNITS  # noqa: E402

# Room for the window at twice its usual size.
SCREEN = (2560, 1600)


def run(env, shots, label):
    """Starts the program, waits for its window; the window's geometry, its
    ink marks and its screenshot as rgb. Closes it again."""
    proc = subprocess.Popen([env['SONARET_PROGRAM']], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        desktop = X11Desktop(env, SCREEN)
        window = find_window(desktop, lambda: proc.poll() is None)
        if not check(window is not None, '%s: the main window appears' % label):
            return None
        _, x, y, w, h = window
        path = os.path.join(shots, 'scaling-%s.png' % label)
        # Until the peak display has drawn its grid (a slow build may show
        # the window before it).
        deadline = time.time() + 30
        while True:
            gray = screenshot(env, path)
            ppm = subprocess.run(['convert', path, '-depth', '8', 'ppm:-'], capture_output=True,
                                 check=True, timeout=60).stdout.split(maxsplit=4)
            shot = {'size': (w, h), 'origin': (x, y), 'gray': gray[2], 'rgb': ppm[4],
                    'width': int(ppm[1])}
            if grid_runs(shot) or time.time() > deadline:
                break
            time.sleep(0.2)
        print('%s: window %dx%d; screenshot %s' % (label, w, h, path))
        desktop.close(window)
        check(proc.wait(60) == 2, '%s: the close box ends the program' % label)
        return shot
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def set_font_dpi(env, dpi):
    # What a desktop's settings daemon or xrdb leaves on the root window.
    subprocess.run(['xprop', '-root', '-f', 'RESOURCE_MANAGER', '8s', '-set', 'RESOURCE_MANAGER',
                    'Xft.dpi:\t%d\n' % dpi], env=env, check=True, timeout=60)


def display_box(shot):
    """The peak display's rectangle on the screen (left, top, right, bottom)."""
    w, h = shot['size']
    x0, y0 = shot['origin']
    ux, uy, uw, uh = CONTROLS['display']
    return (x0 + round(ux * w / DIALOG_UNITS[0]), y0 + round(uy * h / DIALOG_UNITS[1]),
            x0 + round((ux + uw) * w / DIALOG_UNITS[0]), y0 + round((uy + uh) * h / DIALOG_UNITS[1]))


def ink_extents(shot):
    """Per control but the peak display: the width and height of the ink
    (text and pictures) inside it, or None where it has none."""
    w, h = shot['size']
    x0, y0 = shot['origin']
    out = {}
    for name, (ux, uy, uw, uh) in CONTROLS.items():
        if name == 'display':
            continue
        left, top = x0 + round(ux * w / DIALOG_UNITS[0]), y0 + round(uy * h / DIALOG_UNITS[1])
        right = x0 + round((ux + uw) * w / DIALOG_UNITS[0])
        bottom = y0 + round((uy + uh) * h / DIALOG_UNITS[1])
        xs, ys = [], []
        for y in range(top, bottom):
            for x in range(left, right):
                if shot['gray'][y * shot['width'] + x] < 110:
                    xs.append(x)
                    ys.append(y)
        out[name] = (max(xs) - min(xs) + 1, max(ys) - min(ys) + 1) if xs else None
    return out


def grid_runs(shot):
    """The widths of the peak display's vertical grid lines, along a row
    half way between two horizontal ones (where the trace is not)."""
    left, top, right, bottom = display_box(shot)
    # A quarter down, off the grid's rows and above the trace's line of
    # silence in the middle.
    row = top + (bottom - top) // 4 + 3
    runs, length = [], 0
    for x in range(left + 4, right - 4):
        i = (row * shot['width'] + x) * 3
        r, g, b = shot['rgb'][i:i + 3]
        # The grid's green against the display's dark blue; anything in
        # between (a smoothed, scaled-up line) counts as part of a line.
        if b < 50 and g > 35:
            length += 1
        elif length:
            runs.append(length)
            length = 0
    return runs


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    shots = tempfile.mkdtemp(prefix='sonaret-shots-')
    if args[1:3] and args[1] == '--shots':
        shots = args[2]
        os.makedirs(shots, exist_ok=True)
    work = tempfile.mkdtemp(prefix='sonaret-scaling-')
    session = DesktopSession(work, screen=SCREEN)
    sound = SoundServer(work)
    env = session.apply(dict(os.environ))
    env.update(sound.environment())
    env['HOME'] = os.path.join(work, 'home')
    os.makedirs(env['HOME'])
    env['SONARET_PROGRAM'] = args[0]
    for name in ('GDK_SCALE', 'GDK_DPI_SCALE', 'XDG_CONFIG_HOME'):
        env.pop(name, None)
    try:
        set_font_dpi(env, 96)
        plain = run(env, shots, 'dpi96')
        set_font_dpi(env, 192)
        large = run(env, shots, 'dpi192')
        set_font_dpi(env, 96)
        scaled = run(dict(env, GDK_SCALE='2'), shots, 'scale2')
        if plain and large:
            ratio = (large['size'][0] / plain['size'][0], large['size'][1] / plain['size'][1])
            check(all(1.9 <= r <= 2.1 for r in ratio),
                  'at 192 dpi the window is twice its size at 96 (%.2f x %.2f)' % ratio)
            # Text cut off by its control, or pushed out of it, leaves less
            # ink there than twice the 96-dpi extent.
            small, big = ink_extents(plain), ink_extents(large)
            print('ink extents at 96 dpi: %s\nat 192 dpi: %s' % (small, big))
            for name, extent in small.items():
                if extent:
                    check(big[name] and all(b >= 1.8 * a for a, b in zip(extent, big[name])),
                          'no text is cut at 192 dpi: %s\'s ink %s, at 96 dpi %s' %
                          (name, big[name], extent))
        if large and scaled:
            check(all(abs(a - b) <= 2 for a, b in zip(large['size'], scaled['size'])),
                  'at a window scale of 2 the window has the size it has at 192 dpi (%s, %s)' %
                  (scaled['size'], large['size']))
        if plain and scaled:
            # The grid is drawn in pixels: at device pixels its lines are as
            # thin as at 96 dpi, scaled up they would be twice as wide.
            runs, plain_runs = grid_runs(scaled), grid_runs(plain)
            print('grid line widths at scale 2: %s; at 96 dpi: %s' % (runs, plain_runs))
            check(len(runs) >= 5 and plain_runs and max(runs) <= max(plain_runs),
                  'at a window scale of 2 the grid lines are as many device pixels wide as at '
                  '96 dpi: %s against %s' % (runs, plain_runs))
    finally:
        session.stop()
        check(sound.stop(), 'every sink was kept awake to the end')
        shutil.rmtree(work, ignore_errors=True)
    if FAILURES:
        sys.exit(1)
    print('scaling: all checks hold')


if __name__ == '__main__':
    main()
