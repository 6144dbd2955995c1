#include "DumpTestSupport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "TextShape.h"

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/nerivo_log_XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) fPath = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!fPath.empty()) std::filesystem::remove_all(fPath, ignored);
}

std::vector<std::string> TempDir::dumpNames() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(fPath, ignored)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("libTalvex_", 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

CurrentDirectory::CurrentDirectory(const std::string& path) {
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer) != nullptr) fPrevious = buffer;
    if (chdir(path.c_str()) != 0) fPrevious.clear();
}

CurrentDirectory::~CurrentDirectory() {
    if (!fPrevious.empty() && chdir(fPrevious.c_str()) != 0) abort();
}

bool dumpNameTime(const std::string& name, time_t& when) {
    if (!isShape(name, "libTalvex_######## ######.dmp")) return false;
    auto number = [&name](size_t at, size_t length) { return std::stoi(name.substr(at, length)); };
    struct tm local = {};
    local.tm_year = number(10, 4) - 1900;
    local.tm_mon = number(14, 2) - 1;
    local.tm_mday = number(16, 2);
    local.tm_hour = number(19, 2);
    local.tm_min = number(21, 2);
    local.tm_sec = number(23, 2);
    local.tm_isdst = -1;
    when = mktime(&local);
    return when != static_cast<time_t>(-1);
}
