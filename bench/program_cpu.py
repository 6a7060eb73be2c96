#!/usr/bin/env python3
"""What the whole Sonaret program costs in CPU while a user runs it, side by
side with a mixer's level meter of the same output and with the lame command
line encoding the same audio, in one run on one private Xvfb display and one
private sound server (tests/support/pulse-fixture.sh with
bench/one_output.pa: a single 48 kHz stereo output, the default, and no
streams of silence keeping it awake). Sonaret is the real executable, driven
with the mouse and keyboard.

usage: program_cpu.py SONARET BENCH_ENCODE [--idle S] [--silence S] [--music S] [--record S]
                      [--wayland]

With --wayland the same phases run in a Wayland session instead: weston
nested in the Xvfb display, as the UI tests run it (tests/support/session.py),
with both programs its clients (GDK_BACKEND=wayland) and the clicks and
windows found through tests/support/desktop.py. The display server's work is
then weston's (with the helpers it starts) and Xvfb's, which weston's x11
backend presents into: both are reported, and their sum stands where the X
server's figure stands on X11.

Phases, in this order (seconds of wall-clock time, defaults 10, 10, 20, 30):
  servers only            nothing but the X and sound servers (--idle)
  Sonaret, silence        Sonaret's window open, nothing playing: the capture
                          of the default output and the peak display run all
                          the time (--silence)
  Sonaret, pink noise     the same while pink noise plays to the output, from
                          a player that runs from here to the end (--music)
  Sonaret, recording      Start clicked, the noise recorded into an MP3 at the
                          window's 192 kbit/s, Stop clicked (--record)
  player only             Sonaret closed with Escape, which must end it with
                          2; the player alone (--idle)
  pavucontrol             the mixer open on its Output Devices tab, whose one
                          level meter follows the same output (--music); it
                          meters each stream playing too, for its Playback
                          tab, and that is part of what it costs
  player only             pavucontrol closed; the player alone again (--idle)
Then the lame command line encodes as much of the same noise as Sonaret
recorded, at Sonaret's settings, a few times over.

The programs' CPU is utime + stime from /proc/PID/stat over each phase (all
their threads), and Sonaret's per thread from /proc/PID/task/*/stat (with the
scheduler's nanosecond run time from schedstat beside it) to show where it
goes. The X server and the sound server work for the programs too: their CPU
above the player-only phases' (both pooled) counts towards each program's
monitoring sum, program + sound server above idle + X server above idle.
Monitoring is given as a share of one core; recording as ms of CPU per
second of audio, where the seconds are those the MP3 holds (its frames x
1152 / rate, counted from the frame headers), not the wall clock: a null
sink on a virtual machine may run its clock well below nominal speed.

Targets: Sonaret's monitoring sum at most half of pavucontrol's; Sonaret's
own process under 0.7% of one core while monitoring, and the X server's
work for it no more than for pavucontrol; Sonaret's own process while
recording at most 1.25 times lame's CPU per second of the same audio.
The recording core's own figure (bench_encode's stereo sink + writer case,
where one iteration is one second of audio) is shown beside them.

Exit status 0 when everything was measured, whether or not a target was
met; 1 when a measurement or a check of the run failed."""
import array
import json
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RATE = 48000
CHANNELS = 2
TICKS_PER_SECOND = os.sysconf('SC_CLK_TCK')

# The main window's template (ui/sonaret.rc, IDD_MAINDLG) in dialog units:
# the window's client area, and the controls as x, y, width, height. Xvfb
# has no window manager, so the window's geometry is its client area and a
# point inside a control is the same fraction of it.
TEMPLATE = (228, 167)
START_BUTTON = (4, 114, 77, 19)
STOP_BUTTON = (147, 114, 77, 19)
PEAK_DISPLAY = (4, 31, 220, 78)

# The window's bit rate at start, which the recording must have.
BIT_RATE = 192000

MONITOR_TARGET_PERCENT = 0.7
MONITOR_SHARE_TARGET = 0.5
RECORD_LAME_FACTOR = 1.25
# The writer thread's work counts too: the case measures the process's CPU.
CORE_CASE = 'BM_SinkAndWriter/channels:2/process_time'

# pavucontrol counts its tabs from 1: Playback, Recording, Output Devices,
# Input Devices, Configuration. Without --tab it opens the last tab it was
# on, or one it picks from what is playing.
PAVUCONTROL_OUTPUT_TAB = 3

# lame's median over this many encodings of the same audio.
LAME_RUNS = 3

SOUND = 'sound server'
X = 'X server'
WESTON = 'weston'
XVFB = 'Xvfb'

sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'support'))
from desktop import desktop_for  # noqa: E402
from session import (SCREEN, DesktopSession, SessionError, SoundServer, Xvfb,  # noqa: E402
                     descendants, stop_process, xdotool)

# The measurement could not be made: no figures from this run.
Failed = SessionError


# --- CPU from /proc ------------------------------------------------------


def stat_fields(path):
    with open(path) as f:
        data = f.read()
    # The name may hold spaces and parentheses; the fields after it may not.
    close = data.rindex(')')
    return data[data.index('(') + 1:close], data[close + 2:].split()


def cpu_ticks(path):
    _, fields = stat_fields(path)
    return int(fields[11]) + int(fields[12])  # utime, stime


def tree_ticks(pid):
    """The CPU of a process and of all it started, in ticks: each one's own
    time with that of its children that have ended (which the kernel adds to
    a parent when it reaps them), so that a helper that ends between two
    looks neither vanishes from the sum nor is counted twice."""
    total = 0
    for member in [pid] + descendants(pid):
        try:
            _, fields = stat_fields('/proc/%d/stat' % member)
        except OSError:
            if member == pid:
                raise
            continue  # it ended while we looked; its parent reaps it
        total += sum(int(f) for f in fields[11:15])  # utime, stime, cutime, cstime
    return total


