// What the file-safety tests look at in the files the module writes (POSIX).
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fileinspection {

inline std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The permission bits of the path itself, a link not followed.
inline unsigned modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(0, ::lstat(path.c_str(), &info)) << path;
    return info.st_mode & 07777;
}

}  // namespace fileinspection
