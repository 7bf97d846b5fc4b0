// Shared helpers of the simulator tests: APDUs are written as hex text taken
// from the command table, so a test states the bytes a driver sends.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "cardsim/cardstate.h"
#include "cardsim/engine.h"
#include "cardsim/personalisation.h"

namespace cardsim::test {

inline Bytes hex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;  // blanks separate bytes for readability
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

inline std::string toHex(const Bytes& bytes) {
    std::string out;
    char buffer[4];
    for (auto b : bytes) {
        std::snprintf(buffer, sizeof buffer, "%02X", b);
        out += buffer;
    }
    return out;
}

// The status word of an engine answer as four hex digits ("9000"), so a
// failing expectation prints it readably.
inline std::string swOf(const Bytes& answer) {
    if (answer.size() < 2) return "(none)";
    return toHex(Bytes(answer.end() - 2, answer.end()));
}

inline Bytes dataOf(const Bytes& answer) {
    return answer.size() < 2 ? Bytes() : Bytes(answer.begin(), answer.end() - 2);
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The 16-byte PIN field: PIN bytes then zeros.
inline std::string pinField(const std::string& pin) {
    Bytes bytes(pin.begin(), pin.end());
    bytes.resize(16, 0);
    return toHex(bytes);
}

inline Personalisation testPersonalisation() {
    Personalisation options;
    options.serial = hex("0102030405060708");
    options.cardId = hex("00112233445566778899AABBCCDDEEFF");
    options.userPin = "1234";
    options.soPin = "87654321";
    options.blockSize = 256;
    options.blockCount = 64;
    options.keySlots = {{1024, 1}, {2048, 1}};
    return options;
}

// A temporary directory removed with the fixture.
class TempDir {
public:
    TempDir() {
        auto base = std::filesystem::temp_directory_path() /
                    ("cardsim-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
        std::filesystem::create_directories(base);
        path_ = base;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    static int& counter() {
        static int value = 0;
        return value;
    }
    std::filesystem::path path_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A powered card from a personalisation, in memory.
class CardTest : public ::testing::Test {
protected:
    void SetUp() override { makeCard(testPersonalisation()); }

    void makeCard(const Personalisation& options) {
        card = CardEngine::fromState(personalise(options));
        card->powerOn();
    }

    Bytes send(const std::string& apdu) { return card->transmit(hex(apdu)); }
    Bytes send(const Bytes& apdu) { return card->transmit(apdu); }
    std::string sw(const std::string& apdu) { return swOf(send(apdu)); }
    std::string sw(const Bytes& apdu) { return swOf(send(apdu)); }

    void select() { ASSERT_EQ("9000", sw("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41")); }
    void loginUser() { ASSERT_EQ("9000", sw("80 20 01 00 10" + pinField("1234"))); }
    void loginSo() { ASSERT_EQ("9000", sw("80 20 02 00 10" + pinField("87654321"))); }

    std::unique_ptr<CardEngine> card;
};

}  // namespace cardsim::test