class Server:
    """A server whose CPU is counted: its own process, or with `helpers` the
    processes it starts as well."""

    def __init__(self, pid, helpers=False):
        self.pid = pid
        self.helpers = helpers

    def ticks(self):
        return tree_ticks(self.pid) if self.helpers else cpu_ticks('/proc/%d/stat' % self.pid)


def written_bytes(pid):
    """What the process has handed to write and send so far: while it only
    monitors, its requests to the X server and the sound server."""
    with open('/proc/%d/io' % pid) as f:
        for line in f:
            if line.startswith('wchar:'):
                return int(line.split()[1])
    return 0


def run_ns(path):
    try:
        with open(path) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


class Snapshot:
    """The CPU used so far by the servers and, when `pid` is given, by that
    program and each of its threads."""

    def __init__(self, pid, servers):
        self.time = time.monotonic()
        self.process = None
        self.written = None
        self.threads = {}
        if pid is not None:
            self.process = cpu_ticks('/proc/%d/stat' % pid)
            self.written = written_bytes(pid)
            for entry in os.listdir('/proc/%d/task' % pid):
                base = '/proc/%d/task/%s/' % (pid, entry)
                try:
                    name, fields = stat_fields(base + 'stat')
                    ticks = int(fields[11]) + int(fields[12])
                except (OSError, ValueError, IndexError):
                    continue  # the thread ended while we looked
                self.threads[int(entry)] = (name, ticks, run_ns(base + 'schedstat'))
        self.servers = {}
        for label, server in servers.items():
            try:
                self.servers[label] = server.ticks()
            except OSError:
                raise Failed('the %s (pid %d) has ended' % (label, server.pid))


def thread_role(pid, tid, name, capture_tid):
    if tid == pid:
        return 'window thread (GTK, messages, drawing)'
    if tid == capture_tid:
        return 'capture thread (meter, hand-over)'
    return {'threaded-ml': 'sound server client loop', 'gmain': 'GLib worker',
            'gdbus': 'D-Bus'}.get(name, 'other')


class Span:
    """Wall-clock time and the servers' CPU over one phase or several."""

    def __init__(self, name, wall, servers):
        self.name = name
        self.wall = wall
        self.servers = servers

    def server_percent(self, label):
        return 100.0 * self.servers[label] / self.wall

    def above(self, idle, label):
        """The server's share of one core over what it takes in `idle`."""
        return self.server_percent(label) - idle.server_percent(label)

    def display_labels(self):
        """The servers that stand for the display: the X server, or weston
        and the Xvfb it presents into."""
        return [label for label in self.servers if label != SOUND]

    def display_above(self, idle):
        return sum(self.above(idle, label) for label in self.display_labels())

    @staticmethod
    def pooled(name, spans):
        return Span(name, sum(s.wall for s in spans),
                    {label: sum(s.servers[label] for s in spans) for label in spans[0].servers})


class Phase(Span):
    """CPU of the program, if there was one, and of the X and sound servers
    between two snapshots."""

    def __init__(self, name, pid, before, after):
        super().__init__(name, after.time - before.time,
                         {label: (after.servers[label] - ticks) / TICKS_PER_SECOND
                          for label, ticks in before.servers.items()})
        self.pid = pid
        self.cpu = None
        self.threads = []
        self.gone = None
        if pid is None:
            return
        self.cpu = (after.process - before.process) / TICKS_PER_SECOND
        self.written = after.written - before.written
        for tid, (name_, ticks, ns) in sorted(after.threads.items()):
            # A thread that began inside the phase spent all it has there.
            _, ticks0, ns0 = before.threads.get(tid, (name_, 0, 0))
            run = (ns - ns0) / 1e9 if ns is not None and ns0 is not None else None
            self.threads.append((tid, name_, (ticks - ticks0) / TICKS_PER_SECOND, run))
        # A thread's own figure is rounded apart from the process's, so the
        # difference means something only when a thread has gone: one seen
        # before that ended, or one that began and ended inside the phase
        # (the writer thread of a recording), which no snapshot sees; a
        # tick per thread is rounding.
        ended = set(before.threads) - set(after.threads)
        rest = self.cpu - sum(t[2] for t in self.threads)
        rounding = len(after.threads) / TICKS_PER_SECOND
        self.gone = rest if ended or rest > rounding else None

    def percent(self, seconds=None):
        return 100.0 * (self.cpu if seconds is None else seconds) / self.wall

    def monitoring_sum(self, idle):
        """The program's share of one core with what the servers spend above
        `idle` on its behalf: (own, sound server, display server, sum)."""
        own = self.percent()
        sound = self.above(idle, SOUND)
        x = self.display_above(idle)
        return own, sound, x, own + sound + x

    def report(self, program, role=None, audio_seconds=None, idle=None):
        print('%s: %.1f s wall clock%s' %
              (self.name, self.wall,
               ', %.2f s of audio recorded' % audio_seconds if audio_seconds else ''))
        if self.cpu is not None:
            per_audio = (', %.2f ms per second of audio' % (1000 * self.cpu / audio_seconds)
                         if audio_seconds else '')
            print('  %s: %.0f ms of CPU, %.2f%% of one core%s' %
                  (program, 1000 * self.cpu, self.percent(), per_audio))
            print('  %s: %.0f KB a second written to its sockets and files' %
                  (program, self.written / 1024 / self.wall))
        if role is not None:
            print('    %-8s %-14s %-40s %9s %9s' % ('tid', 'name', 'role', 'stat ms', 'run ms'))
            for tid, name, seconds, run in sorted(self.threads, key=lambda t: -t[2]):
                if seconds == 0 and (run is None or run < 0.0005):
                    continue
                print('    %-8d %-14s %-40s %9.0f %9s' %
                      (tid, name, role(tid, name), 1000 * seconds,
                       '%.1f' % (1000 * run) if run is not None else '-'))
            if self.gone is not None:
                print('    threads that ended inside the phase (a recording\'s writer '
                      'thread): about %.0f ms' %
                      (1000 * self.gone))
        beside = []
        for label in self.servers:
            text = '%s %.2f%%' % (label, self.server_percent(label))
            if idle is not None:
                text += ' (%+.2f%% over %s)' % (self.above(idle, label), idle.name)
            beside.append(text)
        print('  %s of one core' % ', '.join(beside))


