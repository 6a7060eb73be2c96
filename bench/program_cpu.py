#!/usr/bin/env python3
"""What the whole Sonaret program costs in CPU while a user runs it: the real
executable on a private Xvfb display against a private sound server
(tests/support/pulse-fixture.sh), driven with the mouse and keyboard.

usage: program_cpu.py SONARET BENCH_ENCODE [--silence S] [--music S] [--record S]

Phases, in this order (seconds of wall-clock time, defaults 15, 20, 30):
  monitoring, silence     the window open, nothing playing: the capture of the
                          default output and the peak display run all the time
  monitoring, pink noise  the same while music-like sound plays
  recording               Start clicked, pink noise recorded into an MP3 at the
                          window's 192 kbit/s, Stop clicked
Then Escape closes the window, which must end the program with 2.

The program's CPU is utime + stime from /proc/PID/stat over each phase, and
per thread from /proc/PID/task/*/stat (with the scheduler's nanosecond run
time from schedstat beside it) to show where it goes. Monitoring is given as a
share of one core; recording as ms of CPU per second of audio, where the
seconds are those the MP3 holds (its frames x 1152 / rate, counted from the
frame headers), not the wall clock: a null sink on a virtual machine may run
its clock well below nominal speed. The recording's figure is set beside the
recording core's own (bench_encode's stereo sink + writer case, where one
iteration is one second of audio).

Exit status 0 when everything was measured, whether or not a target was
met; 1 when a measurement or a check of the run failed."""
import array
import json
import os
import shutil
import statistics
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

MONITOR_TARGET_PERCENT = 1.0
RECORD_ALLOWANCE_MS = 2.0
CORE_CASE = 'BM_SinkAndWriter/channels:2'


sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'support'))
from session import SCREEN, SessionError, SoundServer, Xvfb, stop_process, xdotool  # noqa: E402

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


def run_ns(path):
    try:
        with open(path) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


class Snapshot:
    def __init__(self, pid, others):
        self.time = time.monotonic()
        self.process = cpu_ticks('/proc/%d/stat' % pid)
        self.threads = {}
        for entry in os.listdir('/proc/%d/task' % pid):
            base = '/proc/%d/task/%s/' % (pid, entry)
            try:
                name, fields = stat_fields(base + 'stat')
                ticks = int(fields[11]) + int(fields[12])
            except (OSError, ValueError, IndexError):
                continue  # the thread ended while we looked
            self.threads[int(entry)] = (name, ticks, run_ns(base + 'schedstat'))
        self.others = {}
        for label, other in others.items():
            try:
                self.others[label] = cpu_ticks('/proc/%d/stat' % other)
            except OSError:
                pass


def thread_role(pid, tid, name, capture_tid):
    if tid == pid:
        return 'window thread (GTK, messages, drawing)'
    if tid == capture_tid:
        return 'capture thread (meter, encoder)'
    return {'threaded-ml': 'sound server client loop', 'gmain': 'GLib worker',
            'gdbus': 'D-Bus'}.get(name, 'other')


class Phase:
    """CPU of the program (and of the X and sound servers) between two
    snapshots."""

    def __init__(self, name, pid, before, after):
        self.name = name
        self.pid = pid
        self.wall = after.time - before.time
        self.cpu = (after.process - before.process) / TICKS_PER_SECOND
        self.others = {label: (after.others[label] - ticks) / TICKS_PER_SECOND
                       for label, ticks in before.others.items() if label in after.others}
        self.threads = []
        for tid, (name_, ticks, ns) in sorted(after.threads.items()):
            # A thread that began inside the phase spent all it has there.
            _, ticks0, ns0 = before.threads.get(tid, (name_, 0, 0))
            run = (ns - ns0) / 1e9 if ns is not None and ns0 is not None else None
            self.threads.append((tid, name_, (ticks - ticks0) / TICKS_PER_SECOND, run))
        # A thread's own figure is rounded apart from the process's, so the
        # difference means something only when a thread has gone.
        ended = set(before.threads) - set(after.threads)
        self.gone = self.cpu - sum(t[2] for t in self.threads) if ended else None

    def percent(self, seconds=None):
        return 100.0 * (self.cpu if seconds is None else seconds) / self.wall

    def report(self, capture_tid, audio_seconds=None):
        print('%s: %.1f s wall clock%s' %
              (self.name, self.wall,
               ', %.2f s of audio recorded' % audio_seconds if audio_seconds else ''))
        per_audio = (', %.2f ms per second of audio' % (1000 * self.cpu / audio_seconds)
                     if audio_seconds else '')
        print('  Sonaret: %.0f ms of CPU, %.2f%% of one core%s' %
              (1000 * self.cpu, self.percent(), per_audio))
        print('    %-8s %-14s %-40s %9s %9s' % ('tid', 'name', 'role', 'stat ms', 'run ms'))
        for tid, name, seconds, run in sorted(self.threads, key=lambda t: -t[2]):
            if seconds == 0 and (run is None or run < 0.0005):
                continue
            print('    %-8d %-14s %-40s %9.0f %9s' %
                  (tid, name, thread_role(self.pid, tid, name, capture_tid), 1000 * seconds,
                   '%.1f' % (1000 * run) if run is not None else '-'))
        if self.gone is not None:
            print('    threads that ended inside the phase: about %.0f ms' % (1000 * self.gone))
        if self.others:
            print('  beside it: ' + ', '.join('%s %.2f%% of one core' % (label, self.percent(s))
                                              for label, s in self.others.items()))


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


