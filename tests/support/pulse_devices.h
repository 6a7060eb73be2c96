// The devices of the tests' private sound server, by the names and
// descriptions that tests/support/pulse_devices.pa gives them (that file
// creates them; keep the two together). Both builds' tests include this:
// the Linux build's fixture starts the server itself, the Windows build's
// tests reach the one CTest starts.
#pragma once

namespace test_devices {

// Sinks, in the order the server creates them.
constexpr const char* kStereoSink = "stereo48"; // 48 kHz, 2 ch; the default sink
// 96 kHz, 6 ch in a 5.1 card's order: kSurroundMap.
constexpr const char* kSurroundSink = "surround96";
constexpr const char* kSurroundMap = "front-left,front-right,rear-left,rear-right,front-center,lfe";
constexpr const char* kAccentSink = "accents44"; // 44.1 kHz, 2 ch
constexpr const char* kMicFeedSink = "micfeed";  // 48 kHz, 1 ch: what the mic hears
// 16 kHz mono, remapped from micfeed's monitor; the default source.
constexpr const char* kMicSource = "mic16";

constexpr const char* kStereoDescription = "Stereo Speakers";
constexpr const char* kSurroundDescription = "Surround Speakers";
constexpr const char* kAccentDescription = "Haut-parleurs Café — Grüße ♪"; // UTF-8
constexpr const char* kMicFeedDescription = "Microphone Feed";
constexpr const char* kMicDescription = "Test Microphone";

// A sink's monitor is described by the server as "Monitor of " and the
// sink's description.
constexpr const char* kMonitorPrefix = "Monitor of ";

} // namespace test_devices
