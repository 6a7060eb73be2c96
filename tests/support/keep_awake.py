#!/usr/bin/env python3
"""Plays silence into one sink of the tests' sound server for as long as the
server runs, so that the null sink renders in short blocks and a capture
gets its first packets at once (pulse-fixture.sh starts one per sink).

usage: keep_awake.py SINK RATE CHANNELS   (the server from PULSE_SERVER)

The stream has the sink's own rate and channel count: an idle null sink
takes on the rate of a stream that differs, which would change the device
under the tests.

pacat is not used: it takes a sink's reconfiguration (a resume, a capture of
a source fed by the sink) for the end of its input, drains and exits. This
writes through libpulse-simple, whose blocking write just waits meanwhile.
Exits 1 when the stream can't be made or fails (the server went away)."""
import ctypes
import ctypes.util
import os
import sys

PA_STREAM_PLAYBACK = 1
PA_SAMPLE_S16LE = 3


class SampleSpec(ctypes.Structure):
    _fields_ = [('format', ctypes.c_int), ('rate', ctypes.c_uint32), ('channels', ctypes.c_uint8)]


class BufferAttr(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32) for name in ('maxlength', 'tlength', 'prebuf',
                                                     'minreq', 'fragsize')]


def main(sink, rate, channels):
    # 10 ms a write, 30 ms asked as the latency: as the Linux fixture plays.
    chunk = rate // 100 * 2 * channels
    simple = ctypes.CDLL(ctypes.util.find_library('pulse-simple') or 'libpulse-simple.so.0')
    simple.pa_simple_new.restype = ctypes.c_void_p
    simple.pa_simple_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int,
                                     ctypes.c_char_p, ctypes.c_char_p,
                                     ctypes.POINTER(SampleSpec), ctypes.c_void_p,
                                     ctypes.POINTER(BufferAttr), ctypes.POINTER(ctypes.c_int)]
    simple.pa_simple_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                       ctypes.POINTER(ctypes.c_int)]
    spec = SampleSpec(PA_SAMPLE_S16LE, rate, channels)
    none = 0xFFFFFFFF
    attr = BufferAttr(none, 3 * chunk, none, chunk, none)
    error = ctypes.c_int(0)
    server = os.environ.get('PULSE_SERVER')
    stream = simple.pa_simple_new(server.encode() if server else None, b'keep awake',
                                  PA_STREAM_PLAYBACK, sink.encode(), b'keep awake',
                                  ctypes.byref(spec), None, ctypes.byref(attr),
                                  ctypes.byref(error))
    if not stream:
        sys.exit('keep_awake: no stream into %s (error %d)' % (sink, error.value))
    silence = bytes(chunk)
    while simple.pa_simple_write(stream, silence, len(silence), ctypes.byref(error)) == 0:
        pass
    sys.exit(1)


if __name__ == '__main__':
    if len(sys.argv) != 4:
        sys.exit('usage: keep_awake.py SINK RATE CHANNELS')
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
