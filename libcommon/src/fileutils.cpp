#include "fileutils.h"

#include "platform.h"
#include "vxexception.h"

bool getHomeDirectory(std::string* homeDir) {
    if (homeDir == nullptr) {
        throw InvalidArgumentException::nullPointer("homeDir", "getHomeDirectory", __FILE__,
                                                    __LINE__);
    }
    std::string found;
    if (!platform::homeDirectory(found)) {
        return false;
    }
    *homeDir = found;
    return true;
}

namespace {

std::string withoutOuterSeparators(const std::string& piece) {
    const char sep = platform::pathSeparator();
    std::string result = piece;
    if (!result.empty() && result.front() == sep) {
        result.erase(0, 1);
    }
    if (!result.empty() && result.back() == sep) {
        result.pop_back();
    }
    return result;
}

}  // namespace

std::string joinPath(const std::string& a, const std::string& b) {
    if (a.empty() && b.empty()) {
        return ".";
    }
    if (a.empty()) {
        return withoutOuterSeparators(b);
    }
    if (b.empty()) {
        return a;
    }
    return withTrailingSeparator(a) + withoutOuterSeparators(b);
}

std::string withTrailingSeparator(const std::string& path) {
    const char sep = platform::pathSeparator();
    if (path.empty() || path.back() == sep) {
        return path;
    }
    return path + sep;
}
