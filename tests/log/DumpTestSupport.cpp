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
    when = localTimeAt(name, 10);
    return when != static_cast<time_t>(-1);
}
