// Names of the files PrivateDirectory::createTemporary makes: the final
// name, ".new-" and 16 lower-case hexadecimal digits of random bits (on Linux
// behind a leading dot, which hides the file from listings). No other writer
// picks the same 64 random bits; the fixed shape lets a later writer tell a
// leftover of ours from anything else in the directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::temporaryname {

constexpr const char MARK[] = ".new-";
constexpr std::size_t RANDOM_BYTES = 8;

inline std::string make(const std::string& prefix, const std::uint8_t (&random)[RANDOM_BYTES]) {
    static const char HEX[] = "0123456789abcdef";
    std::string name = prefix + MARK;
    for (std::uint8_t b : random) {
        name.push_back(HEX[b >> 4]);
        name.push_back(HEX[b & 0x0F]);
    }
    return name;
}

inline bool matches(const std::string& name) {
    constexpr std::size_t markLength = sizeof MARK - 1;
    constexpr std::size_t suffixLength = markLength + 2 * RANDOM_BYTES;
    if (name.size() <= suffixLength || name.compare(name.size() - suffixLength, markLength, MARK) != 0) {
        return false;
    }
    for (std::size_t i = name.size() - 2 * RANDOM_BYTES; i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace platform::temporaryname
