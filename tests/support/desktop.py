"""Where the program's windows are on a session's display (session.py), and
the two user actions on them that the window system, not the program,
carries out (the close box, moving a window). One object per window system,
both answering the same questions, with windows as client areas in the X
screen's pixels, where the tests click and take screenshots:

- X11 (X11Desktop): windows are X windows (xdotool, xwininfo). No window
  manager runs, so a window's X geometry is its client area.
- Wayland under weston (WaylandDesktop): windows are surfaces, found in
  weston's scene graph (weston-debug) with their position on weston's
  output, whose window sits in the X screen. The toolkit draws the frame
  itself: a shadow margin, which the surface's opaque region leaves out,
  and a title bar at its top, found in a screenshot by the theme's colours
  (the session sets GTK_THEME=Adwaita)."""
import collections
import ctypes
import re
import subprocess
import time

from session import OUTPUT, SCREEN, xdotool

# A client area in the X screen's pixels; `id` names the window for this
# desktop's other calls.
Window = collections.namedtuple('Window', 'id x y width height')

# Adwaita's window background (its menus' is pure white: white_box).
DIALOG_BACKGROUND = (246, 245, 244)


def desktop_for(session, env):
    """The desktop of a session.DesktopSession, for a program run in `env`."""
    return WaylandDesktop(env, session.weston) if session.weston else X11Desktop(env)


def grab(env):
    """The X screen: (width, height, RGB bytes)."""
    ppm = subprocess.run(['import', '-window', 'root', '-depth', '8', 'ppm:-'], env=env,
                         capture_output=True, check=True, timeout=60).stdout
    header = re.match(rb'P6\s+(\d+)\s+(\d+)\s+255\s', ppm)
    width, height = int(header.group(1)), int(header.group(2))
    return width, height, ppm[header.end():header.end() + width * height * 3]


def pixel(shot, x, y):
    width, height, rgb = shot
    if not (0 <= x < width and 0 <= y < height):
        return None
    i = (y * width + x) * 3
    return rgb[i], rgb[i + 1], rgb[i + 2]


def dialog_sized(width, height, screen=SCREEN):
    # The screen's own (root) window is left out.
    return 60 < width < screen[0] and 40 < height < screen[1]


class Desktop:
    """What both window systems answer alike, on top of toplevels() and
    popups()."""

    def __init__(self, env, screen=SCREEN):
        self.env = env
        self.screen = screen

    def toplevels(self):
        """The visible top-level windows of dialog size: [(title, Window)]."""
        raise NotImplementedError

    def popups(self):
        """The open popup menus: [Window], the menu's own rectangle."""
        raise NotImplementedError

    def app_class(self, window):
        """What the desktop ties the window to its menu entry by: the class
        of its WM_CLASS on X11, its app id on Wayland (None if it has none)."""
        raise NotImplementedError

    def geometry(self, wid):
        return next((w for _, w in self.toplevels() if w.id == wid), None)

    def title(self, wid):
        return next((t for t, w in self.toplevels() if w.id == wid), None)

    def others(self, exclude=()):
        """The visible top-level windows other than those in `exclude`."""
        return [w for _, w in self.toplevels() if w.id not in exclude]

    def find_window(self, pattern, seconds=90, alive=lambda: True):
        """A visible top-level window whose title matches `pattern` (a
        regular expression), waiting up to `seconds`; None if none came or
        `alive()` turned false."""
        deadline = time.time() + seconds
        while True:
            for title, window in self.toplevels():
                if re.search(pattern, title):
                    return window
            if time.time() > deadline or not alive():
                return None
            time.sleep(0.2)

    def gone(self, wid, seconds=20):
        """Until the window `wid` is no longer shown; whether it went."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            if self.geometry(wid) is None:
                return True
            time.sleep(0.2)
        return False

    def click(self, x, y):
        # One connection to the X server, so the pointer arrives (and the
        # toolkit hears of it) before the button goes down.
        xdotool(self.env, 'mousemove', str(x), str(y), 'click', '1')


class X11Desktop(Desktop):
    name = 'x11'

    def _windows(self):
        """The mapped children of the root window: (id, override-redirect,
        x, y, width, height)."""
        found = xdotool(self.env, 'search', '--onlyvisible', '--maxdepth', '1', '--name', '.*')
        out = []
        for wid in found.stdout.split():
            info = subprocess.run(['xwininfo', '-id', wid], env=self.env, capture_output=True,
                                  timeout=30).stdout.decode(errors='replace')
            values = dict(line.strip().split(': ', 1) for line in info.splitlines()
                          if ': ' in line)
            try:
                geometry = [int(values[k]) for k in ('Absolute upper-left X',
                                                     'Absolute upper-left Y', 'Width', 'Height')]
            except (KeyError, ValueError):
                continue  # gone meanwhile
            out.append((wid, values.get('Override Redirect State') == 'yes', *geometry))
        return out

    def toplevels(self):
        out = []
        for wid, override, x, y, width, height in self._windows():
            if not override and dialog_sized(width, height, self.screen):
                title = xdotool(self.env, 'getwindowname', wid).stdout.rstrip('\n')
                out.append((title, Window(wid, x, y, width, height)))
        return out

    def popups(self):
        # Menus are override-redirect windows; so are the tiny window a menu
        # is placed beside, and windows the toolkit keeps off the screen.
        return [Window(wid, x, y, width, height)
                for wid, override, x, y, width, height in self._windows()
                if override and width >= 20 and height >= 20 and x >= 0 and y >= 0]

    def app_class(self, window):
        # WM_CLASS(STRING) = "instance", "class"
        shown = subprocess.run(['xprop', '-id', window.id, 'WM_CLASS'], env=self.env,
                               capture_output=True, text=True, timeout=60).stdout
        found = re.search(r'"[^"]*", "([^"]*)"$', shown.strip())
        return found.group(1) if found else None

    def close(self, window):
        """What a window manager does for the close box: WM_DELETE_WINDOW."""
        x11 = ctypes.CDLL('libX11.so.6')
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                   ctypes.c_long, ctypes.c_void_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):
            _fields_ = [('type', ctypes.c_int), ('serial', ctypes.c_ulong),
                        ('send_event', ctypes.c_int), ('display', ctypes.c_void_p),
                        ('window', ctypes.c_ulong), ('message_type', ctypes.c_ulong),
                        ('format', ctypes.c_int), ('data', ctypes.c_long * 5),
                        ('pad', ctypes.c_long * 12)]

        display = x11.XOpenDisplay(self.env['DISPLAY'].encode())
        event = ClientMessage()
        event.type = 33  # ClientMessage
        event.window = int(window.id)
        event.message_type = x11.XInternAtom(display, b'WM_PROTOCOLS', 0)
        event.format = 32
        event.data[0] = x11.XInternAtom(display, b'WM_DELETE_WINDOW', 0)
        x11.XSendEvent(display, int(window.id), 0, 0, ctypes.byref(event))
        x11.XFlush(display)
        x11.XCloseDisplay(display)

    def move(self, window, x, y):
        """Moves the window's client area to (x, y); where it is then."""
        xdotool(self.env, 'windowmove', window.id, str(x), str(y))
        deadline = time.time() + 10
        while True:
            now = self.geometry(window.id)
            if now is None or (now.x, now.y) == (x, y) or time.time() > deadline:
                return now
            time.sleep(0.1)


