#include "properties.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

// Carriage returns are trimmed as well, so files edited on Windows (CR LF line
// ends) give the same values everywhere.
constexpr const char* TRIMMED = " \t\n\r";
constexpr int LINE_PIECE_CAPACITY = 1024;  // 1023 characters and the terminator

std::string trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(TRIMMED);
    if (first == std::string::npos) {
        return std::string();
    }
    const std::size_t last = text.find_last_not_of(TRIMMED);
    return text.substr(first, last - first + 1);
}

}  // namespace

bool Properties::load(const std::string& path) {
    values.clear();
    emptyKeys.clear();
    std::FILE* file = platform::openConfigurationFile(path);
    if (file == nullptr) {
        return false;
    }
    char piece[LINE_PIECE_CAPACITY];
    while (std::fgets(piece, sizeof piece, file) != nullptr) {
        parseLine(std::string(piece, std::strlen(piece)));
    }
    std::fclose(file);
    return true;
}

void Properties::parseLine(const std::string& line) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
        return;
    }
    std::string key = trim(line.substr(0, equals));
    std::string value = trim(line.substr(equals + 1));
    if (key.empty()) {
        return;
    }
    if (value.empty()) {
        emptyKeys.insert(key);
        return;
    }
    values[key] = value;
}

bool Properties::isGivenEmpty(const std::string& key) const {
    return emptyKeys.count(key) != 0 && values.count(key) == 0;
}

bool Properties::getString(const std::string& key, std::string& out) const {
    auto found = values.find(key);
    if (found == values.end()) {
        out.clear();
        return false;
    }
    out = found->second;
    return true;
}

bool Properties::getInt(const std::string& key, long& out) const {
    out = 0;
    auto found = values.find(key);
    if (found == values.end()) {
        return false;
    }
    out = std::strtol(found->second.c_str(), nullptr, 10);
    return true;
}
