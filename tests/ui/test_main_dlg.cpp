// The main window through its messages, on the real window system (a private
// Xvfb) with a private sound server: the states and their buttons, what a
// recording's file is called and holds, the menus, and the ways a recording
// can fail or end. Menus and message boxes are answered with xdotool, as a
// user would.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "main_dlg.h"
#include "message_loop.h"
#include "module.h"
#include "mp3_decode.h"
#include "pulse_server.h"
#include "recording_file.h"
#include "signals.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

auto* const pulse_env = ::testing::AddGlobalTestEnvironment(new PulseServerEnvironment());

PulseServer& server() {
    return PulseServerEnvironment::server();
}

std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe)) {
            out += buffer;
        }
        pclose(pipe);
    }
    return out;
}

int visible_windows() {
    const std::string listed = run("xdotool search --onlyvisible --name '' 2>/dev/null");
    return static_cast<int>(std::count(listed.begin(), listed.end(), '\n'));
}

// The user's side of a modal wait, on a thread of its own: waits until the
// menu or box is on the screen, then presses `keys` with the pointer over it
// (without a window manager the keyboard goes where the pointer is).
class User {
  public:
    // A popup menu: a new window appears.
    static std::thread answer_menu(std::string keys) {
        const int before = visible_windows();
        return std::thread([keys, before] {
            for (int i = 0; i < 300 && visible_windows() <= before; ++i) {
                Sleep(50);
            }
            Sleep(300); // the menu has taken the keyboard
            EXPECT_EQ(system(("xdotool key --delay 60 " + keys).c_str()), 0);
        });
    }

    // A message box with this caption; `seen` says whether it came.
    static std::thread answer_box(std::string caption, std::atomic<bool>* seen) {
        return std::thread([caption, seen] {
            const std::string search = "xdotool search --onlyvisible --name '^" + caption + "$'";
            std::string found;
            for (int i = 0; i < 600 && found.empty(); ++i) {
                found = run(search + " 2>/dev/null | head -n 1");
                if (found.empty()) {
                    Sleep(100);
                }
            }
            if (found.empty()) {
                return;
            }
            seen->store(true);
            found.erase(found.find_last_not_of('\n') + 1);
            Sleep(300);
            run("xdotool mousemove --window " + found + " 20 20 key Return");
        });
    }
};

// The name a recording started at `t` gets, without a -N suffix.
std::string name_for(const SYSTEMTIME& t) {
    char name[64];
    snprintf(name, sizeof name, "%02d-%02d-%02d-%02d-%02d.mp3", t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond);
    return name;
}

