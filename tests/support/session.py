"""A private desktop session for the programs the tests and benchmarks run:
an Xvfb display, a session bus, on request weston nested in the display (a
Wayland desktop, as GNOME and KDE start by default), and the tests'
PulseAudio daemon (pulse-fixture.sh), each stopped by its process id. Used
by tests/app/*.py and bench/*.py."""
import os
import re
import signal
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SCREEN = (1280, 800)
# weston's output, at the top-left of the screen: smaller than the screen, so
# that the pointer can leave it and enter it again.
OUTPUT = (1200, 760)


class SessionError(RuntimeError):
    """A part of the session could not be started."""


def stop_process(proc):
    """Ends a process started here: SIGTERM, then SIGKILL after 10 s."""
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def _parent_and_state(pid):
    try:
        with open('/proc/%d/stat' % pid) as f:
            # "pid (name) state ppid ...": the name may hold spaces and ")".
            fields = f.read().rsplit(')', 1)[1].split()
    except (OSError, IndexError):
        return None, None
    return int(fields[1]), fields[0]


def descendants(pid):
    """The process ids below `pid`, children first."""
    parents = {}
    for entry in os.listdir('/proc'):
        if entry.isdigit():
            parent, _ = _parent_and_state(int(entry))
            if parent is not None:
                parents.setdefault(parent, []).append(int(entry))
    found, queue = [], [pid]
    while queue:
        for child in parents.get(queue.pop(0), []):
            found.append(child)
            queue.append(child)
    return found