# --- sound ---------------------------------------------------------------


def pink_noise_file(path, seconds):
    """Music-like sound as raw 32-bit float stereo at 48 kHz: pink noise made
    as the unit tests make it (Kellet's economy filter over xorshift white
    noise), a few seconds of it repeated to the length asked for."""
    period = 6 * RATE
    channels = []
    state = 7
    for _ in range(CHANNELS):
        b0 = b1 = b2 = 0.0
        values = array.array('f', bytes(4 * period))
        for i in range(period):
            state ^= (state << 13) & 0xFFFFFFFF
            state ^= state >> 17
            state ^= (state << 5) & 0xFFFFFFFF
            white = state / 2147483648.0 - 1.0
            b0 = 0.99765 * b0 + white * 0.0990460
            b1 = 0.96300 * b1 + white * 0.2965164
            b2 = 0.57000 * b2 + white * 1.0526913
            values[i] = (b0 + b1 + b2 + white * 0.1848) * 0.12
        channels.append(values)
    interleaved = array.array('f', bytes(4 * period * CHANNELS))
    for c, values in enumerate(channels):
        interleaved[c::CHANNELS] = values
    if sys.byteorder != 'little':
        interleaved.byteswap()
    block = interleaved.tobytes()
    total = int(seconds * RATE) * CHANNELS * 4
    with open(path, 'wb') as f:
        while total > 0:
            f.write(block[:total])
            total -= len(block)


