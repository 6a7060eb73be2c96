// Sonaret's entry. The recorder window does not exist yet; until it does,
// this program runs what exists, the recording core, on a test tone: it feeds
// three seconds of a 440 Hz stereo tone through the sample sink into an MP3
// file and says what happened.
#include <windows.h>

#include <math.h>
#include <stdio.h>
#include <vector>

#include "sample_sink.h"

int main() {
    constexpr int32_t rate = 48000, channels = 2, packet_frames = 480, seconds = 3;
    const WCHAR* path = L"sonaret-demo.mp3";

    printf("Sonaret: the recorder window is not built yet.\n"
           "Running the recording core instead: %d s of a 440 Hz tone through the sample sink\n"
           "into sonaret-demo.mp3 (%d Hz, %d channels, 192 kbit/s).\n",
           seconds, rate, channels);

    RecorderState state;
    HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    state.hwnd = window;
    state.channels = channels;
    Mp3Writer* writer = mp3_writer_open(path, rate, channels, 192000);
    if (writer == nullptr) {
        printf("Could not create sonaret-demo.mp3 here.\n");
        return 1;
    }
    state.writer = writer;
    state.recording = 1;

    std::vector<float> packet(packet_frames * channels);
    int64_t frame = 0;
    for (int32_t p = 0; p < rate * seconds / packet_frames; ++p) {
        for (int32_t f = 0; f < packet_frames; ++f, ++frame) {
            float v = 0.5f * sinf(2.0f * 3.14159265f * 440.0f * frame / rate);
            packet[f * channels] = packet[f * channels + 1] = v;
        }
        on_samples(&state, packet.data(), static_cast<int32_t>(packet.size() * sizeof(float)));
    }

    state.recording = 0;
    recorder_wait_for_deliveries(&state);
    int32_t closed = mp3_writer_close(writer);

    int32_t updates = 0;
    MSG msg;
    while (PeekMessageW(&msg, window, WM_LEVEL_UPDATE, WM_LEVEL_UPDATE, PM_REMOVE)) {
        ++updates;
    }
    printf("%s: %d meter blocks, last block peak %.3f.\n",
           closed == 0 ? "Written" : "Writing failed", updates, state.block_peak.load());
    DestroyWindow(window);
    return closed == 0 ? 0 : 1;
}
