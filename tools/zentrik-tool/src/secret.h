// A PIN held by the tool. It has no stream operator and no conversion to a
// string, so it cannot reach a message by accident; its bytes are wiped
// when it is destroyed or replaced.
#pragma once

#include <cstddef>
#include <string>

#include "cryptoki.h"

namespace zentriktool {

class Secret {
public:
    Secret() = default;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { wipe(); }

    // Copies the text and wipes the source, which may be a line buffer or
    // an argv entry.
    void takeFrom(char* text) {
        wipe();
        for (char* at = text; *at != '\0'; ++at) {
            value_.push_back(*at);
            *at = '\0';
        }
    }
    void takeFrom(std::string& text) {
        wipe();
        value_.assign(text);
        wipeString(text);
    }

    bool empty() const { return value_.empty(); }
    bool equals(const Secret& other) const { return value_ == other.value_; }
    // For the Cryptoki call only.
    CK_UTF8CHAR_PTR data() { return reinterpret_cast<CK_UTF8CHAR_PTR>(value_.data()); }
    CK_ULONG size() const { return static_cast<CK_ULONG>(value_.size()); }

    void wipe() noexcept { wipeString(value_); }

    // Zeroes the whole buffer, not only the characters in use, so that no
    // copy survives in a string's spare room.
    static void wipeString(std::string& text) noexcept {
        volatile char* bytes = text.data();
        for (std::size_t i = 0; i < text.capacity(); ++i) bytes[i] = 0;
        text.clear();
    }

private:
    std::string value_;
};

}  // namespace zentriktool
