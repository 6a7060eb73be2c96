// The file a recording goes to, without a window or a sound server: its name
// after the start time, never an existing file, never through a link, and a
// folder that can't take it is a failure that leaves nothing behind.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mp3_writer.h"
#include "recording_file.h"
#include "signals.h"
#include "temp_dir.h"
#include "tone_checks.h"

namespace {

namespace fs = std::filesystem;

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

    // Here a backslash is part of a folder's name: the file goes inside
    // that folder, not beside it.
    fs::create_directory(dir.path() / "take\\");
    const std::wstring backslashed = dir.wfile("take\\");
    ASSERT_EQ(ReserveRecordingFile(path, backslashed.c_str(), december), 0);
    EXPECT_EQ(std::wstring(path), backslashed + L"/12-31-23-59-59.mp3");
    EXPECT_TRUE(fs::exists(dir.path() / "take\\" / "12-31-23-59-59.mp3"));
}

// Someone who may write to the folder swaps a new recording's name for a
// symbolic link to another file before the recording writes (the file
// itself kept under another name), or has put a link where the name will
// be. The recording goes to the file that was created, and the other file
// is left as it was.
TEST(RecordingFile, ALinkAtTheNameCannotRedirectTheRecording) {
    TempDir dir, elsewhere;
    const fs::path victim = elsewhere.path() / "precious.txt";
    std::ofstream(victim) << "not to be overwritten";
    const SYSTEMTIME start{2026, 5, 3, 6, 7, 8, 9, 0};
    WCHAR path[RECORDING_PATH_UNITS];

    // A link already there: not followed, the next name is taken.
    fs::create_symlink(victim, dir.path() / "05-06-07-08-09.mp3");
    FILE* file = nullptr;
    ASSERT_EQ(ReserveRecordingFile(path, dir.path().wstring().c_str(), start, &file), 0);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::wstring(path), dir.wfile("05-06-07-08-09-2.mp3"));

    // Swapped between the creation and the writing.
    fs::rename(path, dir.path() / "kept.mp3");
    fs::create_symlink(victim, path);
    Mp3Writer* writer = mp3_writer_open_file(file, 48000, 2, 192000);
    ASSERT_NE(writer, nullptr);
    const std::vector<float> tone = make_tone(48000, 2, 48000, 1000.0, {0.5f, 0.5f});
    EXPECT_EQ(mp3_writer_write(writer, tone.data(), 48000), 0);
    EXPECT_EQ(mp3_writer_close(writer), 0);

    std::string text;
    std::getline(std::ifstream(victim) >> std::noskipws, text);
    EXPECT_EQ(text, "not to be overwritten");
    EXPECT_EQ(fs::file_size(victim), 21u);
    expect_tone(decode_mp3(dir.file("kept.mp3")), 1000.0);
}

// A folder whose path with the file's name is longer than Windows takes in
// its plain form (MAX_PATH) still takes the file, which the path given back
// names; a path too long for the buffer is said to be so, not taken for a
// folder that can't take files.
TEST(RecordingFile, ALongFolderTakesTheFileAndATooLongOneIsSaidToBe) {
    TempDir dir;
    const SYSTEMTIME start{2026, 7, 2, 14, 15, 16, 17, 0};
    WCHAR path[RECORDING_PATH_UNITS];
    const fs::path folder = dir.path() / std::string(120, 'a') / std::string(120, 'b');
    fs::create_directories(folder);
    ASSERT_EQ(ReserveRecordingFile(path, folder.wstring().c_str(), start), 0);
    EXPECT_TRUE(fs::exists(folder / "07-14-15-16-17.mp3"));
    EXPECT_TRUE(DeleteFileW(path));

    const std::wstring too_long = folder.wstring() + L"/" + std::wstring(760, L'c');
    SetLastError(0);
    EXPECT_EQ(ReserveRecordingFile(path, too_long.c_str(), start), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
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
    EXPECT_TRUE(dir.names().empty()) << "nothing was created anywhere";
    EXPECT_EQ(ReserveRecordingFile(path, nullptr, start), -1);
    // No folder is neither the root nor the working folder: refused before
    // the file system is asked, which any user can see (only root could make
    // the file in the root; should it have, it goes again). The working
    // folder is the temporary one meanwhile.
    const fs::path working = fs::current_path();
    fs::current_path(dir.path());
    SetLastError(0);
    EXPECT_EQ(ReserveRecordingFile(path, L"", start), -1);
    EXPECT_EQ(GetLastError(), 0u) << "the file system was asked";
    fs::current_path(working);
    EXPECT_TRUE(dir.names().empty()) << "a file was made in the working folder";
    std::error_code ignored;
    EXPECT_FALSE(fs::remove("/03-09-08-07-06.mp3", ignored)) << "a file was made in the root";
}

} // namespace
