#!/usr/bin/env python3
"""Sonaret recording as a user does it: the real program on a private
display (Xvfb, or with --wayland weston in it: session.py) with a private
PulseAudio daemon, driven with the mouse and the keyboard (xdotool); the MP3
files it writes are decoded by mp3_probe and checked for what they hold, the
window by screenshots, and the exit code.

usage: recorder_e2e.py CASE PROGRAM --probe MP3_PROBE --lister LIST_DEVICES
                      [--wayland | --wine WINE_RUN PREFIX --poster EXE] [--shots DIR]

The same cases on both builds (the Windows program under Wine 10, with
--wine), where the default output is recorded by loopback:
  loopback       Start, a 1 kHz tone into the default output, Stop: one new
                 file named after the start time, 48 kHz stereo 192 kbit/s,
                 the whole tone without gaps; the peak display shows the
                 trace and the red recording notice, and no notice after Stop
  bitrate        a bit rate picked from the menu while recording applies to
                 the next recording (320K, the 4th item), not the running one
  microphone     the default microphone from the device menu: 16 kHz mono
  otheroutput    an output that is not the default, found in the device
                 menu by its name (LIST_DEVICES prints the menu's entries)
  seconddevice   a recording of the default output, then one of another
                 output chosen from the menu: both files whole
  about          the About box from its link while recording: its size, the
                 display keeps moving behind it, Escape closes it, the
                 recording goes on
  closebox       the close box while recording: a complete file, exit code 2
  escaperecording  Escape while recording (after clicking Start): the same
  escapeafterstop  Escape after Start and Stop with the mouse: exit code 2
  noclobber      a start time whose file names are taken gets the first free
                 "-N" name and leaves the other files alone
  openfailure    a folder that has gone: "编码器打开出错" in a box captioned
                 "录音出错"; afterwards recording works again
  nosoundserver  no sound server: the "音频捕获出错" box before the main
                 window, whose Chinese texts are drawn; Start records nothing;
                 on Linux the window, with nothing to capture, idles below
                 1 % of a core
  unplugged      an output chosen by its name and unloaded from the server
                 during a recording: the "音频捕获出错" box once, the file
                 completed with the tone played before, Start off afterwards
and on Linux only:
  menus          each popup menu (device, bit rate) opened three times:
                 it opens where its button was clicked, and Escape closes it
  kill           SIGKILL while recording: the file decodes up to then
  sigterm, sighup, displaygone
                 the ways a desktop session ends a program while it
                 records (log-out and shut-down, a hung-up session, the
                 display gone; with --wayland the compositor): the file is
                 completed as Close completes it, tag and tone, and the
                 program ends with Close's code
  restart        the sound server stopped and started again while recording:
                 no box, the recording goes on by itself in the same file,
                 which holds the tone played before and the one after
and on Windows only:
  endsession     the session ends while recording, as Windows ends it at
                 log-off (EXE, post_command, sends WM_QUERYENDSESSION and
                 WM_ENDSESSION; Wine sends neither): each answered within
                 5 s, and the file and the exit code as for sigterm

The music folder, where recordings go, is a temporary one: XDG_MUSIC_DIR on
Linux, the "My Music" shell folder of the Wine prefix on Windows. Every
process this starts is stopped by its process id; the temporary folders are
removed. Exit status 0 when every check holds; failures are printed."""
import array
import datetime
import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from app_process import (FAILURES, SessionError, SoundServer, check,  # noqa: E402
                         check_idle, end_wine, ink_components, is_box, region_changed,
                         wine_server, xdotool)
from desktop import desktop_for  # noqa: E402
from session import SCREEN, DesktopSession, stop_process  # noqa: E402

# Template 129 in dialog units: the dialog is 228 by 167. Pixels follow from
# the font's metrics on each system, so positions are taken as fractions of
# the client area (which desktop.py finds on either window system).
DIALOG_UNITS = (228, 167)
CONTROLS = {
    'device': (4, 6, 172, 19),
    'about': (192, 10, 25, 9),
    'display': (4, 31, 220, 78),
    'start': (4, 114, 77, 19),
    'bitrate': (89, 115, 50, 18),
    'stop': (147, 114, 77, 19),
    'folder': (4, 140, 157, 25),
    'change_folder': (168, 144, 56, 13),
}
NAME = re.compile(r'^(\d\d)-(\d\d)-(\d\d)-(\d\d)-(\d\d)(?:-(\d+))?\.mp3$')


def log(text):
    print(text, flush=True)


# --- the session: display, sound server, music folder, program -------------

