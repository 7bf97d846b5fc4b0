// Conversions between the layer's wide reader names and UTF-8, the encoding
// pcsc-lite uses for names and the one log lines use for narrow text.
// Independent of the C locale: malformed UTF-8 becomes U+FFFD, never an error.
#pragma once

#include <string>

namespace ctl {

class WideText {
public:
    static std::wstring fromUtf8(const std::string& text);
    static std::string toUtf8(const std::wstring& text);
};

}  // namespace ctl
