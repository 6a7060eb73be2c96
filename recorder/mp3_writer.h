// MP3 writer: turns the capture's interleaved 32-bit float frames into one
// constant-bit-rate MP3 file, over libmp3lame.
//
// The recording session opens a writer when a recording starts; the
// recording's writer thread (writer_thread.h) feeds it what the capture
// delivered, flushes it and closes it when the recording ends. The lock
// inside the writer orders a write and a close should they ever come from
// different threads (a write after close has begun does nothing); the tests
// hold it to stand for a disk that stalls.
//
// The file's first frame is reserved for the encoder's information tag,
// which close writes there: the exact length and the encoder's delay.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <stdio.h>

#include <lame/lame.h>

// One output buffer, reused for every encode call and for the final flush.
// libmp3lame's worst case for n input frames is 1.25 * n + 7200 bytes, so this
// holds the output of any MP3_CHUNK_FRAMES frames at any bit rate.
constexpr int32_t MP3_OUT_BUFFER_SIZE = 12320;
constexpr int32_t MP3_CHUNK_FRAMES = 4096;

struct Mp3Writer {
    lame_t encoder;
    int32_t sample_rate; // input rate in Hz, as passed to open
    int32_t channels;    // the device's channel count, as passed to open
    int32_t bit_rate;    // bits per second, as the encoder uses it
    FILE* file;
    unsigned char* out_buffer; // MP3_OUT_BUFFER_SIZE bytes
    int32_t active;            // 1 from a successful open until close begins

    // Guards the fields above between a thread that writes and one that
    // closes.
    CRITICAL_SECTION lock;
    // MP3_CHUNK_FRAMES frames of what the encoder is given when the delivery
    // can't be handed over as it is: a copy with non-finite values replaced,
    // or the stereo downmix of more than two channels.
    float* scratch;
    int32_t io_failed; // a write to the file failed at some point
};

// Opens `path` (created or truncated) for a new recording. Returns null when
// the encoder refuses the parameters, the file can't be created or memory
// runs out; nothing stays allocated then.
//
// One channel is encoded as mono and two as stereo. More than two are folded
// down to stereo before the encoder sees them; the layouts assumed for each
// count are listed at mp3_downmix_weights() in mp3_writer.cpp.
Mp3Writer* mp3_writer_open(const WCHAR* path, int32_t sample_rate, int32_t channels,
                           int32_t bit_rate);

// The same on a file the caller has already opened for writing, which the
// writer then owns: it is closed by mp3_writer_close, or here at once when
// the writer can't be made. Writing to the stream of the file one created
// leaves no moment in which its name could be pointed elsewhere.
Mp3Writer* mp3_writer_open_file(FILE* file, int32_t sample_rate, int32_t channels,
                                int32_t bit_rate);

// The bit rate a recording asked for `bit_rate` gets at this format: the
// nearest the encoder accepts. Low rates carry less (64 kbit/s at most at
// 8 to 12 kHz, 160 kbit/s at 16 to 24 kHz); otherwise it is `bit_rate`.
int32_t mp3_writer_bit_rate_used(int32_t sample_rate, int32_t channels, int32_t bit_rate);

// Encodes `frames` frames (channels values each) and appends what the encoder
// returns to the file. Returns -1 when the writer no longer accepts writes,
// when the encoder fails on the delivery (its audio is lost, the writer stays
// usable) or when the file could not take the bytes (disk full); else 0.
int32_t mp3_writer_write(Mp3Writer* writer, const float* samples, int32_t frames);

// Hands what was written so far to the disk: the stream's buffer to the
// system and the system's to the device. -1 when that fails, or failed
// before; the writer goes on either way.
int32_t mp3_writer_flush(Mp3Writer* writer);

// Flushes the encoder's last frames, writes the information tag into the
// first frame, closes the file and frees everything.
// Returns -1 when any write to the file failed during the recording, or the
// final flush or close failed (the file is then incomplete), and
// MP3_WRITER_NOTHING_WRITTEN when it failed so early that the file is empty
// (a full disk from the start); else 0. The writer is gone afterwards in
// every case.
constexpr int32_t MP3_WRITER_NOTHING_WRITTEN = -2;
int32_t mp3_writer_close(Mp3Writer* writer);
