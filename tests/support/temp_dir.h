// A fresh folder per test, removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <set>
#include <string>

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // A file in the folder, as the file system and as the program's wide text see it.
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::wstring wfile(const std::string& name) const { return (path_ / name).wstring(); }
    // The names of what the folder holds.
    std::set<std::string> names() const;

  private:
    std::filesystem::path path_;
};