def stop_with_descendants(proc):
    """Ends a process started here and then what it started (weston's shell
    helpers, what a bus started on demand): they are meant to end with it,
    and are ended by their ids 10 s later if they have not."""
    if proc is None:
        return
    below = descendants(proc.pid) if proc.poll() is None else []
    stop_process(proc)
    deadline = time.time() + 10
    while True:
        # A zombie has ended; its parent, or init, reaps it.
        left = [p for p in below if _parent_and_state(p)[1] not in (None, 'Z')]
        if not left:
            return
        if time.time() > deadline:
            for p in left:
                try:
                    os.kill(p, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            return
        time.sleep(0.1)


class Xvfb:
    """An X server of our own; the server picks a free display number."""

    def __init__(self, screen=SCREEN):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ['Xvfb', '-displayfd', str(write_fd), '-screen', '0', '%dx%dx24' % screen, '-nolisten',
             'tcp', '-noreset'], pass_fds=(write_fd,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_fd)
        number = b''
        while True:
            c = os.read(read_fd, 1)
            if not c or c == b'\n':
                break
            number += c
        os.close(read_fd)
        if not number:
            self.stop()
            raise SessionError('Xvfb did not start')
        self.display = ':' + number.decode()

    def stop(self):
        stop_process(self.proc)


class SessionBus:
    """A session bus of our own. Without one GLib starts a bus of its own for
    the display (dbus-launch, where dbus-x11 is installed), which lives on
    after the test and can end the program when the display goes."""

    def __init__(self, runtime):
        self.proc = subprocess.Popen(
            ['dbus-daemon', '--session', '--nofork', '--print-address=1',
             '--address=unix:path=' + os.path.join(runtime, 'bus')],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        # Printed once it listens.
        self.address = self.proc.stdout.readline().strip()
        self.proc.stdout.close()
        if not self.address:
            self.stop()
            raise SessionError('the session bus did not start')

    def stop(self):
        stop_with_descendants(self.proc)


WESTON_INI = """\
[core]
idle-time=0

[shell]
# Nothing of the shell's own on the output, nothing that fades or zooms in
# screenshots, and no lock screen.
panel-position=none
locking=false
animation=none
close-animation=none
startup-animation=none
focus-animation=none
background-color=0xff303040

[input-method]
path=
"""


class Weston:
    """weston, nested in `display` (its X11 backend, which takes xdotool's
    input): one output of OUTPUT pixels, its socket in `runtime`. Started
    with --debug, so that weston-debug can dump its scene graph (where the
    tests find windows: Wayland windows are not X windows)."""

    SOCKET = 'wayland-sonaret'

    def __init__(self, folder, runtime, display, bus):
        config = os.path.join(folder, 'weston.ini')
        with open(config, 'w') as f:
            f.write(WESTON_INI)
        self.log = os.path.join(folder, 'weston.log')
        self.environment = {'XDG_RUNTIME_DIR': runtime, 'WAYLAND_DISPLAY': self.SOCKET}
        env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=runtime,
                   DBUS_SESSION_BUS_ADDRESS=bus)
        for name in ('WAYLAND_DISPLAY', 'WAYLAND_SOCKET'):
            env.pop(name, None)
        # The pixman renderer needs no GL stack, and costs a fraction of GL
        # on the processor (llvmpipe) on a machine the tests share. Its one
        # difference for a client: it holds the last buffer a window
        # attached until the next one comes, so GTK draws each frame into a
        # new one.
        self.proc = subprocess.Popen(
            ['weston', '--backend=x11-backend.so', '--use-pixman', '--width=%d' % OUTPUT[0],
             '--height=%d' % OUTPUT[1], '--socket=' + self.SOCKET, '--idle-time=0', '--debug',
             '--config=' + config, '--log=' + self.log],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.xenv = dict(env, **self.environment)
        socket = os.path.join(runtime, self.SOCKET)
        # Up once the shell's helper has given the output its background.
        deadline = time.time() + 60
        while not (os.path.exists(socket) and 'background for output' in self.scene_graph()):
            if self.proc.poll() is not None or time.time() > deadline:
                self.stop()
                raise SessionError('weston did not start:\n' + self.log_tail())
            time.sleep(0.1)
        self.origin = self._output_window(deadline)
        self._enter_pointer(deadline)

    def scene_graph(self):
        """weston's scene: its outputs, and every view with its role, client,
        title and position on the output."""
        try:
            dump = subprocess.run(['weston-debug', 'scene-graph'], env=self.xenv,
                                  capture_output=True, timeout=30)
        except subprocess.TimeoutExpired:
            return ''
        return dump.stdout.decode('utf-8', errors='replace')

    def _output_window(self, deadline):
        """Where the output's window is on the X screen."""
        while True:
            found = xdotool(self.xenv, 'search', '--onlyvisible', '--class', 'weston')
            for wid in found.stdout.split():
                geo = xdotool(self.xenv, 'getwindowgeometry', '--shell', wid)
                values = dict(line.split('=', 1) for line in geo.stdout.split() if '=' in line)
                if values.get('WIDTH') == str(OUTPUT[0]) and values.get('HEIGHT') == str(OUTPUT[1]):
                    return int(values['X']), int(values['Y'])
            if time.time() > deadline:
                self.stop()
                raise SessionError('weston\'s output window did not come')
            time.sleep(0.1)

    def _enter_pointer(self, deadline):
        # weston's X11 backend can miss the first clicks when the pointer
        # never crossed into the output's window (it starts inside it). Out
        # and in again, until the output's cursor follows the pointer.
        x, y = self.origin[0] + OUTPUT[0] // 4, self.origin[1] + OUTPUT[1] // 4
        while True:
            xdotool(self.xenv, 'mousemove', str(SCREEN[0] - 1), str(SCREEN[1] - 1))
            xdotool(self.xenv, 'mousemove', str(x), str(y))
            if self._cursor_near(x - self.origin[0], y - self.origin[1]):
                return
            if time.time() > deadline:
                self.stop()
                raise SessionError('weston does not follow the pointer')
            time.sleep(0.1)

    def _cursor_near(self, x, y):
        # "View n (role wl_pointer-cursor, ...):" and, on the next line,
        # "position: (x1, y1) -> (x2, y2)".
        found = re.search(r'role wl_pointer-cursor,.*\n\s*position: \((-?\d+), (-?\d+)\)',
                          self.scene_graph())
        if not found:
            return False
        cx, cy = int(found.group(1)), int(found.group(2))
        # The view's top-left is the pointer less the image's hot spot.
        return x - 64 <= cx <= x and y - 64 <= cy <= y

    def log_tail(self):
        try:
            with open(self.log, errors='replace') as f:
                return f.read()[-3000:]
        except OSError:
            return '(no log)'

    def stop(self):
        stop_with_descendants(self.proc)


class DesktopSession:
    """What a desktop session gives a program: a display (Xvfb), a session
    bus and a runtime folder of its own (0700, as the login manager makes
    it), and on request weston in that display with WAYLAND_DISPLAY set
    beside DISPLAY, as GNOME and KDE start it; the toolkit then chooses
    Wayland itself. `display` false: no display at all, only the bus;
    `screen` the display's size."""

    def __init__(self, folder, wayland=False, display=True, screen=SCREEN):
        self.runtime = os.path.join(folder, 'runtime')
        os.makedirs(self.runtime, mode=0o700)
        self.xvfb = self.bus = self.weston = None
        try:
            self.bus = SessionBus(self.runtime)
            if display:
                self.xvfb = Xvfb(screen)
            if wayland:
                self.weston = Weston(folder, self.runtime, self.xvfb.display, self.bus.address)
        except BaseException:
            self.stop()
            raise

    def apply(self, env):
        """Sets the session's variables in `env`, and takes out those of the
        session the tests run in."""
        for name in ('DISPLAY', 'WAYLAND_DISPLAY', 'WAYLAND_SOCKET', 'GDK_BACKEND',
                     'DBUS_SESSION_BUS_ADDRESS', 'XDG_RUNTIME_DIR', 'XDG_SESSION_TYPE'):
            env.pop(name, None)
        env['XDG_RUNTIME_DIR'] = self.runtime
        env['DBUS_SESSION_BUS_ADDRESS'] = self.bus.address
        # The tests read the windows' colours (desktop.py): the toolkit's own
        # theme, whatever the machine's settings say. No accessibility bus:
        # it is not what these tests look at, and would start on ours.
        env['GTK_THEME'] = 'Adwaita'
        env['NO_AT_BRIDGE'] = '1'
        if self.xvfb:
            env['DISPLAY'] = self.xvfb.display
            env['XDG_SESSION_TYPE'] = 'x11'
        if self.weston:
            env.update(self.weston.environment)
            env['XDG_SESSION_TYPE'] = 'wayland'
        return env

    def stop(self):
        for part in (self.weston, self.xvfb, self.bus):
            if part:
                part.stop()
        self.weston = self.xvfb = self.bus = None


class SoundServer:
    """The tests' sound server with their devices
    (tests/support/pulse_devices.pa), in `folder`/pulse: the PulseAudio
    daemon, or PipeWire with pipewire-pulse and WirePlumber where
    SONARET_SOUND_SERVER=pipewire (pulse-fixture.sh chooses; `pid` is then
    pipewire-pulse's).

    `devices` names another script of devices in the same syntax; with
    `wakers` false the sinks get no streams of silence to keep them awake
    (the benchmarks measure the daemon's own CPU, which those would swamp)."""

    def __init__(self, folder, devices=None, wakers=True):
        self.fixture = os.path.join(HERE, 'pulse-fixture.sh')
        self.dir = os.path.join(folder, 'pulse')
        command = [self.fixture, 'start', self.dir]
        if devices is not None:
            command += ['--devices', devices]
        if not wakers:
            command.append('--no-wakers')
        started = subprocess.run(command, capture_output=True, text=True, timeout=120)
        if started.returncode != 0:
            raise SessionError('the sound server did not start\n' + started.stderr)
        self.address = 'unix:' + os.path.join(self.dir, 'native')
        self.client_config = os.path.join(self.dir, 'client.conf')
        with open(os.path.join(self.dir, 'daemon.pid')) as f:
            self.pid = int(f.read().split()[0])

    def environment(self):
        """What a client needs to find this server (and no other)."""
        return {'PULSE_SERVER': self.address, 'PULSE_CLIENTCONFIG': self.client_config}

    def stop(self):
        """Stops the daemon. False when a sink's stream of silence had ended
        before: what ran meanwhile may have met a sleeping sink."""
        stopped = subprocess.run([self.fixture, 'stop', self.dir], capture_output=True,
                                 timeout=120)
        return stopped.returncode == 0


def xdotool(env, *args, timeout=30):
    return subprocess.run(['xdotool', *args], env=env, capture_output=True, text=True,
                          timeout=timeout)
