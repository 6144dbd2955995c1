// Shared by the crash-dump tests: a scratch directory and the dump file names.
#pragma once

#include <ctime>
#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return fPath; }
    // Names (not paths) of the entries that look like "libTalvex_*", sorted.
    std::vector<std::string> dumpNames() const;

private:
    std::string fPath;
};

// Makes `path` the current directory while the object lives.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::string& path);
    ~CurrentDirectory();
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::string fPrevious;
};

// The local time encoded in "libTalvex_YYYYMMDD HHMMSS.dmp"; false when the
// name does not have exactly that form.
bool dumpNameTime(const std::string& name, time_t& when);