VIEW = re.compile(r'View \d+ \(role (\S+), PID (\d+), surface ID (\d+), (.*), 0x[0-9a-f]+\):$')
RECTANGLE = r'\((-?\d+), (-?\d+)\) -> \((-?\d+), (-?\d+)\)'
POSITION = re.compile(r'position: ' + RECTANGLE)
OPAQUE = re.compile(r'\[opaque: ' + RECTANGLE + r'\]')
TITLE = re.compile(r"top-level window '(.*)'(?: of .*)?$")
# weston names a top-level view after its title and its app id.
APP_ID = re.compile(r"top-level window(?: '.*')? of (.*)$")


class WaylandDesktop(Desktop):
    name = 'wayland'

    def __init__(self, env, weston):
        super().__init__(env)
        self.weston = weston
        # Title bar heights by surface: measured once, in a screenshot.
        self.bars = {}

    def _views(self):
        """The clients' views in weston's scene graph, as dicts: role, pid,
        surface, label, and rectangles in the X screen (x1, y1, x2, y2):
        rect (the whole surface) and opaque (or None)."""
        ox, oy = self.weston.origin

        def on_screen(match):
            x1, y1, x2, y2 = (int(v) for v in match.groups())
            return x1 + ox, y1 + oy, x2 + ox, y2 + oy

        views = []
        for line in self.weston.scene_graph().splitlines():
            found = VIEW.search(line)
            if found:
                role, pid, surface, label = found.groups()
                views.append({'role': role, 'pid': int(pid), 'surface': surface,
                              'label': label, 'rect': None, 'opaque': None})
            elif views and POSITION.search(line):
                views[-1]['rect'] = on_screen(POSITION.search(line))
            elif views and OPAQUE.search(line):
                views[-1]['opaque'] = on_screen(OPAQUE.search(line))
            elif views and '[fully opaque]' in line:
                views[-1]['opaque'] = views[-1]['rect']
        # weston's own helpers (the shell's background) connect through a
        # socket weston made, so they carry its process id.
        return [v for v in views if v['pid'] != self.weston.proc.pid and v['rect']]

    def toplevels(self):
        out = []
        shot = None
        for view in self._views():
            if view['role'] != 'xdg_toplevel' or not view['opaque']:
                continue
            x1, y1, x2, y2 = view['opaque']
            if not dialog_sized(x2 - x1, y2 - y1):
                continue
            bar = self.bars.get(view['surface'])
            if bar is None:
                shot = shot or grab(self.env)
                bar = title_bar(shot, view['opaque'])
                if bar is None:
                    continue  # not on the screen yet
                self.bars[view['surface']] = bar
            title = TITLE.match(view['label'])
            out.append((title.group(1) if title else '',
                        Window('surface-' + view['surface'], x1, y1 + bar, x2 - x1,
                               y2 - y1 - bar)))
        return out

    def app_class(self, window):
        for view in self._views():
            if 'surface-' + view['surface'] == window.id:
                found = APP_ID.match(view['label'])
                return found.group(1) if found else None
        return None

    def popups(self):
        out = []
        views = [v for v in self._views() if v['role'] == 'xdg_popup']
        if views:
            shot = grab(self.env)
            for view in views:
                # The menu without its shadow: its white background.
                menu = white_box(shot, view['rect'])
                if menu:
                    out.append(Window('surface-' + view['surface'], *menu))
        return out

    def _title_bar(self, window):
        """The rectangle of the window's title bar: (x, y, width, height)."""
        bar = self.bars[window.id[len('surface-'):]]
        return window.x, window.y - bar, window.width, bar

    def close(self, window):
        """Clicks the close box, the dark cross at the title bar's right."""
        x, y, width, height = self._title_bar(window)
        shot = grab(self.env)
        dark = [(px, py) for py in range(y + 2, y + height - 2)
                for px in range(x + width - 48, x + width - 2)
                if sum(pixel(shot, px, py) or (255, 255, 255)) < 3 * 120]
        if dark:
            cx = (min(p[0] for p in dark) + max(p[0] for p in dark)) // 2
            cy = (min(p[1] for p in dark) + max(p[1] for p in dark)) // 2
        else:
            cx, cy = x + width - height // 2, y + height // 2
        self.click(cx, cy)

    def move(self, window, x, y):
        """Drags the window by its title bar so that its client area goes to
        about (x, y), as far as the output reaches; where it is then."""
        bx, by, _, bar = self._title_bar(window)
        grip = (bx + 60, by + bar // 2)
        ox, oy = self.weston.origin
        target = (min(max(grip[0] + x - window.x, ox + 2), ox + OUTPUT[0] - 3),
                  min(max(grip[1] + y - window.y, oy + 2), oy + OUTPUT[1] - 3))
        xdotool(self.env, 'mousemove', *map(str, grip), 'mousedown', '1', 'mousemove',
                str(grip[0] + 10), str(grip[1] + 10))
        # The toolkit asks weston to move the window once the pointer has
        # left the press; weston moves it with the motions after that.
        deadline = time.time() + 10
        step = 0
        moved = None
        while time.time() < deadline:
            step += 1
            xdotool(self.env, 'mousemove', str(target[0] + step % 2), str(target[1]))
            now = self.geometry(window.id)
            if now and (now.x, now.y) != (window.x, window.y):
                if moved == now:
                    break
                moved = now
            time.sleep(0.1)
        xdotool(self.env, 'mouseup', '1')
        return self.geometry(window.id)


def title_bar(shot, opaque):
    """The height of the title bar at the top of a window's opaque region:
    down its left edge, the rows above the first of the dialog's background
    that goes on from there. None when the window is not drawn yet."""
    x1, y1, _, y2 = opaque
    limit = min(y2, y1 + 80)
    last = None
    for y in range(y1, limit):
        colour = pixel(shot, x1 + 3, y)
        if colour is None or max(abs(a - b) for a, b in zip(colour, DIALOG_BACKGROUND)) > 2:
            last = y
    if last is None or last - y1 < 10 or limit - last < 8:
        return None
    return last + 1 - y1


def white_box(shot, rect):
    """The bounding box (x, y, width, height) of the menu's white background
    in rect (x1, y1, x2, y2): the columns and rows that are mostly pure
    white, so that something white under the menu's shadow (a hovered
    button) does not widen it; None when there is too little white."""
    x1, y1, x2, y2 = rect
    columns = [0] * (x2 - x1)
    rows = [0] * (y2 - y1)
    for y in range(y1, y2):
        for x in range(x1, x2):
            colour = pixel(shot, x, y)
            if colour and min(colour) >= 250:
                columns[x - x1] += 1
                rows[y - y1] += 1
    if sum(columns) < 100:
        return None
    xs = [i for i, n in enumerate(columns) if n >= max(columns) / 2]
    ys = [i for i, n in enumerate(rows) if n >= max(rows) / 2]
    return x1 + xs[0], y1 + ys[0], xs[-1] - xs[0] + 1, ys[-1] - ys[0] + 1
