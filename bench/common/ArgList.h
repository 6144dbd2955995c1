// "--name value" and "--flag" command lines of the bench programs.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

class ArgList {
public:
    // `flags` take no value; every other option takes one. False with a message
    // for an unknown option or a missing value.
    bool parse(int argc, char* const* argv, const std::set<std::string>& valued,
               const std::set<std::string>& flags, std::string& error);

    bool has(const std::string& name) const { return fValues.count(name) != 0; }
    std::string text(const std::string& name, const std::string& fallback = "") const;
    // Every value given for a repeatable option, in order.
    std::vector<std::string> all(const std::string& name) const;
    // A number in [min, max]; false with a message when malformed or out of range.
    bool number(const std::string& name, double min, double max, double& value, std::string& error) const;
    bool integer(const std::string& name, long min, long max, long& value, std::string& error) const;

private:
    std::multimap<std::string, std::string> fValues;
};