def play(env, path):
    # To the default output: the device the window captures at start.
    return subprocess.Popen(['pacat', '--playback', '--raw', '--format=float32le',
                             '--rate=%d' % RATE, '--channels=%d' % CHANNELS,
                             '--stream-name=pink noise', path], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def float_wav_file(path, raw, frames):
    """The first `frames` frames of the raw noise file `raw`, as a WAV file
    of IEEE float samples (format 3, with the fact chunk such files carry)."""
    size = frames * CHANNELS * 4
    fmt = struct.pack('<HHIIHHH', 3, CHANNELS, RATE, RATE * CHANNELS * 4, CHANNELS * 4, 32, 0)
    with open(raw, 'rb') as source:
        data = source.read(size)
    if len(data) != size:
        raise Failed('the noise file holds less than %d frames' % frames)
    with open(path, 'wb') as f:
        f.write(b'RIFF' + struct.pack('<I', 4 + 8 + len(fmt) + 12 + 8 + size) + b'WAVE')
        f.write(b'fmt ' + struct.pack('<I', len(fmt)) + fmt)
        f.write(b'fact' + struct.pack('<II', 4, frames))
        f.write(b'data' + struct.pack('<I', size))
        f.write(data)


# --- MP3 -----------------------------------------------------------------

MPEG1_RATES = (44100, 48000, 32000)
MPEG1_L3_KBPS = (0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320)
MPEG2_L3_KBPS = (0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160)


def mp3_audio(path):
    """(seconds, rate, channels, kbit/s set) of the Layer III frames in the
    file, counted from their headers. A leading Xing/Info frame carries no
    audio and is left out, as decoders do, and so is the all-zero frame the
    encoder reserves for that tag when it is never filled in."""
    with open(path, 'rb') as f:
        data = f.read()
    at = 0
    if data[:3] == b'ID3' and len(data) >= 10:
        at = 10 + ((data[6] & 0x7F) << 21 | (data[7] & 0x7F) << 14 | (data[8] & 0x7F) << 7 |
                   (data[9] & 0x7F))
    frames = 0
    samples = 0
    rate = None
    channels = None
    rates = set()
    first = True
    while at + 4 <= len(data):
        if data[at:at + 3] == b'TAG':
            break  # ID3v1 at the end
        h = int.from_bytes(data[at:at + 4], 'big')
        version = (h >> 19) & 3  # 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
        layer = (h >> 17) & 3  # 1 is Layer III
        rate_index = (h >> 10) & 3
        bit_index = (h >> 12) & 15
        if (h >> 21) != 0x7FF or version == 1 or layer != 1 or rate_index == 3 or \
                bit_index in (0, 15):
            raise Failed('%s: no MPEG audio frame at byte %d' % (path, at))
        mono = ((h >> 6) & 3) == 3
        frame_rate = MPEG1_RATES[rate_index] >> {3: 0, 2: 1, 0: 2}[version]
        kbps = (MPEG1_L3_KBPS if version == 3 else MPEG2_L3_KBPS)[bit_index]
        per_frame = 1152 if version == 3 else 576
        length = (144 if version == 3 else 72) * kbps * 1000 // frame_rate + ((h >> 9) & 1)
        side = (17 if mono else 32) if version == 3 else (9 if mono else 17)
        tag = data[at + 4 + side:at + 8 + side]
        placeholder = not any(data[at + 4:at + length])
        if not (first and (tag in (b'Xing', b'Info') or placeholder)):
            frames += 1
            samples += per_frame
            rates.add(kbps)
            if rate is None:
                rate, channels = frame_rate, 1 if mono else 2
            elif rate != frame_rate:
                raise Failed('%s: the sample rate changes inside the file' % path)
        first = False
        at += length
    if frames == 0:
        raise Failed('%s holds no audio frames' % path)
    return samples / rate, rate, channels, rates


# --- the recording core's own figure -------------------------------------


def core_ms_per_second(bench_encode, folder):
    """CPU per iteration (one second of stereo audio through the sink and the
    writer), the median of a few repetitions, in ms. Its MP3 goes into
    `folder`."""
    run = subprocess.run([bench_encode, '--benchmark_filter=^%s$' % CORE_CASE,
                          '--benchmark_format=json', '--benchmark_repetitions=5'],
                         env=dict(os.environ, TMPDIR=folder), capture_output=True, text=True,
                         timeout=600)
    if run.returncode != 0:
        raise Failed('bench_encode failed:\n' + run.stderr)
    try:
        results = json.loads(run.stdout)['benchmarks']
    except (ValueError, KeyError) as error:
        raise Failed('bench_encode gave no JSON results: %s' % error)
    scale = {'ns': 1e-6, 'us': 1e-3, 'ms': 1.0, 's': 1e3}
    times = [b['cpu_time'] * scale[b.get('time_unit', 'ns')] for b in results
             if b.get('run_type', 'iteration') == 'iteration' and
             b.get('run_name', b['name']) == CORE_CASE]
    if not times:
        raise Failed('bench_encode has no case %s' % CORE_CASE)
    return statistics.median(times), len(times)


# --- the lame command line's floor ---------------------------------------


def lame_floor(lame, noise, frames, folder):
    """lame's CPU per second of audio, in ms: the median over LAME_RUNS
    encodings of the first `frames` frames of the noise at Sonaret's
    settings, and the seconds of audio its MP3 holds.

    lame's raw input is integer PCM only (--bitwidth is an integer sample
    width, and 32 reads the float bits as int32), while Sonaret hands the
    encoder the capture's 32-bit floats as they come. So the same samples go
    in as a WAV file of IEEE floats, which lame reads through its file reader:
    nothing is converted to integers on the way, as nothing is in Sonaret.
    -q 2, joint stereo off (-m s), 192 kbit/s constant: lame_set_quality 2,
    STEREO and lame_set_brate in recorder/mp3_writer.cpp. --silent: the
    progress display is not part of encoding."""
    wav = os.path.join(folder, 'lame-input.wav')
    out = os.path.join(folder, 'lame-output.mp3')
    float_wav_file(wav, noise, frames)
    times = []
    for _ in range(LAME_RUNS):
        with open(os.path.join(folder, 'lame.stderr'), 'w+') as errors:
            proc = subprocess.Popen([lame, '--silent', '-q', '2', '-m', 's', '-b',
                                     str(BIT_RATE // 1000), '--cbr', wav, out],
                                    stdout=subprocess.DEVNULL, stderr=errors)
            try:
                # wait4 gives the child's own rusage, whatever else ends meanwhile.
                _, status, usage = os.wait4(proc.pid, 0)
                proc.returncode = os.waitstatus_to_exitcode(status)
            finally:
                stop_process(proc)
            if proc.returncode != 0:
                errors.seek(0)
                raise Failed('lame ended with %d\n%s' % (proc.returncode, errors.read()))
        times.append(usage.ru_utime + usage.ru_stime)
    seconds, rate, channels, kbps = mp3_audio(out)
    if (rate, channels, kbps) != (RATE, CHANNELS, {BIT_RATE // 1000}):
        raise Failed('lame made %d Hz, %d channels, %s kbit/s; expected %d, %d, %d' %
                     (rate, channels, sorted(kbps), RATE, CHANNELS, BIT_RATE // 1000))
    os.remove(wav)
    return 1000 * statistics.median(times) / seconds, seconds, times


# --- the window ----------------------------------------------------------


def geometry(env, wid):
    geo = xdotool(env, 'getwindowgeometry', '--shell', wid)
    values = dict(line.split('=', 1) for line in geo.stdout.split() if '=' in line)
    return tuple(int(values.get(k, 0)) for k in ('X', 'Y', 'WIDTH', 'HEIGHT'))


def find_window(env, proc, seconds=60, desktop=None):
    """Sonaret's client area: (x, y, width, height) in the X screen. On
    Wayland through `desktop`, which finds it in weston's scene graph."""
    if desktop is not None:
        window = desktop.find_window('^Sonaret$', seconds, alive=lambda: proc.poll() is None)
        if window is None and proc.poll() is not None:
            raise Failed('Sonaret ended (code %d) before its window appeared' % proc.returncode)
        if window is None:
            raise Failed('the window "Sonaret" did not appear')
        return window.x, window.y, window.width, window.height
    deadline = time.time() + seconds
    while time.time() < deadline:
        if proc.poll() is not None:
            raise Failed('Sonaret ended (code %d) before its window appeared' % proc.returncode)
        for wid in xdotool(env, 'search', '--onlyvisible', '--name', '^Sonaret$').stdout.split():
            x, y, width, height = geometry(env, wid)
            if width > 100:
                return x, y, width, height
        time.sleep(0.2)
    raise Failed('the window "Sonaret" did not appear')


def control_centre(window, control):
    x, y, width, height = window
    cx, cy, cw, ch = control
    return (x + round((cx + cw / 2) * width / TEMPLATE[0]),
            y + round((cy + ch / 2) * height / TEMPLATE[1]))


def click(env, window, control, desktop=None):
    px, py = control_centre(window, control)
    if desktop is not None:
        desktop.click(px, py)
        return
    xdotool(env, 'mousemove', '--sync', str(px), str(py))
    time.sleep(0.2)
    xdotool(env, 'click', '1')


def pointer_away(env):
    # Off every window, so that no control is hovered and redrawn for it
    # while the figures are taken: without a window manager the mixer's
    # window sits at the top left, and Sonaret's is not in the far corner.
    # weston's output is smaller than the screen, so there the pointer
    # leaves the output altogether and weston draws no cursor for it.
    corner = (SCREEN[0] - 1, SCREEN[1] - 1)
    where = xdotool(env, 'getmouselocation', '--shell').stdout
    values = dict(line.split('=', 1) for line in where.split() if '=' in line)
    # --sync waits for the pointer to move, which it does not when it is
    # already there.
    if (values.get('X'), values.get('Y')) != tuple(str(c) for c in corner):
        xdotool(env, 'mousemove', '--sync', str(corner[0]), str(corner[1]))


def recordings(folder):
    found = []
    for root, _, files in os.walk(folder):
        found += [os.path.join(root, f) for f in files if f.endswith('.mp3')]
    return found


def wait_until(condition, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    return condition()


# --- the sound server's view of the programs -----------------------------


def pactl_list(env, kind):
    done = subprocess.run(['pactl', '--format=json', 'list', kind], env=env, capture_output=True,
                          text=True, timeout=30)
    if done.returncode != 0:
        raise Failed('pactl list %s failed: %s' % (kind, done.stderr.strip()))
    try:
        return json.loads(done.stdout)
    except ValueError as error:
        raise Failed('pactl list %s gave no JSON: %s' % (kind, error))


def record_streams(env, pid):
    """The names of the sources that the process `pid` records from, one
    per stream it has open on the sound server."""
    clients = {str(c['index']) for c in pactl_list(env, 'clients')
               if c.get('properties', {}).get('application.process.id') == str(pid)}
    sources = {str(s['index']): s['name'] for s in pactl_list(env, 'sources')}
    return sorted(sources.get(str(o['source']), '?') for o in pactl_list(env, 'source-outputs')
                  if str(o.get('client')) in clients)


def default_monitor(env):
    done = subprocess.run(['pactl', 'get-default-sink'], env=env, capture_output=True, text=True,
                          timeout=30)
    if done.returncode != 0 or not done.stdout.strip():
        raise Failed('the sound server names no default output')
    return done.stdout.strip() + '.monitor'


def shown_by(env, pid, desktop):
    """Whether the process `pid` has a window on the screen."""
    if desktop is None:
        return bool(xdotool(env, 'search', '--onlyvisible', '--pid', str(pid)).stdout.split())
    # The desktop's windows carry no process id on Wayland; Sonaret has
    # gone by now, so a window on weston's output is the mixer's.
    return bool(desktop.toplevels())


def start_pavucontrol(pavucontrol, env, errors, monitor, desktop=None):
    """pavucontrol on its Output Devices tab, once its window is on the
    screen and its level meter records from `monitor`; returns the process
    and the sources of all its record streams."""
    proc = subprocess.Popen([pavucontrol, '--tab=%d' % PAVUCONTROL_OUTPUT_TAB], env=env,
                            stdout=subprocess.DEVNULL, stderr=errors)
    try:
        deadline = time.time() + 60
        streams = []
        while time.time() < deadline:
            if proc.poll() is not None:
                errors.seek(0)
                raise Failed('pavucontrol ended (code %d) before its window appeared\n%s' %
                             (proc.returncode, errors.read()))
            shown = shown_by(env, proc.pid, desktop)
            streams = record_streams(env, proc.pid)
            if shown and monitor in streams:
                return proc, streams
            time.sleep(0.2)
        raise Failed('pavucontrol showed no window with a level meter of %s in time (its record '
                     'streams: %s)' % (monitor, ', '.join(streams) or 'none'))
    except BaseException:
        stop_process(proc)
        raise


# --- the run -------------------------------------------------------------


def parse_args(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    program, bench_encode = argv[0], argv[1]
    lengths = {'--idle': 10.0, '--silence': 10.0, '--music': 20.0, '--record': 30.0}
    wayland = False
    rest = argv[2:]
    while rest:
        if rest[0] == '--wayland':
            wayland = True
            rest = rest[1:]
        elif rest[0] in lengths and len(rest) >= 2:
            try:
                lengths[rest[0]] = float(rest[1])
            except ValueError:
                sys.exit('program_cpu: %s needs a number of seconds, not %r' % (rest[0], rest[1]))
            if lengths[rest[0]] < 2:
                sys.exit('program_cpu: %s must be at least 2 seconds' % rest[0])
            rest = rest[2:]
        else:
            sys.exit('program_cpu: unknown argument %r\n%s' % (rest[0], __doc__))
    for path in (program, bench_encode):
        if not os.access(path, os.X_OK):
            sys.exit('program_cpu: %s is not an executable file' % path)
    return program, bench_encode, lengths, wayland


def peer_tools():
    found = []
    for name in ('pavucontrol', 'lame'):
        path = shutil.which(name)
        if path is None:
            raise Failed('%s is not installed (scripts/install-deps.sh --bench installs it)' %
                         name)
        found.append(path)
    return found


def version(command, env):
    try:
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.SubprocessError):
        return '?'
    lines = (done.stdout + done.stderr).strip().splitlines()
    return lines[0].strip() if lines else '?'


def streams_text(sources):
    if not sources:
        return 'none'
    return ', '.join('%d from %s' % (sources.count(name), name) for name in sorted(set(sources)))


def print_table(rows):
    head = ('case', 'measured', 'target', 'result')
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(4)]
    for row in [head] + rows:
        print('  '.join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip())


def run(program, bench_encode, lengths, wayland=False):
    # Other work on the machine slows everything down; the load says how much
    # there was.
    load_before = os.getloadavg()[0]
    pavucontrol, lame = peer_tools()
    work = tempfile.mkdtemp(prefix='sonaret-cpu-')
    xvfb = session = sound = proc = mixer = player = None
    logs = []
    try:
        # First, while nothing else of ours runs.
        core_ms, core_runs = core_ms_per_second(bench_encode, work)

        noise = os.path.join(work, 'pink.raw')
        # One player runs from Sonaret's pink noise phase to the last
        # player-only phase; enough for that even on a sink clock at full
        # speed, with room for the programs' start and end.
        pink_noise_file(noise, 2 * lengths['--music'] + lengths['--record'] +
                        2 * lengths['--idle'] + 60)

        if wayland:
            session = DesktopSession(work, wayland=True)
            xvfb = session.xvfb
        else:
            xvfb = Xvfb()
        sound = SoundServer(work, devices=os.path.join(HERE, 'one_output.pa'), wakers=False)
        env = dict(os.environ)
        # Both programs run in the same desktop: a home of their own (the
        # music folder where recordings go, the mixer's settings), and no
        # session or accessibility bus. None runs for this display; an
        # address where nothing answers keeps GLib from launching one that
        # would outlive the run.
        home = os.path.join(work, 'home')
        os.makedirs(home)
        env['HOME'] = home
        for name in ('XDG_CONFIG_HOME', 'XDG_MUSIC_DIR', 'WAYLAND_DISPLAY',
                     'SONARET_WINE_DISPLAY'):
            env.pop(name, None)
        env['DBUS_SESSION_BUS_ADDRESS'] = 'unix:path=' + os.path.join(work, 'no-session-bus')
        env['NO_AT_BRIDGE'] = '1'
        env.update(sound.environment())
        env['DISPLAY'] = xvfb.display
        desktop = None
        if wayland:
            # The session's runtime folder and weston's socket, as a Wayland
            # login gives them, and the Wayland backend asked for outright:
            # a client that cannot reach weston fails here instead of
            # opening on the X screen behind it. The session's bus is
            # weston's; the programs keep the address where nothing
            # answers, so that they do the same work as on X11. The
            # toolkit's own theme: the desktop finds title bars by its
            # colours.
            env['XDG_RUNTIME_DIR'] = session.runtime
            env.update(session.weston.environment)
            env['XDG_SESSION_TYPE'] = 'wayland'
            env['GDK_BACKEND'] = 'wayland'
            env['GTK_THEME'] = 'Adwaita'
            desktop = desktop_for(session, env)
            # weston's desktop shell runs as its child; weston's x11 backend
            # draws each frame it presents into Xvfb, so both are the display.
            servers = {SOUND: Server(sound.pid),
                       WESTON: Server(session.weston.proc.pid, helpers=True),
                       XVFB: Server(xvfb.proc.pid)}
            display_name = 'display server (%s + %s)' % (WESTON, XVFB)
            display_text = '%s on Wayland, nested in Xvfb %s' % (
                version(['weston', '--version'], env), xvfb.display)
        else:
            servers = {SOUND: Server(sound.pid), X: Server(xvfb.proc.pid)}
            display_name = X
            display_text = xvfb.display
        monitor = default_monitor(env)

        def measure(name, pid, seconds, watched=()):
            before = Snapshot(pid, servers)
            time.sleep(seconds)
            after = Snapshot(pid, servers)
            for who, p in watched:
                if p.poll() is not None:
                    raise Failed('%s ended during "%s" (code %d)' % (who, name, p.returncode))
            return Phase(name, pid, before, after)

        def log(name):
            f = open(os.path.join(work, name + '.stderr'), 'w+')
            logs.append(f)
            return f

        pointer_away(env)
        servers_only = measure('servers only', None, lengths['--idle'])

        # --- Sonaret: monitoring silence, then pink noise, then recording.
        errors = log('sonaret')
        proc = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=errors)
        pid = proc.pid
        window = find_window(env, proc, desktop=desktop)
        pointer_away(env)
        # Start-up work (fonts, the device list, the first packets) settles.
        time.sleep(3)
        # The capture thread is the one thread besides the window thread
        # that has the program's name (threads inherit it; the libraries name
        # theirs), for the per-thread breakdown.
        names = {}
        for entry in os.listdir('/proc/%d/task' % pid):
            try:
                names[int(entry)] = stat_fields('/proc/%d/task/%s/stat' % (pid, entry))[0]
            except OSError:
                pass
        own = [tid for tid, name in names.items()
               if tid != pid and name == names.get(pid)]
        capture_tid = own[0] if len(own) == 1 else None
        sonaret = [('Sonaret', proc)]

        silence = measure('Sonaret monitoring, silence', pid, lengths['--silence'], sonaret)

        player = play(env, noise)
        time.sleep(2)  # the stream is running and the trace moves
        playing = [('the pink noise player', player)]
        sonaret_streams = record_streams(env, pid)
        music = measure('Sonaret monitoring, pink noise', pid, lengths['--music'],
                        sonaret + playing)

        music_folder = os.path.join(home, 'Music')
        before = Snapshot(pid, servers)
        click(env, window, START_BUTTON, desktop)
        pointer_away(env)
        made = wait_until(lambda: recordings(home), 5)
        if len(made) != 1:
            raise Failed('Start made %d recordings, expected one: %s' % (len(made), made))
        path = made[0]
        time.sleep(max(0.0, lengths['--record'] - (time.monotonic() - before.time)))
        click(env, window, STOP_BUTTON, desktop)
        # The Stop click's handler finishes the file before it returns.
        time.sleep(0.4)
        after = Snapshot(pid, servers)
        pointer_away(env)
        recording = Phase('Sonaret recording', pid, before, after)
        if player.poll() is not None:
            raise Failed('the pink noise stopped during the recording (pacat ended with %d)' %
                         player.returncode)

        def settled():
            first = os.path.getsize(path)
            time.sleep(0.5)
            return first > 0 and os.path.getsize(path) == first

        if not wait_until(settled, 10):
            raise Failed('the recording %s is empty or still growing after Stop' % path)
        audio_seconds, rate, channels, kbps = mp3_audio(path)
        if (rate, channels, kbps) != (RATE, CHANNELS, {BIT_RATE // 1000}):
            raise Failed('the recording is %d Hz, %d channels, %s kbit/s; expected %d, %d, %d' %
                         (rate, channels, sorted(kbps), RATE, CHANNELS, BIT_RATE // 1000))
        if os.path.dirname(path) != music_folder:
            print('note: the recording went to %s, not the music folder' % path)

        # Escape goes to the window under the pointer (weston gives it to
        # the window last clicked, the same one): the peak display's place
        # does nothing when clicked or hovered.
        px, py = control_centre(window, PEAK_DISPLAY)
        xdotool(env, 'mousemove', '--sync', str(px), str(py))
        time.sleep(0.3)
        xdotool(env, 'key', 'Escape')
        try:
            code = proc.wait(30)
        except subprocess.TimeoutExpired:
            code = None
        if code != 2:
            errors.seek(0)
            raise Failed('Escape ended Sonaret with %s, expected 2\n%s' % (code, errors.read()))
        pointer_away(env)
        # The servers let go of the window and the stream.
        time.sleep(1)

        # --- The player alone, pavucontrol, the player alone again.
        idle_a = measure('player only', None, lengths['--idle'], playing)

        mixer_errors = log('pavucontrol')
        mixer, mixer_streams = start_pavucontrol(pavucontrol, env, mixer_errors, monitor,
                                                   desktop)
        pointer_away(env)
        # Its start-up work settles, as Sonaret's did.
        time.sleep(3)
        mixing = measure('pavucontrol on Output Devices, pink noise', mixer.pid,
                         lengths['--music'], [('pavucontrol', mixer)] + playing)
        if monitor not in record_streams(env, mixer.pid):
            raise Failed('pavucontrol\'s level meter of %s stopped during its phase' % monitor)
        stop_process(mixer)
        time.sleep(1)

        idle_b = measure('player only, again', None, lengths['--idle'], playing)
        stop_process(player)
        idle = Span.pooled('the player alone', [idle_a, idle_b])

        # --- lame over as much of the same noise as Sonaret recorded.
        lame_ms, lame_seconds, lame_times = lame_floor(lame, noise, round(audio_seconds * RATE),
                                                       work)

        # --- The figures.
        clock = audio_seconds / recording.wall
        print('Sonaret %s, on %s; %d cores online, load average %.1f before and %.1f after' %
              (program, display_text, os.cpu_count() or 0, load_before, os.getloadavg()[0]))
        print('beside it: %s (--tab=%d, Output Devices); %s' %
              (version([pavucontrol, '--version'], env), PAVUCONTROL_OUTPUT_TAB,
               version([lame, '--version'], env)))
        # Beside the output's meter pavucontrol keeps one for each stream
        # playing (its Playback tab's), here the player's, on the same source.
        print('sound server: one output (%s), nothing keeping it awake; record streams: '
              'Sonaret %s, pavucontrol %s' %
              (monitor[:-len('.monitor')], streams_text(sonaret_streams),
               streams_text(mixer_streams)))
        print('per second of audio: the recording\'s length from its MP3 frame headers '
              '(frames x 1152 / %d Hz), %.2f s over %.2f s of wall clock, so the sink\'s clock '
              'ran at %.0f%% of nominal speed' % (rate, audio_seconds, recording.wall, 100 * clock))
        print('recording: %s, %d bytes' % (os.path.basename(path), os.path.getsize(path)))
        print()
        for span in (servers_only, idle_a, idle_b, idle):
            print('%s: %.1f s wall clock; %s' %
                  (span.name, span.wall,
                   ', '.join('%s %.2f%% of one core' % (label, span.server_percent(label))
                             for label in servers)))
        print()

        def sonaret_role(tid, name):
            return thread_role(pid, tid, name, capture_tid)

        def mixer_role(tid, name):
            return 'main thread (GTK, drawing)' if tid == mixer.pid else \
                {'gmain': 'GLib worker', 'gdbus': 'D-Bus', 'pool-pavucontro': 'GLib pool'}.get(
                    name, 'other')

        silence.report('Sonaret', sonaret_role, idle=servers_only)
        print()
        music.report('Sonaret', sonaret_role, idle=idle)
        print()
        recording.report('Sonaret', sonaret_role, audio_seconds, idle=idle)
        print()
        mixing.report('pavucontrol', mixer_role, idle=idle)
        print()
        if capture_tid is None:
            print('note: the capture thread could not be told apart (threads %s)' % own)
        mixer_errors.seek(0)
        said = mixer_errors.read().strip().splitlines()
        if said:
            print('note: pavucontrol wrote %d lines to stderr, the first: %s' %
                  (len(said), said[0]))

        print('monitoring the pink noise, program + sound server over idle + %s over '
              'idle, in %% of one core:' % display_name)
        sums = {}
        parts = {}
        for who, phase in (('Sonaret', music), ('pavucontrol', mixing)):
            sums[who] = phase.monitoring_sum(idle)
            parts[who] = ' + '.join('%s %.2f%%' % (label, phase.above(idle, label))
                                    for label in phase.display_labels())
            if wayland:
                own, sound_part, _, total = sums[who]
                print('  %-12s %6.2f%% + %6.2f%% + (%s) = %6.2f%%' %
                      (who, own, sound_part, parts[who], total))
            else:
                print('  %-12s %6.2f%% + %6.2f%% + %6.2f%% = %6.2f%%' % ((who,) + sums[who]))
        record_ms = 1000 * recording.cpu / audio_seconds
        record_sound_ms = 10 * recording.above(idle, SOUND) * recording.wall / audio_seconds
        record_x_ms = 10 * recording.display_above(idle) * recording.wall / audio_seconds
        record_all_ms = record_ms + record_sound_ms + record_x_ms
        print('recording, in ms of CPU per second of audio:')
        print('  Sonaret      %.2f, with the sound server over idle (%+.2f) and the %s '
              'over idle (%+.2f): %.2f' % (record_ms, record_sound_ms, display_name, record_x_ms,
                                           record_all_ms))
        print('  lame         %.2f (median of %d encodings of %.2f s of the same noise: %s s of '
              'CPU)' % (lame_ms, len(lame_times), lame_seconds,
                        ', '.join('%.3f' % t for t in lame_times)))
        print('  recording core (bench_encode %s, median of %d): %.2f' %
              (CORE_CASE, core_runs, core_ms))
        print('  recording over monitoring the same sound: %+.2f' %
              (record_ms - 1000 * music.cpu / (music.wall * clock)))
        print()

        rows = []
        # Monitoring at the sink's real speed would deliver 1/clock times the
        # packets; scaling Sonaret's own figure up is the cautious estimate.
        # The side-by-side figures need no scaling: both ran on that clock.
        for phase in (silence, music):
            measured = phase.percent()
            full = measured / clock if clock > 0 else measured
            rows.append(('%s: own process' % phase.name,
                         '%.2f%% (%.2f%% at full clock)' % (measured, full),
                         '< %.1f%% of one core' % MONITOR_TARGET_PERCENT,
                         'pass' if full < MONITOR_TARGET_PERCENT else 'FAIL'))
        for who in ('Sonaret', 'pavucontrol'):
            rows.append(('monitoring sum: %s' % who, '%.2f%% of one core' % sums[who][3], '',
                         ''))
        own_x, mixer_x = sums['Sonaret'][2], sums['pavucontrol'][2]
        rows.append(('monitoring: %s over idle' % display_name,
                     '%.2f%% of one core' % own_x +
                     (' (%s)' % parts['Sonaret'] if wayland else ''),
                     '<= pavucontrol\'s %.2f%%' % mixer_x,
                     'pass' if own_x <= mixer_x else 'FAIL'))
        mixer_sum = sums['pavucontrol'][3]
        if mixer_sum > 0:
            share = sums['Sonaret'][3] / mixer_sum
            rows.append(('monitoring: Sonaret / pavucontrol', '%.2f' % share,
                         '<= %.2f' % MONITOR_SHARE_TARGET,
                         'pass' if share <= MONITOR_SHARE_TARGET else 'FAIL'))
        else:
            rows.append(('monitoring: Sonaret / pavucontrol', 'pavucontrol\'s sum is not above 0',
                         '<= %.2f' % MONITOR_SHARE_TARGET, 'FAIL'))
        limit = RECORD_LAME_FACTOR * lame_ms
        rows.append(('recording 192k: Sonaret, own process', '%.2f ms/s of audio' % record_ms,
                     '<= %.2f x lame = %.2f ms/s' % (RECORD_LAME_FACTOR, limit),
                     'pass' if record_ms <= limit else 'FAIL'))
        rows.append(('recording 192k: Sonaret + servers over idle',
                     '%.2f ms/s of audio' % record_all_ms, '', ''))
        rows.append(('recording 192k: lame floor', '%.2f ms/s of audio' % lame_ms, '', ''))
        ratio = record_ms / lame_ms
        rows.append(('recording: Sonaret / lame', '%.2f' % ratio,
                     '<= %.2f' % RECORD_LAME_FACTOR,
                     'pass' if ratio <= RECORD_LAME_FACTOR else 'FAIL'))
        rows.append(('recording: Sonaret + servers / lame', '%.2f' % (record_all_ms / lame_ms),
                     '', ''))
        capture = [t[2] for t in recording.threads if t[0] == capture_tid]
        if capture:
            # The thread that meters and encodes is the part lame stands
            # for; the rest is what monitoring costs anyway.
            capture_ms = 1000 * capture[0] / audio_seconds
            rows.append(('  its capture thread', '%.2f ms/s of audio' % capture_ms, '', ''))
            rows.append(('  its capture thread / lame', '%.2f' % (capture_ms / lame_ms), '', ''))
        rows.append(('recording core (bench_encode)', '%.2f ms/s of audio' % core_ms, '', ''))
        rows.append(('recording core / lame', '%.2f' % (core_ms / lame_ms), '', ''))
        print_table(rows)
    finally:
        stop_process(mixer)
        stop_process(player)
        stop_process(proc)
        if session:
            session.stop()
        elif xvfb:
            xvfb.stop()
        if sound:
            sound.stop()
        for f in logs:
            f.close()
        shutil.rmtree(work, ignore_errors=True)


def main():
    program, bench_encode, lengths, wayland = parse_args(sys.argv[1:])
    # Stopped from outside, the run still ends what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit('program_cpu: stopped'))
    try:
        run(program, bench_encode, lengths, wayland)
    except (Failed, OSError, subprocess.SubprocessError) as error:
        sys.exit('program_cpu: %s' % error)


if __name__ == '__main__':
    main()
