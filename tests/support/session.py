"""A private desktop session for the programs the tests and benchmarks run:
an Xvfb display and the tests' PulseAudio daemon (pulse-fixture.sh), each
stopped by its process id. Used by tests/app/*.py and bench/*.py."""
import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
SCREEN = (1280, 800)


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
    """A D-Bus session bus of our own. Without one, GLib starts a bus tied
    to the display (where dbus-x11 is installed), which ends with the
    display and takes the program with it; and the accessibility bus is
    found through it."""

    def __init__(self):
        self.proc = subprocess.Popen(['dbus-daemon', '--session', '--nofork', '--nosyslog',
                                      '--print-address=1'], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.address = self.proc.stdout.readline().strip()
        if not self.address:
            self.stop()
            raise SessionError('the session bus did not start')

    def environment(self):
        return {'DBUS_SESSION_BUS_ADDRESS': self.address}

    def stop(self):
        stop_process(self.proc)


class SoundServer:
    """The tests' PulseAudio daemon with their devices
    (tests/support/pulse_devices.pa), in `folder`/pulse.

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