class Session:
    def __init__(self, case, program, probe, lister, wine, shots, wayland=False):
        self.case = case
        self.program = program
        self.probe = probe
        self.wine = wine
        self.lister = lister
        self.shots = shots
        # The screenshots' names too: a run on PipeWire may go on beside the
        # same case's run on PulseAudio.
        self.name = (case + ('-windows' if wine else '-linux') + ('-wayland' if wayland else '') +
                     ('-pipewire' if os.environ.get('SONARET_SOUND_SERVER') == 'pipewire' else ''))
        self.wayland = wayland
        self.root = tempfile.mkdtemp(prefix='sonaret-e2e-')
        self.sound = None
        self.music = os.path.join(self.root, 'music' if wine else '音乐 录音')
        self.desktop_session = None
        self.desktop = None
        self.manager = None
        self.proc = None
        self.players = []
        self.shot_count = 0
        self.env = dict(os.environ)
        # The session's own variables come with the display (start_display).
        for name in ('DISPLAY', 'WAYLAND_DISPLAY', 'SONARET_WINE_DISPLAY',
                     'DBUS_SESSION_BUS_ADDRESS'):
            self.env.pop(name, None)
        self.env['NO_AT_BRIDGE'] = '1'

    # The daemon of tests/support/pulse_devices.pa, in this session's folder.
    def start_sound_server(self):
        try:
            self.sound = SoundServer(self.root)
        except SessionError as error:
            sys.exit('recorder_e2e: %s' % error)
        self.env.update(self.sound.environment())

    # Stops the daemon; whether every sink was kept awake until then.
    def stop_sound_server(self):
        sound, self.sound = self.sound, None
        return check(sound.stop(), 'every sink was kept awake to the end')

    def no_sound_server(self):
        folder = os.path.join(self.root, 'pulse')
        os.makedirs(folder)
        with open(os.path.join(folder, 'client.conf'), 'w') as f:
            f.write('autospawn = no\n')
        self.env['PULSE_SERVER'] = 'unix:' + os.path.join(folder, 'none')
        self.env['PULSE_CLIENTCONFIG'] = os.path.join(folder, 'client.conf')

    def start_display(self):
        try:
            self.desktop_session = DesktopSession(self.root, wayland=self.wayland)
        except SessionError as error:
            sys.exit('recorder_e2e: %s' % error)
        self.desktop_session.apply(self.env)
        self.desktop = desktop_for(self.desktop_session, self.env)
        if not self.wine:
            # A session manager on the session's bus, as desktops have one,
            # which notes what the program asks of it.
            self.manager_log = os.path.join(self.root, 'session-manager.log')
            manager = os.path.join(HERE, '..', 'support', 'session_manager.py')
            self.manager = subprocess.Popen(['/usr/bin/python3', manager, self.manager_log],
                                            env=self.env)
            if not wait_for(lambda: os.path.exists(self.manager_log), 30):
                sys.exit('recorder_e2e: the session manager did not start')

    def manager_calls(self, method):
        """The arguments of each call of `method` the session manager had."""
        with open(self.manager_log, encoding='utf-8') as f:
            calls = [json.loads(line) for line in f]
        return [c['args'] for c in calls if c.get('method') == method]

    # Where recordings go: on Linux the XDG music folder of a home of our
    # own; under Wine the prefix's "My Music" shell folder.
    def prepare_music_folder(self):
        os.makedirs(self.music)
        if self.wine:
            wine_run, prefix = self.wine
            home = os.path.realpath(prefix) + '-home'
            os.makedirs(home, exist_ok=True)
            self.env['HOME'] = home
            dos = 'Z:' + os.path.realpath(self.music).replace('/', '\\')
            key = r'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders'
            done = subprocess.run([wine_run, prefix, 'reg', 'add', key, '/v', 'My Music', '/t',
                                   'REG_EXPAND_SZ', '/d', dos, '/f'], env=self.env,
                                  capture_output=True, text=True, timeout=600)
            if done.returncode != 0:
                sys.exit('recorder_e2e: could not set the music folder in the Wine prefix:\n' +
                         done.stdout + done.stderr)
            self.wine_wait()
            return
        home = os.path.join(self.root, 'home')
        config = os.path.join(self.root, 'config')
        os.makedirs(home)
        os.makedirs(config)
        with open(os.path.join(config, 'user-dirs.dirs'), 'w', encoding='utf-8') as f:
            f.write('XDG_MUSIC_DIR="%s"\n' % self.music)
        self.env['HOME'] = home
        self.env['XDG_CONFIG_HOME'] = config

    def wine_wait(self):
        wine_server(self.wine, self.env, '--wait')

    def start_program(self):
        command = [self.wine[0], self.wine[1], self.program] if self.wine else [self.program]
        # Into a file: a pipe nobody reads could fill and stop the program.
        self.program_log = os.path.join(self.root, 'program.log')
        with open(self.program_log, 'wb') as log_file:
            self.proc = subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL,
                                         stderr=log_file)

    def wait_exit(self, seconds=60):
        try:
            return self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            return None

    def close(self):
        for player in self.players:
            if player.poll() is None:
                player.kill()
                player.wait()
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.proc:
            with open(self.program_log, 'rb') as f:
                errors = f.read().decode(errors='replace').strip()
            if errors:
                log('program stderr:\n' + errors[-4000:])
        if self.wine:
            end_wine(self.wine, self.env)
        if self.manager:
            stop_process(self.manager)
        if self.desktop_session:
            self.desktop_session.stop()
        if self.sound:
            self.stop_sound_server()
        shutil.rmtree(self.root, ignore_errors=True)

    # --- sound --------------------------------------------------------------

    def play_tone(self, sink, hz=1000.0, seconds=3.0, amplitude=0.5):
        """Starts playing a sine (48 kHz mono float) into `sink`; the server
        converts it to the sink's format. Returns the player process."""
        rate = 48000
        path = os.path.join(self.root, 'tone-%d.raw' % len(self.players))
        samples = array.array('f', (amplitude * math.sin(2 * math.pi * hz * i / rate)
                                    for i in range(int(rate * seconds))))
        if sys.byteorder != 'little':
            samples.byteswap()
        with open(path, 'wb') as f:
            samples.tofile(f)
        player = subprocess.Popen(['pacat', '--playback', '--raw', '--format=float32le',
                                   '--rate=%d' % rate, '--channels=1', '--device=' + sink, path],
                                  env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.players.append(player)
        return player

    def finish_tone(self, player):
        """Until the tone has been played (pacat drains its stream)."""
        try:
            code = player.wait(90)
        except subprocess.TimeoutExpired:
            player.kill()
            player.wait()
            code = None
        check(code == 0, 'the test tone was played (pacat ended with %s: %s)' %
              (code, player.stderr.read().decode(errors='replace').strip()))

    # --- the window -----------------------------------------------------------

    def find_window(self, name='^Sonaret$', seconds=90):
        """A visible top-level window by its title (a desktop.Window, which
        is (id, x, y, width, height) of its client area)."""
        return self.desktop.find_window(name, seconds, alive=lambda: self.proc.poll() is None)

    def other_windows(self, exclude):
        """Visible top-level windows other than those in `exclude`."""
        return self.desktop.others(exclude)

    def window_gone(self, wid, seconds=20):
        return self.desktop.gone(wid, seconds)

    def screenshot(self, label):
        """The screen as (width, height, rgb bytes, gray bytes); kept as a PNG."""
        self.shot_count += 1
        path = os.path.join(self.shots, '%s-%02d-%s.png' % (self.name, self.shot_count, label))
        subprocess.run(['import', '-window', 'root', path], env=self.env, check=True,
                       timeout=60)
        rgb = subprocess.run(['convert', path, '-depth', '8', 'ppm:-'], capture_output=True,
                             check=True, timeout=60).stdout
        gray = subprocess.run(['convert', path, '-colorspace', 'Gray', '-depth', '8', 'pgm:-'],
                              capture_output=True, check=True, timeout=60).stdout
        header = rgb.split(maxsplit=4)
        width, height = int(header[1]), int(header[2])
        return width, height, header[4][:width * height * 3], gray.split(maxsplit=4)[4][
            :width * height]


def point(window, name, inside=None):
    """Screen position of a control's centre (or of `inside`, a point in
    dialog units relative to the control's top-left corner)."""
    _, wx, wy, w, h = window
    x, y, cw, ch = CONTROLS[name]
    px, py = (x + cw / 2, y + ch / 2) if inside is None else (x + inside[0], y + inside[1])
    return wx + round(px * w / DIALOG_UNITS[0]), wy + round(py * h / DIALOG_UNITS[1])


def control_box(window, name, inset=0):
    _, wx, wy, w, h = window
    x, y, cw, ch = CONTROLS[name]
    left = wx + round(x * w / DIALOG_UNITS[0]) + inset
    top = wy + round(y * h / DIALOG_UNITS[1]) + inset
    right = wx + round((x + cw) * w / DIALOG_UNITS[0]) - inset
    bottom = wy + round((y + ch) * h / DIALOG_UNITS[1]) - inset
    return left, top, right - left, bottom - top


# Each action is followed by a wait for what it brings about (a file, a
# window, a picture), never by a pause that usually suffices.
def click(session, window, name, inside=None):
    """Clicks a control; the point clicked."""
    x, y = point(window, name, inside)
    session.desktop.click(x, y)
    return x, y


def keys(session, *names):
    xdotool(session.env, 'key', '--delay', '200', *names)


def pointer_to(session, x, y):
    # Xvfb without a window manager gives the keyboard to the window under
    # the pointer (weston to the window last shown or clicked); the keys
    # that follow reach the server after the move.
    xdotool(session.env, 'mousemove', str(x), str(y))


def pointer_over_display(session, window):
    pointer_to(session, *point(window, 'display'))


# How far a menu's top-left corner may be from the point clicked.
MENU_AT_CLICK = 4


def open_menu(session, window, button, inside=None):
    """Clicks `button` (at `inside`, as for point) and waits for its popup
    menu, which must open where the button was clicked, as the program asks
    (at the pointer). The menu (a desktop.Window), or None."""
    before = {menu.id for menu in session.desktop.popups()}
    x, y = click(session, window, button, inside)
    menus = wait_for(lambda: [m for m in session.desktop.popups() if m.id not in before], 20)
    if not check(bool(menus), 'the %s menu opens' % button):
        return None
    menu = menus[0]
    log('%s menu at %d,%d (%dx%d), clicked at %d,%d: %+d,%+d' %
        (button, menu.x, menu.y, menu.width, menu.height, x, y, menu.x - x, menu.y - y))
    # Under Wine the menu is Wine's own; the placement checked here is the
    # Linux platform's.
    if not session.wine:
        check(abs(menu.x - x) <= MENU_AT_CLICK and abs(menu.y - y) <= MENU_AT_CLICK,
              'the %s menu opens at the click (%d,%d), not at %d,%d' %
              (button, x, y, menu.x, menu.y))
    # The toolkit takes the keyboard for the menu as it maps it; a moment
    # for it to settle, as a user's eye would take.
    time.sleep(0.3)
    return menu


def menu_closed(session, menu):
    return wait_for(lambda: all(m.id != menu.id for m in session.desktop.popups()), 20)


def choose_from_menu(session, window, button, position):
    """Opens the popup menu of `button` and picks its item number `position`
    (1 for the first) with the keyboard, as a user would. Whether the menu
    came and went."""
    menu = open_menu(session, window, button)
    if not menu:
        return False
    keys(session, *(['Down'] * position), 'Return')
    return check(menu_closed(session, menu), 'the %s menu closes on Return' % button)


def wait_for(condition, seconds, step=0.1):
    """Polls `condition` until it gives something true or `seconds` have
    passed; its last result."""
    deadline = time.time() + seconds
    while True:
        result = condition()
        if result or time.time() > deadline:
            return result
        time.sleep(step)


def display_picture(shot, box):
    """The peak display: how many columns carry a tall green trace line (a
    loud block), how many of those are in its newest twelfth (the right
    end, where the trace comes in), green pixels in all, and red pixels (the
    notice)."""
    width = shot[0]
    rgb = shot[2]
    x0, y0, w, h = box
    tall = newest_tall = green = red = 0
    for x in range(x0, x0 + w):
        column = 0
        for y in range(y0, y0 + h):
            i = (y * width + x) * 3
            r, g, b = rgb[i], rgb[i + 1], rgb[i + 2]
            if g > 180 and r < 100 and b < 100:
                column += 1
            elif r > 150 and g < 90 and b < 90:
                red += 1
        green += column
        if column >= 0.3 * h:
            tall += 1
            newest_tall += x >= x0 + w - w // 12
    return {'tall_columns': tall, 'newest_tall': newest_tall, 'green': green, 'red': red}


def trace_end_quiet(session, window, label='tone-ended', seconds=20):
    """Until the peak display shows the tone and then quiet at its newest
    (right) end: the capture has delivered the tone's last packets. Whether
    that came."""
    def ended(picture):
        return picture['tall_columns'] > 0 and picture['newest_tall'] == 0

    _, picture = wait_for_picture(session, window, label, ended, seconds)
    return check(ended(picture), 'the display shows the tone, then quiet at its newest end')


def wait_for_picture(session, window, label, condition, seconds=20):
    """Screenshots until the display's picture meets `condition`; the last
    one's picture."""
    box = control_box(window, 'display', inset=4)
    deadline = time.time() + seconds
    while True:
        shot = session.screenshot(label)
        picture = display_picture(shot, box)
        if condition(picture) or time.time() > deadline:
            log('display %s: %s' % (label, picture))
            return shot, picture
        time.sleep(0.2)


def texts_drawn(session, geometry, label, what, minimum, seconds=10):
    """The texts inside a window are glyphs, not empty boxes (missing font):
    screenshots until they are drawn, or `seconds` have passed."""
    _, x, y, w, h = geometry
    deadline = time.time() + seconds
    while True:
        shot = session.screenshot(label)
        x, y = max(x, 0), max(y, 0)
        w, h = min(w, shot[0] - x), min(h, shot[1] - y)
        gray = (shot[0], shot[1], shot[3])
        components = ink_components(gray, (x, y, w, h))
        boxes = [c for c in components if is_box(c, gray, (x, y, w, h))]
        marks = [c for c in components if len(c[4]) >= 3]
        if (len(marks) >= minimum and not boxes) or time.time() > deadline:
            break
        time.sleep(0.2)
    log('%s: %d ink marks, %d empty boxes' % (what, len(marks), len(boxes)))
    check(len(marks) >= minimum, '%s shows its texts (%d marks)' % (what, len(marks)))
    check(not boxes, '%s draws no text as empty boxes (%d found)' % (what, len(boxes)))


# --- recordings ----------------------------------------------------------------

def mp3_files(folder):
    try:
        return sorted(n for n in os.listdir(folder) if n.lower().endswith('.mp3'))
    except FileNotFoundError:
        return []


def wait_new_file(folder, before, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        new = [n for n in mp3_files(folder) if n not in before]
        if new:
            return new
        time.sleep(0.2)
    return []


def name_time(name, near):
    """The local time a file name gives, in the year of `near` (a datetime)."""
    m = NAME.match(name)
    if not m:
        return None
    month, day, hour, minute, second = (int(v) for v in m.groups()[:5])
    try:
        return datetime.datetime(near.year, month, day, hour, minute, second)
    except ValueError:
        return None


def check_name(name, clicked_from, clicked_to):
    """A file name of the start time: MM-DD-hh-mm-ss.mp3, local time, within
    two seconds of the click."""
    if not check(NAME.match(name) is not None, 'file name %r has the form MM-DD-hh-mm-ss.mp3' %
                 name):
        return
    when = name_time(name, clicked_from)
    low = clicked_from - datetime.timedelta(seconds=2)
    high = clicked_to + datetime.timedelta(seconds=2)
    check(when is not None and low <= when <= high,
          'file name %r gives the start time (clicked between %s and %s)' %
          (name, clicked_from.strftime('%m-%d %H:%M:%S'), clicked_to.strftime('%H:%M:%S')))


def completed(path):
    """Whether the program has completed the file: it fills the frame it
    reserved at the start (zeros until then) with the information tag, the
    last thing it writes before it closes the file."""
    try:
        with open(path, 'rb') as f:
            head = f.read(1024)
    except OSError:
        return False
    return head[:1] == b'\xff' and b'Info' in head and b'LAME' in head


def held_open(path):
    """Whether a process of ours still has the file open (Wine's included:
    the music folder is the same folder inside its chroot)."""
    target = os.path.realpath(path)
    for pid in filter(str.isdigit, os.listdir('/proc')):
        folder = os.path.join('/proc', pid, 'fd')
        try:
            for fd in os.listdir(folder):
                if os.readlink(os.path.join(folder, fd)) == target:
                    return True
        except OSError:
            continue
    return False


def check_completed(path, what='the file'):
    """Until the program has completed the file: whether it did, is closed,
    and no longer grows."""
    if not check(wait_for(lambda: completed(path), 30), '%s is completed: its information tag is '
                 'written' % what):
        return False
    size = os.path.getsize(path)
    closed = wait_for(lambda: not held_open(path), 10)
    check(closed, '%s is closed' % what)
    return check(os.path.getsize(path) == size, '%s no longer grows once completed' % what)


def run_probe(session, path, hz):
    return subprocess.run([session.probe, path, str(hz)], capture_output=True, text=True,
                          timeout=120)


def probe(session, path, hz=1000):
    done = run_probe(session, path, hz)
    if not check(done.returncode == 0, 'mp3_probe reads %s: %s' % (path, done.stderr.strip())):
        return None
    report = json.loads(done.stdout)
    log('probe %s: %s' % (os.path.basename(path), json.dumps(report, ensure_ascii=False)))
    return report


def check_recording(report, rate, channels, kbps=None, hz=1000, tone_seconds=3.0, whole=True):
    """What the file holds: its format, and the played tone complete, at its
    frequency, without gaps."""
    if report is None:
        return
    name = os.path.basename(report['file'])
    if whole:
        check(report['decoded'], '%s decodes to its end (%s)' % (name, report['error']))
        check(report['whole_frames'], '%s is whole MPEG frames up to its last byte (%d left over)'
              % (name, report['trailing_bytes']))
    check(report['rate'] == rate, '%s: %d Hz, expected %d' % (name, report['rate'], rate))
    check(report['channels'] == channels, '%s: %d channels, expected %d' %
          (name, report['channels'], channels))
    if kbps is not None:
        check(report['kbps_min'] == kbps and report['kbps_max'] == kbps and not report['vbr'],
              '%s: constant %d kbit/s (frames %d to %d, vbr %s)' %
              (name, kbps, report['kbps_min'], report['kbps_max'], report['vbr']))
    # The whole tone, once: what was played is what is in the file, however
    # slowly the server's clock ran.
    check(tone_seconds - 0.3 <= report['loud_seconds'] <= tone_seconds + 0.3,
          '%s holds the %.1f s tone (%.2f s loud)' % (name, tone_seconds, report['loud_seconds']))
    check(report['loud_runs'] == 1 and report['gaps'] == 0,
          '%s: the tone has no gaps (%d runs, %d quiet windows inside)' %
          (name, report['loud_runs'], report['gaps']))
    check(report['tone_share'] > 0.9 and abs(report['dominant_hz'] - hz) < hz * 0.02,
          '%s: the tone is %d Hz (share %.3f, measured %.1f Hz)' %
          (name, hz, report['tone_share'], report['dominant_hz']))
    check(len(report['channel_tone_share']) == channels and
          all(s > 0.9 for s in report['channel_tone_share']),
          '%s: every channel carries the tone %s' % (name, report['channel_tone_share']))


# --- the cases ----------------------------------------------------------------

def open_main_window(session):
    window = session.find_window()
    if not check(window is not None, 'the main window appears'):
        return None
    log('main window %s at %d,%d, %dx%d' % window)
    pointer_over_display(session, window)
    return window


def check_exit(session, expected, how=''):
    """Whether the program ended with `expected` (None: still running)."""
    code = session.wait_exit(60)
    return check(code == expected, '%sexit code %s, expected %d' %
                 (how + ': ' if how else '', code, expected))


class Source:
    """What a recording is made of: the sink the test tone is played into,
    the tone, and the format the file must have at the default bit rate."""

    def __init__(self, sink, hz, rate, channels, kbps):
        self.sink, self.hz, self.rate, self.channels, self.kbps = sink, hz, rate, channels, kbps


# The default output, by loopback.
LOOPBACK = Source('stereo48', 1000, 48000, 2, 192)
# The default microphone: what is played into micfeed, at 16 kHz mono. MPEG-2
# at 16 kHz goes up to 160 kbit/s, which the encoder takes for 192.
MICROPHONE = Source('micfeed', 440, 16000, 1, 160)
# A chosen output that is not the default: 44.1 kHz stereo, and the name
# the device menu gives it (tests/support/pulse_devices.pa).
ACCENTS = Source('accents44', 1000, 44100, 2, 192)
ACCENTS_NAME = 'Haut-parleurs Café — Grüße ♪'
# A sink of the unplugged case's own, loaded before the program starts
# (Wine's driver reads the devices once per process).
UNPLUGGED = Source('unplugged', 1000, 48000, 2, 192)
UNPLUGGED_NAME = 'Unplugged'

# Device menu: the two default entries come first, the default input second.
MENU_MICROPHONE = 2


def menu_position(session, name):
    """The device menu's item (1 for the first) whose device has this
    friendly name, as the program lists them; None when none has."""
    command = [session.lister]
    if session.wine:
        command = [session.wine[0], session.wine[1], session.lister]
    done = subprocess.run(command, env=session.env, capture_output=True, timeout=120)
    names = done.stdout.decode('utf-8', errors='replace').splitlines()
    log('device menu: %s' % names)
    if not check(done.returncode == 0 and name in names, 'the device menu lists %r' % name):
        return None
    return names.index(name) + 1


def choose_device(session, window, position):
    box = control_box(window, 'device')
    before = session.screenshot('device-before')
    choose_from_menu(session, window, 'device', position)
    pointer_over_display(session, window)
    after = session.screenshot('device-chosen')
    check(region_changed((before[0], before[1], before[3]), (after[0], after[1], after[3]), box),
          'the device button shows the chosen device')


def ready(session):
    """The main window, ready to record the default output: (window, Source),
    or (None, None)."""
    window = open_main_window(session)
    return (window, LOOPBACK) if window else (None, None)


def record(session, window, source, seconds=3.0, during=None):
    """Start, a tone into the source's sink, Stop. Returns the new file's
    path (None if there is none) and what `during` returned; `during` runs
    while the tone plays."""
    before = mp3_files(session.music)
    clicked_from = datetime.datetime.now()
    click(session, window, 'start')
    clicked_to = datetime.datetime.now()
    new = wait_new_file(session.music, before)
    if not check(len(new) == 1, 'Start makes one new file in the music folder (%s)' % new):
        return None, None
    check_name(new[0], clicked_from, clicked_to)
    path = os.path.join(session.music, new[0])
    player = session.play_tone(source.sink, source.hz, seconds)
    seen = during(player) if during else None
    session.finish_tone(player)
    trace_end_quiet(session, window)
    pointer_over_display(session, window)
    click(session, window, 'stop')
    check_completed(path, 'after Stop the file')
    check(mp3_files(session.music) == sorted(before + new), 'one recording, one file (%s)' %
          mp3_files(session.music))
    return path, seen


def check_source_recording(session, path, source, kbps=None, tone_seconds=3.0, whole=True):
    report = probe(session, path, source.hz)
    check_recording(report, source.rate, source.channels, kbps=kbps or source.kbps,
                    hz=source.hz, tone_seconds=tone_seconds, whole=whole)
    return report


def record_checked(session, window, source, kbps=None):
    """A recording of the source's tone (record), then what its file holds
    (check_source_recording)."""
    path, _ = record(session, window, source)
    if path:
        check_source_recording(session, path, source, kbps=kbps)


def case_loopback(session):
    window = open_main_window(session)
    if not window:
        return
    _, quiet = wait_for_picture(session, window, 'monitoring', lambda p: p['green'] > 0)
    check(quiet['red'] == 0, 'no recording notice before Start (%d red pixels)' % quiet['red'])

    def while_recording(player):
        _, picture = wait_for_picture(
            session, window, 'recording',
            lambda p: p['tall_columns'] >= 20 and p['red'] > 0)
        check(picture['tall_columns'] >= 20,
              'the display draws the tone as a trace (%d tall columns)' % picture['tall_columns'])
        check(picture['red'] >= 20, 'the red notice shows while recording (%d red pixels)' %
              picture['red'])
        if session.manager:
            # Log-out asks first (flag 1) while a recording runs.
            check(wait_for(lambda: session.manager_calls('Inhibit') == [
                ['example.sonaret.Sonaret', 0, '正在保存录音', 1]], 10),
                'the session manager holds log-out (%s)' % session.manager_calls('Inhibit'))
        return picture

    path, _ = record(session, window, LOOPBACK, during=while_recording)
    if session.manager:
        check(wait_for(lambda: session.manager_calls('Uninhibit') == [[1]], 10),
              'after Stop log-out is free again (%s)' % session.manager_calls('Uninhibit'))
    _, after = wait_for_picture(session, window, 'stopped', lambda p: p['red'] == 0)
    check(after['red'] == 0, 'no red notice after Stop (%d red pixels)' % after['red'])
    if path:
        check_source_recording(session, path, LOOPBACK)
    pointer_over_display(session, window)
    keys(session, 'Escape')
    check_exit(session, 2)


# Three points of each menu's button, in dialog units from its top-left: the
# menu follows the click, wherever in the button it is.
MENU_CLICKS = {'device': ((20, 9), (86, 5), (150, 14)), 'bitrate': ((10, 9), (25, 4), (42, 14))}


def case_menus(session):
    """Each popup menu, opened again and again: at the click, and Escape
    closes it without a choice."""
    window = open_main_window(session)
    if not window:
        return
    for button, points in MENU_CLICKS.items():
        for inside in points:
            menu = open_menu(session, window, button, inside)
            if not menu:
                break
            keys(session, 'Escape')
            check(menu_closed(session, menu), 'Escape closes the %s menu' % button)
    pointer_over_display(session, window)
    keys(session, 'Escape')
    check_exit(session, 2)


def case_bitrate(session):
    """A bit rate picked while recording applies to the next recording."""
    window, source = ready(session)
    if not window:
        return
    # The last item, 320K.
    position, kbps = 4, 320
    box = control_box(window, 'bitrate')
    pictures = []

    def pick(player):
        pictures.append(session.screenshot('bitrate-before'))
        choose_from_menu(session, window, 'bitrate', position)
        pointer_over_display(session, window)
        pictures.append(session.screenshot('bitrate-chosen'))

    first, _ = record(session, window, source, during=pick)
    if len(pictures) == 2:
        before, after = pictures
        check(region_changed((before[0], before[1], before[3]), (after[0], after[1], after[3]),
                             box), 'the bit-rate button shows the new choice')
    if first:
        check_source_recording(session, first, source)
    record_checked(session, window, source, kbps=kbps)
    session.desktop.close(window)
    check_exit(session, 2)


def case_microphone(session):
    window = open_main_window(session)
    if not window:
        return
    choose_device(session, window, MENU_MICROPHONE)
    record_checked(session, window, MICROPHONE)
    session.desktop.close(window)
    check_exit(session, 2)


def window_on_device(session, name):
    """The main window with the device of menu text `name` chosen; None when
    either could not be had (the failure is already reported)."""
    window = open_main_window(session)
    return window if window and choose_device_named(session, window, name) else None


def choose_device_named(session, window, name):
    """Chooses the device of menu text `name`; whether it was listed."""
    position = menu_position(session, name)
    if position is not None:
        choose_device(session, window, position)
    return position is not None


def case_otheroutput(session):
    window = window_on_device(session, ACCENTS_NAME)
    if not window:
        return
    record_checked(session, window, ACCENTS)
    pointer_over_display(session, window)
    keys(session, 'Escape')
    check_exit(session, 2)


def case_seconddevice(session):
    """A recording, then another output chosen by its name, and a recording
    of that one: each file holds its own tone, whole."""
    window = open_main_window(session)
    if not window:
        return
    record_checked(session, window, LOOPBACK)
    if not choose_device_named(session, window, ACCENTS_NAME):
        return
    record_checked(session, window, ACCENTS)
    session.desktop.close(window)
    check_exit(session, 2)


def case_about(session):
    window, source = ready(session)
    if not window:
        return

    def with_about_open(player):
        # The link's text sits at the left of its rectangle.
        click(session, window, 'about', inside=(8, 4.5))
        box = session.find_window('^About$', seconds=30)
        if not check(box is not None, 'the About box opens from its link'):
            return None
        texts_drawn(session, box, 'about', 'the About box', 40)
        # Template 100 is 315 by 192 dialog units; a dialog unit has the
        # same proportions as the main window's (template 129, 228 by 167).
        unit_ratio = (window[4] / DIALOG_UNITS[1]) / (window[3] / DIALOG_UNITS[0])
        expected = 315 / 192 / unit_ratio
        actual = box[3] / box[4]
        check(abs(actual / expected - 1) < 0.15,
              'the About box has its template\'s proportions (%dx%d, width/height %.2f, '
              'expected %.2f)' % (box[3], box[4], actual, expected))
        # Aside, so that the display can be seen behind it.
        moved = session.desktop.move(box, SCREEN[0] - 180, 0)
        display = control_box(window, 'display', inset=4)
        first = session.screenshot('about-moved-1')
        shots = []

        def moved_on():
            shots.append(session.screenshot('about-moved-%d' % (len(shots) + 2)))
            second = shots[-1]
            return region_changed((first[0], first[1], first[3]),
                                  (second[0], second[1], second[3]), display)

        check(wait_for(moved_on, 10, step=0.3),
              'the peak display keeps moving while the About box is open')
        second = shots[-1]
        picture = display_picture(second, display)
        log('display behind the About box: %s' % picture)
        check(picture['tall_columns'] >= 10 and picture['red'] > 0,
              'the display shows the tone and the notice behind the About box (%s)' % picture)
        if moved:
            pointer_to(session, moved[1] + 40, moved[2] + min(moved[4], 300) // 2)
        keys(session, 'Escape')
        check(session.window_gone(box[0]), 'Escape closes the About box')
        check(session.proc.poll() is None, 'the program is still running after About')
        check(session.find_window(seconds=5) is not None, 'the main window stays')
        return picture

    # A longer tone: the About box is looked at while it plays.
    path, _ = record(session, window, source, seconds=6.0, during=with_about_open)
    if path:
        check_source_recording(session, path, source, tone_seconds=6.0)
    session.desktop.close(window)
    check_exit(session, 2)


def start_recording_with_tone(session, window, source):
    """Start, then a whole tone and time for it to arrive; the recording
    keeps running. The new file's path."""
    before = mp3_files(session.music)
    click(session, window, 'start')
    new = wait_new_file(session.music, before)
    if not check(len(new) == 1, 'Start makes one new file (%s)' % new):
        return None
    player = session.play_tone(source.sink, source.hz)
    session.finish_tone(player)
    trace_end_quiet(session, window)
    return os.path.join(session.music, new[0])


def case_closebox(session):
    window, source = ready(session)
    if not window:
        return
    path = start_recording_with_tone(session, window, source)
    session.desktop.close(window)
    if check_exit(session, 2, 'the close box while recording ends the program') and path:
        check_source_recording(session, path, source)


def case_escaperecording(session):
    """Escape while recording, with the keyboard where a user's is after
    clicking Start: the recording is finished and the program ends with 2."""
    window, source = ready(session)
    if not window:
        return
    path = start_recording_with_tone(session, window, source)
    pointer_over_display(session, window)
    keys(session, 'Escape')
    # A file still being written says nothing: only once the program is gone.
    if check_exit(session, 2, 'Escape while recording ends the program') and path:
        check_source_recording(session, path, source)


def case_escapeafterstop(session):
    """Escape after a recording was stopped with the mouse ends the program."""
    window, source = ready(session)
    if not window:
        return
    record_checked(session, window, source)
    pointer_over_display(session, window)
    keys(session, 'Escape')
    check_exit(session, 2, 'Escape after Stop ends the program')


def case_kill(session):
    window = open_main_window(session)
    if not window:
        return
    path = start_recording_with_tone(session, window, LOOPBACK)

    # The writer commits the file every 2 s of sound: until what is on the
    # disk holds the whole tone.
    def tone_on_disk():
        done = run_probe(session, path, LOOPBACK.hz)
        return done.returncode == 0 and json.loads(done.stdout)['loud_seconds'] >= 2.7

    if path:
        check(wait_for(tone_on_disk, 20, step=0.5), 'the tone reaches the disk while recording')
    session.proc.send_signal(signal.SIGKILL)
    code = session.wait_exit(30)
    check(code == -signal.SIGKILL, 'the program was killed (%s)' % code)
    if path:
        # Whatever the encoder and the C runtime held at that moment is lost,
        # and the last frame may be cut; the tone, seconds before, is all there.
        report = check_source_recording(session, path, LOOPBACK, whole=False)
        if report:
            check(report['trailing_bytes'] < 1200, 'at most one cut frame at the end (%d bytes)'
                  % report['trailing_bytes'])


def end_display(session):
    desktop = session.desktop_session
    (desktop.weston or desktop.xvfb).stop()


ENDINGS = {
    'sigterm': lambda session: session.proc.send_signal(signal.SIGTERM),
    'sighup': lambda session: session.proc.send_signal(signal.SIGHUP),
    'displaygone': end_display,
    'endsession': lambda session: check(subprocess.run(
        [session.wine[0], session.wine[1], session.poster, 'Sonaret', 'endsession'],
        env=session.env, timeout=120).returncode == 0,
        'the window answers the end of the session within 5 s'),
}


def case_ending(session):
    window = open_main_window(session)
    if not window:
        return
    path = start_recording_with_tone(session, window, LOOPBACK)
    began = time.monotonic()
    ENDINGS[session.case](session)
    ended = check_exit(session, 2, session.case + ' while recording')
    log('%s: the program ended %.2f s after it' % (session.case, time.monotonic() - began))
    if ended and path:
        check(completed(path), 'the file has its information tag')
        report = check_source_recording(session, path, LOOPBACK)
        if report:
            # The tag counts the frames after its own.
            check(report['tag_frames'] == report['walked_frames'] - 1,
                  'the tag counts the file\'s %d frames (%d)' %
                  (report['walked_frames'] - 1, report['tag_frames']))


def case_restart(session):
    window = open_main_window(session)
    if not window:
        return
    path = start_recording_with_tone(session, window, LOOPBACK)
    if not path:
        return
    session.stop_sound_server()
    session.start_sound_server()
    # The window waits a few seconds for the server by itself; the trace
    # of the new tone shows that it is back.
    player = session.play_tone(LOOPBACK.sink, LOOPBACK.hz)
    _, moving = wait_for_picture(session, window, 'back', lambda p: p['tall_columns'] >= 20)
    check(moving['tall_columns'] >= 20, 'the trace moves again after the restart')
    session.finish_tone(player)
    trace_end_quiet(session, window)
    check(not session.other_windows([window[0]]), 'no box came')
    pointer_over_display(session, window)
    click(session, window, 'stop')
    check_completed(path)
    check(mp3_files(session.music) == [os.path.basename(path)], 'one recording, one file (%s)'
          % mp3_files(session.music))
    report = probe(session, path, LOOPBACK.hz)
    if report:
        check(report['decoded'], 'the file decodes to its end (%s)' % report['error'])
        check(5.4 <= report['loud_seconds'] <= 6.6 and report['loud_runs'] == 2,
              'the file holds both tones, the one before and the one after '
              '(%.2f s loud in %d runs)' % (report['loud_seconds'], report['loud_runs']))
        check(report['tone_share'] > 0.9, 'of 1 kHz (share %.3f)' % report['tone_share'])


def case_noclobber(session):
    window, source = ready(session)
    if not window:
        return
    # Every name of the next half minute is taken, in three patterns: the
    # name and its "-2"; the name, "-2" and "-3"; the name and "-3" only.
    # A recording takes the first free one of "-2", "-3", ...
    now = datetime.datetime.now().replace(microsecond=0)
    taken = {}
    free = {}
    for s in range(-2, 30):
        stem = (now + datetime.timedelta(seconds=s)).strftime('%m-%d-%H-%M-%S')
        suffixes = ([None, 2], [None, 2, 3], [None, 3])[s % 3]
        free[stem] = {0: 3, 1: 4, 2: 2}[s % 3]
        for suffix in suffixes:
            name = stem + ('-%d' % suffix if suffix else '') + '.mp3'
            content = ('not a recording: ' + name).encode()
            with open(os.path.join(session.music, name), 'wb') as f:
                f.write(content)
            taken[name] = content
    made = []
    for _ in range(2):
        before = mp3_files(session.music)
        click(session, window, 'start')
        new = wait_new_file(session.music, before)
        if not check(len(new) == 1, 'Start makes one new file (%s)' % new):
            break
        made.append(new[0])
        time.sleep(1.0)  # a recording of a second
        click(session, window, 'stop')
        check_completed(os.path.join(session.music, new[0]), new[0])
    for index, name in enumerate(made):
        m = NAME.match(name)
        stem = name[:14]
        if not check(m is not None and stem in free, 'recording %d (%s) is named after a '
                     'start time in the half minute' % (index + 1, name)):
            continue
        expected = free[stem]
        # The first recording took that one if both started in one second.
        while '%s-%d.mp3' % (stem, expected) in made[:index] or \
                '%s-%d.mp3' % (stem, expected) in taken:
            expected += 1
        check(m.group(6) is not None and int(m.group(6)) == expected,
              'recording %d is called %s-%d.mp3, the first free name (got %s)' %
              (index + 1, stem, expected, name))
        report = probe(session, os.path.join(session.music, name), source.hz)
        if report:
            check(report['decoded'] and report['whole_frames'] and
                  report['rate'] == source.rate and report['channels'] == source.channels,
                  '%s is a whole recording of the device\'s format' % name)
    for name, content in taken.items():
        with open(os.path.join(session.music, name), 'rb') as f:
            check(f.read() == content, '%s is left as it was' % name)
    session.desktop.close(window)
    check_exit(session, 2)


def case_openfailure(session):
    window, source = ready(session)
    if not window:
        return
    os.rmdir(session.music)
    click(session, window, 'start')
    box = session.find_window('^录音出错$', seconds=20)
    if check(box is not None, 'Start in a folder that is gone shows the "录音出错" box'):
        texts_drawn(session, box, 'open-failure', 'the "编码器打开出错" box', 6)
        pointer_to(session, box[1] + box[3] // 2, box[2] + box[4] // 3)
        keys(session, 'Return')
        check(session.window_gone(box[0]), 'Return closes the box')
    check(not os.path.exists(session.music), 'no file and no folder were made')
    # Back to monitoring: with the folder there again, Start records.
    os.makedirs(session.music)
    pointer_over_display(session, window)
    record_checked(session, window, source)
    session.desktop.close(window)
    check_exit(session, 2)


def capture_error_box(session):
    """The "音频捕获出错" box comes before the main window; Return closes it.
    Whether it came."""
    deadline = time.time() + 90
    box = None
    while time.time() < deadline and session.proc.poll() is None:
        found = session.other_windows(exclude=())
        if found:
            box = found[0]
            break
        time.sleep(0.3)
    if not check(box is not None, 'a message box reports the capture error'):
        return False
    title = session.desktop.title(box.id)
    check(title == '', 'the box has an empty caption (%r)' % title)
    main = session.desktop.find_window('^Sonaret$', seconds=0)
    check(main is None, 'the box comes before the main window is shown')
    texts_drawn(session, box, 'capture-error', 'the "音频捕获出错" box', 6)
    pointer_to(session, box[1] + box[3] // 2, box[2] + box[4] // 3)
    keys(session, 'Return')
    check(session.window_gone(box[0]), 'Return closes the box')
    return True


def check_start_records_nothing(session, window):
    before = mp3_files(session.music)
    click(session, window, 'start')
    # A file would be there at once (Start creates it before anything
    # else): seconds for it to show that none comes.
    time.sleep(3)
    check(mp3_files(session.music) == before, 'Start is disabled without a capture: no file (%s)'
          % mp3_files(session.music))
    pointer_over_display(session, window)


def pactl(session, *args):
    done = subprocess.run(['pactl'] + list(args), env=session.env, capture_output=True, text=True,
                          timeout=60)
    check(done.returncode == 0, 'pactl %s: %s' % (' '.join(args), done.stderr.strip()))
    return done.stdout.strip()


def case_unplugged(session):
    window = window_on_device(session, UNPLUGGED_NAME)
    if not window:
        return
    path = start_recording_with_tone(session, window, UNPLUGGED)
    if not path:
        return
    pactl(session, 'unload-module', session.unplugged_module)
    box = None
    deadline = time.time() + 20
    while box is None and time.time() < deadline:
        found = session.other_windows(exclude=(window[0],))
        box = found[0] if found else None
        time.sleep(0.3)
    if check(box is not None, 'a box reports the unplugged device'):
        title = session.desktop.title(box.id)
        check(title == '', 'the box has an empty caption (%r)' % title)
        texts_drawn(session, box, 'unplugged', 'the "音频捕获出错" box', 6)
        pointer_to(session, box[1] + box[3] // 2, box[2] + box[4] // 3)
        keys(session, 'Return')
        check(session.window_gone(box[0]), 'Return closes the box')
        # A second box would come at once: the capture is gone with the
        # first. Seconds for it to show that it does not.
        time.sleep(3)
        check(not session.other_windows(exclude=(window[0],)), 'the box came once')
    check_completed(path)
    check_source_recording(session, path, UNPLUGGED)
    pointer_over_display(session, window)
    check_start_records_nothing(session, window)
    keys(session, 'Escape')
    check_exit(session, 2)


def case_nosoundserver(session):
    came = capture_error_box(session)
    window = open_main_window(session)
    if not window:
        return
    texts_drawn(session, window, 'window', 'the main window', 40)
    if not session.wine:
        # Nothing to capture, nothing to draw: no loop of the toolkit's may
        # keep the program busy (Wine's runner is not the program).
        check_idle(session.proc.pid, session.desktop)
    if came:
        check_start_records_nothing(session, window)
    keys(session, 'Escape')
    check_exit(session, 2)


CASES = {
    'loopback': case_loopback,
    'menus': case_menus,
    'bitrate': case_bitrate,
    'microphone': case_microphone,
    'otheroutput': case_otheroutput,
    'seconddevice': case_seconddevice,
    'about': case_about,
    'closebox': case_closebox,
    'escaperecording': case_escaperecording,
    'escapeafterstop': case_escapeafterstop,
    'kill': case_kill,
    'sigterm': case_ending,
    'sighup': case_ending,
    'displaygone': case_ending,
    'endsession': case_ending,
    'restart': case_restart,
    'noclobber': case_noclobber,
    'openfailure': case_openfailure,
    'nosoundserver': case_nosoundserver,
    'unplugged': case_unplugged,
}
# A signal to the Windows program's runner would not reach the program; the
# menus' placement is the Linux platform's.
LINUX_ONLY = {'kill', 'restart', 'menus', 'sigterm', 'sighup', 'displaygone'}
WINDOWS_ONLY = {'endsession'}


def main():
    args = sys.argv[1:]
    if len(args) < 2:
        sys.exit(__doc__)
    case, program = args[0], args[1]
    probe_path = lister = wine = poster = None
    wayland = False
    shots = None
    rest = args[2:]
    while rest:
        if rest[0] == '--probe' and len(rest) >= 2:
            probe_path, rest = rest[1], rest[2:]
        elif rest[0] == '--lister' and len(rest) >= 2:
            lister, rest = rest[1], rest[2:]
        elif rest[0] == '--wine' and len(rest) >= 3:
            wine, rest = (rest[1], rest[2]), rest[3:]
        elif rest[0] == '--poster' and len(rest) >= 2:
            poster, rest = rest[1], rest[2:]
        elif rest[0] == '--shots' and len(rest) >= 2:
            shots, rest = rest[1], rest[2:]
        elif rest[0] == '--wayland':
            wayland, rest = True, rest[1:]
        else:
            sys.exit('recorder_e2e: unknown argument ' + rest[0])
    if wayland and wine:
        sys.exit('recorder_e2e: the Windows program runs on X11 (--wayland, --wine)')
    cases = [c for c in CASES if c not in (LINUX_ONLY if wine else WINDOWS_ONLY)]
    if case not in cases:
        sys.exit('recorder_e2e: no case %r for this build (%s)' % (case, ', '.join(cases)))
    if not probe_path or not os.access(probe_path, os.X_OK):
        sys.exit('recorder_e2e: --probe must name the mp3_probe program')
    if not lister or not os.access(lister, os.R_OK):
        sys.exit('recorder_e2e: --lister must name the list_devices program')
    if not os.access(program, os.R_OK):
        sys.exit('recorder_e2e: no program at ' + program)
    if shots is None:
        shots = tempfile.mkdtemp(prefix='sonaret-shots-')
    os.makedirs(shots, exist_ok=True)

    if case == 'endsession' and not poster:
        sys.exit('recorder_e2e: the endsession case needs --poster')
    session = Session(case, program, probe_path, lister, wine, shots, wayland)
    session.poster = poster
    try:
        if case == 'nosoundserver':
            session.no_sound_server()
        else:
            session.start_sound_server()
        if case == 'unplugged':
            session.unplugged_module = pactl(
                session, 'load-module', 'module-null-sink', 'sink_name=' + UNPLUGGED.sink,
                'rate=48000', 'channels=2', 'sink_properties=device.description=' +
                UNPLUGGED_NAME)
        session.prepare_music_folder()
        if case == 'unplugged':
            # Wine's driver lists a device it meets for the first time in
            # an order of its own, and afterwards in the order it stored:
            # met here first, the program and the menu listing agree. The
            # listing's Wine processes, which have no display, go before
            # the program comes.
            menu_position(session, UNPLUGGED_NAME)
            if session.wine:
                end_wine(session.wine, session.env)
        session.start_display()
        session.start_program()
        CASES[case](session)
    finally:
        session.close()
    if FAILURES:
        sys.exit(1)
    log('%s: all checks hold' % session.name)


if __name__ == '__main__':
    main()
