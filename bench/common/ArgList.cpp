#include "ArgList.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

bool ArgList::parse(int argc, char* const* argv, const std::set<std::string>& valued,
                    const std::set<std::string>& flags, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            error = "unexpected argument: " + arg;
            return false;
        }
        std::string name = arg.substr(2);
        if (flags.count(name) != 0) {
            fValues.emplace(name, "");
        } else if (valued.count(name) != 0) {
            if (i + 1 >= argc) {
                error = "missing value for " + arg;
                return false;
            }
            fValues.emplace(name, argv[++i]);
        } else {
            error = "unknown option: " + arg;
            return false;
        }
    }
    return true;
}

std::string ArgList::text(const std::string& name, const std::string& fallback) const {
    auto it = fValues.find(name);
    return it == fValues.end() ? fallback : it->second;
}

std::vector<std::string> ArgList::all(const std::string& name) const {
    std::vector<std::string> values;
    auto range = fValues.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) values.push_back(it->second);
    return values;
}

bool ArgList::number(const std::string& name, double min, double max, double& value, std::string& error) const {
    if (!has(name)) return true;
    std::string raw = text(name);
    errno = 0;
    char* end = nullptr;
    double parsed = strtod(raw.c_str(), &end);
    if (raw.empty() || errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed < min || parsed > max) {
        error = "bad value for --" + name + ": " + raw;
        return false;
    }
    value = parsed;
    return true;
}

bool ArgList::integer(const std::string& name, long min, long max, long& value, std::string& error) const {
    if (!has(name)) return true;
    std::string raw = text(name);
    errno = 0;
    char* end = nullptr;
    long parsed = strtol(raw.c_str(), &end, 10);
    if (raw.empty() || errno != 0 || *end != '\0' || parsed < min || parsed > max) {
        error = "bad value for --" + name + ": " + raw;
        return false;
    }
    value = parsed;
    return true;
}