# --- the window ----------------------------------------------------------


def geometry(env, wid):
    geo = xdotool(env, 'getwindowgeometry', '--shell', wid)
    values = dict(line.split('=', 1) for line in geo.stdout.split() if '=' in line)
    return tuple(int(values.get(k, 0)) for k in ('X', 'Y', 'WIDTH', 'HEIGHT'))


def find_window(env, proc, seconds=60):
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


def click(env, window, control):
    px, py = control_centre(window, control)
    xdotool(env, 'mousemove', '--sync', str(px), str(py))
    time.sleep(0.2)
    xdotool(env, 'click', '1')


def pointer_away(env):
    # Off the window, so that no control is hovered and redrawn for it while
    # the figures are taken.
    xdotool(env, 'mousemove', '--sync', '0', '0')


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


# --- the run -------------------------------------------------------------


def parse_args(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    program, bench_encode = argv[0], argv[1]
    lengths = {'--silence': 15.0, '--music': 20.0, '--record': 30.0}
    rest = argv[2:]
    while rest:
        if rest[0] in lengths and len(rest) >= 2:
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
    return program, bench_encode, lengths


def run(program, bench_encode, lengths):
    # Other work on the machine slows everything down; the load says how much
    # there was.
    load_before = os.getloadavg()[0]
    work = tempfile.mkdtemp(prefix='sonaret-cpu-')
    xvfb = sound = proc = player = None
    try:
        # First, while nothing else of ours runs.
        core_ms, core_runs = core_ms_per_second(bench_encode, work)

        noise = os.path.join(work, 'pink.raw')
        # Enough for either phase even on a sink clock at full speed.
        pink_noise_file(noise, max(lengths['--music'], lengths['--record']) + 10)

        xvfb = Xvfb()
        sound = SoundServer(work)
        env = dict(os.environ)
        # Its own home: the music folder, where recordings go, is ours.
        home = os.path.join(work, 'home')
        os.makedirs(home)
        env['HOME'] = home
        for name in ('XDG_CONFIG_HOME', 'XDG_MUSIC_DIR', 'WAYLAND_DISPLAY',
                     'SONARET_WINE_DISPLAY'):
            env.pop(name, None)
        env.update(sound.environment())
        env['DISPLAY'] = xvfb.display

        errors = open(os.path.join(work, 'sonaret.stderr'), 'w+')
        proc = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=errors)
        pid = proc.pid
        window = find_window(env, proc)
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
        others = {'X server': xvfb.proc.pid, 'sound server': sound.pid}

        def measure(name, seconds):
            before = Snapshot(pid, others)
            time.sleep(seconds)
            after = Snapshot(pid, others)
            if proc.poll() is not None:
                raise Failed('Sonaret ended during %s (code %d)' % (name, proc.returncode))
            return Phase(name, pid, before, after)

        silence = measure('monitoring, silence', lengths['--silence'])

        player = play(env, noise)
        time.sleep(2)  # the stream is running and the trace moves
        music = measure('monitoring, pink noise', lengths['--music'])
        if player.poll() is not None:
            raise Failed('the pink noise stopped early (pacat ended with %d)' % player.returncode)

        music_folder = os.path.join(home, 'Music')
        before = Snapshot(pid, others)
        click(env, window, START_BUTTON)
        pointer_away(env)
        made = wait_until(lambda: recordings(home), 5)
        if len(made) != 1:
            raise Failed('Start made %d recordings, expected one: %s' % (len(made), made))
        path = made[0]
        time.sleep(max(0.0, lengths['--record'] - (time.monotonic() - before.time)))
        click(env, window, STOP_BUTTON)
        # The Stop click's handler finishes the file before it returns.
        time.sleep(0.4)
        after = Snapshot(pid, others)
        pointer_away(env)
        stop_process(player)
        recording = Phase('recording', pid, before, after)

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

        # Escape goes to the window under the pointer: the peak display's
        # place does nothing when clicked or hovered.
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
        errors.close()

        clock = audio_seconds / recording.wall
        print('Sonaret %s, on %s; %d cores online, load average %.1f before and %.1f after' %
              (program, xvfb.display, os.cpu_count() or 0, load_before, os.getloadavg()[0]))
        print('per second of audio: the recording\'s length from its MP3 frame headers '
              '(frames x 1152 / %d Hz), %.2f s over %.2f s of wall clock, so the sink\'s clock '
              'ran at %.0f%% of nominal speed' % (rate, audio_seconds, recording.wall, 100 * clock))
        print('recording: %s, %d bytes' % (os.path.basename(path), os.path.getsize(path)))
        print()
        for phase in (silence, music):
            phase.report(capture_tid)
            print()
        recording.report(capture_tid, audio_seconds)
        print()
        if capture_tid is None:
            print('note: the capture thread could not be told apart (threads %s)' % own)

        record_ms = 1000 * recording.cpu / audio_seconds
        # Monitoring at the sink's real speed would deliver 1/clock times the
        # packets; scaling the whole figure up is the cautious estimate.
        rows = []
        for phase in (silence, music):
            measured = phase.percent()
            full = measured / clock if clock > 0 else measured
            rows.append((phase.name, '%.2f%% (%.2f%% at full clock)' % (measured, full),
                         '< %.0f%% of one core' % MONITOR_TARGET_PERCENT,
                         'pass' if full < MONITOR_TARGET_PERCENT else 'FAIL'))
        limit = core_ms + RECORD_ALLOWANCE_MS
        rows.append(('recording 192k stereo', '%.2f ms/s of audio' % record_ms,
                     '<= %.2f + %.0f = %.2f ms/s' % (core_ms, RECORD_ALLOWANCE_MS, limit),
                     '%s (%+.2f ms/s over core)' % ('pass' if record_ms <= limit else 'FAIL',
                                                    record_ms - core_ms)))
        capture = [t[2] for t in recording.threads if t[0] == capture_tid]
        if capture:
            # The thread that meters and encodes is the part the core's
            # figure stands for; the rest is what monitoring costs anyway.
            capture_ms = 1000 * capture[0] / audio_seconds
            rows.append(('  its capture thread', '%.2f ms/s of audio' % capture_ms,
                         '<= %.2f ms/s' % limit,
                         '%s (%+.2f ms/s over core)' % ('pass' if capture_ms <= limit else 'FAIL',
                                                        capture_ms - core_ms)))
        print('recording core (bench_encode %s, median of %d): %.2f ms of CPU per second '
              'of audio' % (CORE_CASE, core_runs, core_ms))
        print('recording over monitoring the same sound: %+.2f ms/s of audio' %
              (record_ms - 1000 * music.cpu / (music.wall * clock)))
        print()
        widths = [max(len(r[i]) for r in rows + [('case', 'measured', 'target', 'result')])
                  for i in range(4)]
        for row in [('case', 'measured', 'target', 'result')] + rows:
            print('  '.join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip())
    finally:
        stop_process(player)
        stop_process(proc)
        if xvfb:
            xvfb.stop()
        if sound:
            sound.stop()
        shutil.rmtree(work, ignore_errors=True)


def main():
    program, bench_encode, lengths = parse_args(sys.argv[1:])
    try:
        run(program, bench_encode, lengths)
    except (Failed, OSError, subprocess.SubprocessError) as error:
        sys.exit('program_cpu: %s' % error)


if __name__ == '__main__':
    main()