std::set<std::string> files_in(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// The playback or record streams of the server, one line each.
std::string record_streams() {
    return server().pactl({"list", "short", "source-outputs"});
}

class MainWindow : public ::testing::Test {
  protected:
    CMessageLoop loop;
    std::unique_ptr<CMainDlg> dlg;
    TempDir folder;
    std::wstring initial_folder; // what button 1006 showed before the test's folder
    int quit_code = -1;

    void SetUp() override {
        server().use();
        _Module.Init();
        ASSERT_TRUE(_Module.AddMessageLoop(&loop));
        CoInitialize(nullptr);
        dlg = std::make_unique<CMainDlg>();
        ASSERT_NE(dlg->Create(nullptr), nullptr);
        dlg->ShowWindow(SW_SHOW);
        initial_folder = text(IDC_FOLDER);
        set_folder(folder.path().wstring());
        ASSERT_NE(dlg->Capture(), nullptr) << "the default output is captured";
    }

    void TearDown() override {
        if (dlg->m_hWnd) {
            SendMessageW(dlg->m_hWnd, WM_COMMAND, IDCANCEL, 0);
        }
        pump(0);
        dlg.reset();
        _Module.RemoveMessageLoop();
        _Module.Term();
        CoUninitialize();
    }

    HWND item(int id) const { return GetDlgItem(dlg->m_hWnd, id); }
    bool enabled(int id) const { return IsWindowEnabled(item(id)) != FALSE; }
    std::wstring text(int id) const {
        WCHAR buffer[1024] = {};
        GetWindowTextW(item(id), buffer, 1024);
        return buffer;
    }
    void set_folder(const std::wstring& path) { SetWindowTextW(item(IDC_FOLDER), path.c_str()); }
    void click(int id) { SendMessageW(item(id), BM_CLICK, 0, 0); }

    // Dispatches what comes for `ms` milliseconds; remembers a quit code.
    void pump(int ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        do {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    quit_code = static_cast<int>(msg.wParam);
                    continue;
                }
                if (!loop.PreTranslateMessage(&msg)) {
                    TranslateMessage(&msg);
                    DispatchMessageW(&msg);
                }
            }
            Sleep(5);
        } while (std::chrono::steady_clock::now() < until);
    }

    // Runs the thread's loop as CMessageLoop::Run does, toolkit input
    // included (GetMessage reads it whenever the queue is empty), until
    // `done()` or `ms` have passed; a watchdog's posts keep the waits short.
    // Returns the WM_LEVEL_UPDATEs dispatched.
    template <typename Done>
    int run_loop(int ms, Done done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::atomic<bool> over{false};
        HWND window = dlg->m_hWnd;
        std::thread watchdog([&over, window] {
            while (!over.load()) {
                PostMessageW(window, WM_NULL, 0, 0);
                Sleep(50);
            }
        });
        int levels = 0;
        MSG msg;
        while (!done() && std::chrono::steady_clock::now() < until &&
               GetMessageW(&msg, nullptr, 0, 0) > 0) {
            levels += msg.message == WM_LEVEL_UPDATE ? 1 : 0;
            if (!loop.PreTranslateMessage(&msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        over = true;
        watchdog.join();
        return levels;
    }

    // Start: Recording, Stop and the other commands enabled; device locked.
    void expect_recording() {
        EXPECT_FALSE(enabled(IDC_START));
        EXPECT_TRUE(enabled(IDC_STOP));
        EXPECT_FALSE(enabled(IDC_DEVICE));
        EXPECT_EQ(dlg->State().recording.load(), 1);
        EXPECT_NE(dlg->State().writer.load(), nullptr);
        for (int id : {IDC_BITRATE, IDC_FOLDER, IDC_CHANGE_FOLDER, IDC_ABOUT_LINK}) {
            EXPECT_TRUE(enabled(id)) << id;
        }
    }
    void expect_monitoring() {
        EXPECT_TRUE(enabled(IDC_START));
        EXPECT_FALSE(enabled(IDC_STOP));
        EXPECT_TRUE(enabled(IDC_DEVICE));
        EXPECT_EQ(dlg->State().recording.load(), 0);
        EXPECT_EQ(dlg->State().writer.load(), nullptr);
    }

    // After a failed write: the box came, the window monitors again, and
    // what was written up to the failure still plays.
    void expect_write_failure_reported(bool box_seen) {
        EXPECT_TRUE(box_seen) << "a recording never fails silently";
        expect_monitoring();
        const DecodedMp3 mp3 = decode_mp3(fs::path(dlg->RecordingPath()).string());
        EXPECT_TRUE(mp3.ok) << "what was written still plays: " << mp3.error;
    }

    // Records `seconds` of a 1 kHz tone played into `sink`; the file's path.
    std::string record_tone(const char* sink, double seconds, uint32_t channels = 2) {
        click(IDC_START);
        EXPECT_EQ(dlg->State().recording.load(), 1);
        const std::string path = fs::path(dlg->RecordingPath()).string();
        ToneSpec tone;
        tone.seconds = seconds;
        tone.channels = channels;
        // The level updates wait in the queue meanwhile, far below its limit.
        server().play_tone(sink, tone)->wait();
        pump(300);
        click(IDC_STOP);
        return path;
    }

    // Chooses item `index` of the menu behind button `id`; Escape for -1.
    void choose(int id, int index) {
        std::string keys = "Escape";
        if (index >= 0) {
            keys.clear();
            for (int i = 0; i <= index; ++i) {
                keys += "Down ";
            }
            keys += "Return";
        }
        std::thread user = User::answer_menu(keys);
        click(id);
        user.join();
        pump(100);
    }
};

// A decoded recording holds a tone of `frequency` in its middle.
void expect_tone(const DecodedMp3& mp3, double frequency) {
    ASSERT_TRUE(mp3.ok) << mp3.error;
    const std::vector<float> left = middle(mp3.channel(0), mp3.rate / 4);
    ASSERT_GT(left.size(), static_cast<size_t>(mp3.rate / 2)) << "at least half a second";
    EXPECT_GT(tone_energy_share(left, mp3.rate, frequency), 0.8);
    EXPECT_GT(rms(left), 0.1);
}

void expect_bit_rate(const DecodedMp3& mp3, int kbps) {
    ASSERT_FALSE(mp3.frame_kbps.empty());
    for (int frame : mp3.frame_kbps) {
        ASSERT_EQ(frame, kbps);
    }
}

TEST(RecordingFile, IsNamedAfterTheStartAndNeverReplacesAFile) {
    TempDir dir;
    const SYSTEMTIME start{2026, 1, 5, 2, 0, 0, 5, 0}; // 2 January, 00:00:05
    WCHAR path[RECORDING_PATH_UNITS];

    ASSERT_EQ(ReserveRecordingFile(path, dir.path().wstring().c_str(), start), 0);
    EXPECT_EQ(std::wstring(path), dir.wfile("01-02-00-00-05.mp3"));
    ASSERT_TRUE(fs::exists(path)) << "the name is taken at once";
    std::ofstream(dir.file("01-02-00-00-05.mp3")) << "an earlier recording";

    ASSERT_EQ(ReserveRecordingFile(path, dir.path().wstring().c_str(), start), 0);
    EXPECT_EQ(std::wstring(path), dir.wfile("01-02-00-00-05-2.mp3"));
    ASSERT_EQ(ReserveRecordingFile(path, dir.path().wstring().c_str(), start), 0);
    EXPECT_EQ(std::wstring(path), dir.wfile("01-02-00-00-05-3.mp3"));
    std::ifstream earlier(dir.file("01-02-00-00-05.mp3"));
    std::string kept;
    std::getline(earlier, kept);
    EXPECT_EQ(kept, "an earlier recording");

    // A folder given with its separator gets no second one.
    const std::wstring with_separator = dir.path().wstring() + L"/";
    const SYSTEMTIME december{2026, 12, 4, 31, 23, 59, 59, 0};
    ASSERT_EQ(ReserveRecordingFile(path, with_separator.c_str(), december), 0);
    EXPECT_EQ(std::wstring(path), dir.wfile("12-31-23-59-59.mp3"));
}

TEST(RecordingFile, FolderThatCannotTakeTheFileIsAFailure) {
    TempDir dir;
    const SYSTEMTIME start{2026, 3, 1, 9, 8, 7, 6, 0};
    WCHAR path[RECORDING_PATH_UNITS];
    const std::wstring missing = dir.wfile("no such folder");
    EXPECT_EQ(ReserveRecordingFile(path, missing.c_str(), start), -1);
    EXPECT_EQ(path[0], L'\0');

    // Too long for the path buffer: cut short it would name another file
    // (here: one in the folder whose name is the long name's beginning).
    const std::wstring long_folder = dir.path().wstring() + L"/" + std::wstring(1010, L'x');
    EXPECT_EQ(ReserveRecordingFile(path, long_folder.c_str(), start), -1);
    EXPECT_EQ(path[0], L'\0');
    EXPECT_TRUE(files_in(dir.path()).empty()) << "nothing was created anywhere";
    EXPECT_EQ(ReserveRecordingFile(path, nullptr, start), -1);
}

TEST_F(MainWindow, StartsMonitoringTheDefaultOutput) {
    const EndpointList& devices = dlg->Devices();
    ASSERT_EQ(devices.count, 7) << "two defaults, four outputs, one input";
    EXPECT_EQ(devices.entries[0].is_default, 1);
    EXPECT_EQ(devices.entries[0].flow, 0);
    EXPECT_EQ(dlg->SelectedIndex(), 0);
    EXPECT_EQ(text(IDC_DEVICE), devices.entries[0].display_text);
    EXPECT_EQ(text(IDC_BITRATE), L"192K bps") << "the rate recordings are made at";
    EXPECT_EQ(dlg->BitRate(), 192000);
    EXPECT_EQ(dlg->SampleRate(), 48000);
    EXPECT_EQ(dlg->State().channels.load(), 2);
    expect_monitoring();

    WCHAR music[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_MYMUSIC, nullptr, SHGFP_TYPE_CURRENT, music), S_OK);
    EXPECT_EQ(initial_folder, music) << "recordings go to the music folder at first";

    // The display moves while nothing is recorded.
    const int32_t column = PeakDisplay::ColumnCounter();
    pump(1500);
    EXPECT_NE(PeakDisplay::ColumnCounter(), column);
}

// The main window's way out through the loop: Escape, as the keyboard
// delivers it, passes the window's filter to the dialog manager, and the
// window takes its filter out of the loop when it goes.
TEST_F(MainWindow, TheLoopRunsTheWindowUntilEscape) {
    MSG key{dlg->m_hWnd, WM_KEYDOWN, VK_TAB, 1, 0, POINT{0, 0}};
    EXPECT_TRUE(loop.PreTranslateMessage(&key)) << "the filter is registered";
    PostMessageW(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 1);
    EXPECT_EQ(loop.Run(), 2);
    EXPECT_EQ(dlg->m_hWnd, nullptr);
    MSG other{nullptr, WM_KEYDOWN, VK_TAB, 1, 0, POINT{0, 0}};
    EXPECT_FALSE(loop.PreTranslateMessage(&other)) << "and gone with the window";
}

// Start and Stop each disable the button that was just pressed, which then
// has the focus; a disabled control loses it, so each hands it on first, or
// no key (not even Escape) would reach the window any more.
TEST_F(MainWindow, FocusLeavesTheButtonThatStartOrStopDisables) {
    SetFocus(item(IDC_START));
    ASSERT_EQ(GetFocus(), item(IDC_START));
    click(IDC_START);
    EXPECT_EQ(GetFocus(), item(IDC_STOP));
    click(IDC_STOP);
    EXPECT_EQ(GetFocus(), item(IDC_START));
    ASSERT_NE(GetFocus(), nullptr);
    PostMessageW(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 1);
    pump(1500);
    EXPECT_EQ(quit_code, 2) << "Escape still closes the window";
}

TEST_F(MainWindow, RecordsWhatIsPlayedIntoAFileNamedAfterTheStart) {
    SYSTEMTIME before{};
    GetLocalTime(&before);
    click(IDC_START);
    SYSTEMTIME after{};
    GetLocalTime(&after);
    expect_recording();
    const fs::path path = dlg->RecordingPath();
    EXPECT_EQ(path.parent_path(), folder.path());
    const std::string name = path.filename().string();
    EXPECT_TRUE(name == name_for(before) || name == name_for(after)) << name;

    server().play_tone(PulseServer::kStereoSink, ToneSpec{})->wait();
    pump(300);
    click(IDC_STOP);
    expect_monitoring();
    EXPECT_EQ(files_in(folder.path()), std::set<std::string>{name});

    const DecodedMp3 mp3 = decode_mp3(path.string());
    ASSERT_TRUE(mp3.ok) << mp3.error;
    EXPECT_EQ(mp3.rate, 48000);
    EXPECT_EQ(mp3.channels, 2);
    expect_bit_rate(mp3, 192);
    expect_tone(mp3, 1000.0);

    // The capture goes on for the display after Stop.
    const int32_t column = PeakDisplay::ColumnCounter();
    pump(1000);
    EXPECT_NE(PeakDisplay::ColumnCounter(), column);
}

TEST_F(MainWindow, BitRateChoiceAppliesToTheNextRecording) {
    click(IDC_START);
    const std::string first = fs::path(dlg->RecordingPath()).string();
    choose(IDC_BITRATE, 3);
    EXPECT_EQ(text(IDC_BITRATE), L"320K bps");
    EXPECT_EQ(dlg->BitRate(), 320000);
    auto tone = server().play_tone(PulseServer::kStereoSink, ToneSpec{});
    pump(1500);
    click(IDC_STOP);
    const std::string second = record_tone(PulseServer::kStereoSink, 2.0);

    expect_bit_rate(decode_mp3(first), 192);
    expect_bit_rate(decode_mp3(second), 320);

    choose(IDC_BITRATE, -1);
    EXPECT_EQ(dlg->BitRate(), 320000) << "dismissing the menu changes nothing";
    EXPECT_EQ(text(IDC_BITRATE), L"320K bps");
    choose(IDC_BITRATE, 0);
    EXPECT_EQ(dlg->BitRate(), 128000);
    EXPECT_EQ(text(IDC_BITRATE), L"128K bps");
}

TEST_F(MainWindow, DeviceMenuSwitchesTheCaptureToTheMicrophone) {
    const std::string loopback = record_streams();
    ASSERT_FALSE(loopback.empty());
    choose(IDC_DEVICE, 0);
    EXPECT_EQ(record_streams(), loopback) << "the selected device is not opened again";
    choose(IDC_DEVICE, -1);
    EXPECT_EQ(record_streams(), loopback) << "dismissing the menu changes nothing";
    EXPECT_EQ(dlg->SelectedIndex(), 0);

    choose(IDC_DEVICE, 1); // the default input
    EXPECT_EQ(dlg->SelectedIndex(), 1);
    EXPECT_EQ(text(IDC_DEVICE), dlg->Devices().entries[1].display_text);
    EXPECT_NE(record_streams(), loopback);
    EXPECT_EQ(dlg->SampleRate(), 16000);
    EXPECT_EQ(dlg->State().channels.load(), 1);
    expect_monitoring();

    const std::string path = record_tone(PulseServer::kMicFeedSink, 3.0, 1);
    const DecodedMp3 mp3 = decode_mp3(path);
    ASSERT_TRUE(mp3.ok) << mp3.error;
    EXPECT_EQ(mp3.rate, 16000);
    EXPECT_EQ(mp3.channels, 1);
    expect_tone(mp3, 1000.0);
}

TEST_F(MainWindow, DeviceThatCannotBeOpenedLeavesStartDisabledWithoutAMessage) {
    // A device that was listed and is gone by the time it is chosen.
    SendMessageW(dlg->m_hWnd, WM_COMMAND, IDCANCEL, 0);
    pump(0);
    const int module = server().load_module("module-null-sink", "sink_name=gone rate=48000");
    ASSERT_GE(module, 0);
    dlg = std::make_unique<CMainDlg>();
    ASSERT_NE(dlg->Create(nullptr), nullptr);
    dlg->ShowWindow(SW_SHOW);
    int gone = -1;
    for (int i = 0; i < dlg->Devices().count; ++i) {
        if (std::wstring(dlg->Devices().entries[i].device_id) == L"sink:gone") {
            gone = i;
        }
    }
    ASSERT_GE(gone, 2);
    ASSERT_TRUE(server().unload_module(module));

    // A message box would hold this handler until the test times out.
    choose(IDC_DEVICE, gone);
    EXPECT_EQ(dlg->SelectedIndex(), gone);
    EXPECT_FALSE(enabled(IDC_START));
    EXPECT_FALSE(enabled(IDC_STOP));
    EXPECT_TRUE(enabled(IDC_DEVICE)) << "another device can still be chosen";

    choose(IDC_DEVICE, 0);
    expect_monitoring();
    EXPECT_NE(dlg->Capture(), nullptr);
}

TEST_F(MainWindow, WriterThatCannotOpenIsReportedAndMonitoringGoesOn) {
    // Missing; too long for the path; read-only even for the superuser.
    for (const std::wstring& bad :
         {folder.wfile("missing"), folder.path().wstring() + L"/" + std::wstring(1010, L'y'),
          std::wstring(L"/proc")}) {
        set_folder(bad);
        std::atomic<bool> seen{false};
        std::thread user = User::answer_box("录音出错", &seen);
        click(IDC_START);
        user.join();
        EXPECT_TRUE(seen.load()) << "the user is told";
        expect_monitoring();
    }
    EXPECT_TRUE(files_in(folder.path()).empty());
}

// A disk that fills up: files of this process stop growing at 40000 bytes
// while it lives.
struct SmallDisk {
    struct rlimit saved {};
    bool ok = false;
    SmallDisk() {
        getrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved;
        small.rlim_cur = 40000;
        ok = setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~SmallDisk() { setrlimit(RLIMIT_FSIZE, &saved); }
};

// The disk fills up during a recording: here the file-size limit does it.
TEST_F(MainWindow, WriteFailureEndsTheRecordingAndSaysSo) {
    const SmallDisk disk;
    ASSERT_TRUE(disk.ok);

    std::atomic<bool> seen{false};
    std::thread user = User::answer_box("录音出错", &seen);
    click(IDC_START);
    auto tone = server().play_tone(PulseServer::kStereoSink, ToneSpec{});
    for (int i = 0; i < 600 && dlg->State().recording.load() == 1; ++i) {
        pump(50);
    }
    user.join();
    expect_write_failure_reported(seen.load());
}

// The window's queue is full when the write fails: the sink's own message is
// refused, and the window still learns of the failure, from the flag it reads
// with the levels, and stops the recording with the box.
TEST_F(MainWindow, WriteFailureWhileTheQueueIsFullStillEndsTheRecording) {
    const SmallDisk disk;
    ASSERT_TRUE(disk.ok);

    click(IDC_START);
    int filled = 0;
    while (PostMessageW(dlg->m_hWnd, WM_NULL, 0, 0)) {
        ++filled;
    }
    ASSERT_GT(filled, 0);
    auto tone = server().play_tone(PulseServer::kStereoSink, ToneSpec{});
    for (int i = 0; i < 600 && dlg->State().write_failed.load() == 0; ++i) {
        Sleep(50);
    }
    ASSERT_EQ(dlg->State().write_failed.load(), 1);
    MSG msg;
    ASSERT_FALSE(PeekMessageW(&msg, dlg->m_hWnd, WM_RECORD_WRITE_FAILED, WM_RECORD_WRITE_FAILED,
                              PM_NOREMOVE))
        << "the queue was full: the failure's own message could not be posted";

    std::atomic<bool> seen{false};
    std::thread user = User::answer_box("录音出错", &seen);
    for (int i = 0; i < 600 && dlg->State().recording.load() == 1; ++i) {
        pump(50);
    }
    user.join();
    expect_write_failure_reported(seen.load());
}

// The window thread held up for 5 s while a tone plays (a busy machine, a
// debugger): meanwhile at most one level message waits, so when the window
// runs again the user's click on Stop, made during the hold, comes next,
// not after seconds of queued drawing.
TEST_F(MainWindow, AWindowHeldUpForSecondsTakesTheNextClickAtOnce) {
    click(IDC_START);
    ToneSpec long_tone;
    long_tone.seconds = 9.0;
    auto tone = server().play_tone(PulseServer::kStereoSink, long_tone);
    // Shown and running, as the user sees it.
    run_loop(1500, [] { return false; });
    ASSERT_EQ(dlg->State().recording.load(), 1);

    RECT stop{};
    ASSERT_TRUE(GetWindowRect(item(IDC_STOP), &stop));
    const std::string at = std::to_string((stop.left + stop.right) / 2) + " " +
                           std::to_string((stop.top + stop.bottom) / 2);
    std::thread user([at] {
        Sleep(1000);
        EXPECT_EQ(system(("xdotool mousemove --sync " + at + " click 1").c_str()), 0);
    });
    Sleep(5000); // the window thread is held up
    user.join();

    std::vector<MSG> levels;
    MSG msg;
    while (PeekMessageW(&msg, dlg->m_hWnd, WM_LEVEL_UPDATE, WM_LEVEL_UPDATE, PM_REMOVE)) {
        levels.push_back(msg);
    }
    EXPECT_LE(levels.size(), 1u) << "level messages piled up while the window was held up";
    EXPECT_GE(levels.size(), 1u) << "the tone's blocks were announced";

    // The window runs again.
    const auto resumed = std::chrono::steady_clock::now();
    for (const MSG& level : levels) {
        DispatchMessageW(&level);
    }
    const int passes = run_loop(20000, [this] { return dlg->State().recording.load() == 0; });
    const auto handled = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - resumed);
    EXPECT_EQ(dlg->State().recording.load(), 0) << "the click on Stop was not handled";
    // The toolkit reads the click's events (pointer entry, press, release)
    // one at a time between messages; a level update that comes meanwhile
    // is one pass. Seconds of queued drawing would be hundreds.
    EXPECT_LE(passes, 4) << "drawing went before the user's click";
    RecordProperty("stop_handled_ms", static_cast<int>(handled.count()));
    expect_monitoring();
    const DecodedMp3 mp3 = decode_mp3(fs::path(dlg->RecordingPath()).string());
    EXPECT_TRUE(mp3.ok) << mp3.error;
}

TEST_F(MainWindow, ClosingOrOkWhileRecordingCompletesTheFile) {
    for (int command : {IDCANCEL, IDOK}) {
        if (!dlg->m_hWnd) {
            dlg = std::make_unique<CMainDlg>();
            ASSERT_NE(dlg->Create(nullptr), nullptr);
            set_folder(folder.path().wstring());
        }
        click(IDC_START);
        const std::string path = fs::path(dlg->RecordingPath()).string();
        auto tone = server().play_tone(PulseServer::kStereoSink, ToneSpec{});
        tone->wait();
        pump(300);
        quit_code = -1;
        SendMessageW(dlg->m_hWnd, WM_COMMAND, command, 0);
        EXPECT_EQ(dlg->m_hWnd, nullptr) << "the window is gone";
        EXPECT_EQ(dlg->Capture(), nullptr) << "and the capture with it";
        pump(0);
        EXPECT_EQ(quit_code, command) << "the exit code";
        const DecodedMp3 mp3 = decode_mp3(path);
        expect_tone(mp3, 1000.0);
    }
}

TEST_F(MainWindow, HundredRecordingsInARowAreAllKept) {
    auto tone = server().play_tone(PulseServer::kStereoSink, ToneSpec{.seconds = 30});
    std::set<std::string> paths;
    for (int i = 0; i < 100; ++i) {
        click(IDC_START);
        ASSERT_EQ(dlg->State().recording.load(), 1) << "round " << i;
        paths.insert(fs::path(dlg->RecordingPath()).string());
        pump(20);
        click(IDC_STOP);
        expect_monitoring();
    }
    EXPECT_EQ(paths.size(), 100u) << "no recording replaced another";
    EXPECT_EQ(files_in(folder.path()).size(), 100u);
    for (const std::string& path : paths) {
        EXPECT_GT(fs::file_size(path), 0u) << path;
    }
}

TEST_F(MainWindow, FiftyDeviceChangesInARow) {
    const int targets[] = {1, 2, 0, 6, 3};
    for (int i = 0; i < 50; ++i) {
        choose(IDC_DEVICE, targets[i % 5]);
        ASSERT_EQ(dlg->SelectedIndex(), targets[i % 5]) << "change " << i;
        ASSERT_TRUE(enabled(IDC_START)) << "change " << i;
    }
    const std::string path = record_tone(PulseServer::kStereoSink, 2.0);
    EXPECT_TRUE(decode_mp3(path).ok);
}

TEST_F(MainWindow, DeviceUnpluggedDuringARecording) {
    SendMessageW(dlg->m_hWnd, WM_COMMAND, IDCANCEL, 0);
    pump(0);
    const int module =
        server().load_module("module-null-sink", "sink_name=unplugged rate=48000 channels=2");
    ASSERT_GE(module, 0);
    dlg = std::make_unique<CMainDlg>();
    ASSERT_NE(dlg->Create(nullptr), nullptr);
    set_folder(folder.path().wstring());
    int unplugged = -1;
    for (int i = 0; i < dlg->Devices().count; ++i) {
        if (std::wstring(dlg->Devices().entries[i].device_id) == L"sink:unplugged") {
            unplugged = i;
        }
    }
    ASSERT_GE(unplugged, 2);
    choose(IDC_DEVICE, unplugged);
    ASSERT_TRUE(enabled(IDC_START));

    click(IDC_START);
    auto tone = server().play_tone("unplugged", ToneSpec{});
    pump(1500);
    ASSERT_TRUE(server().unload_module(module));
    pump(1000);
    click(IDC_STOP);
    expect_monitoring();
    const DecodedMp3 mp3 = decode_mp3(fs::path(dlg->RecordingPath()).string());
    EXPECT_TRUE(mp3.ok) << "the part before the device went is kept: " << mp3.error;
}

} // namespace
