// Runs the commands that carry secrets with the trace log switched on (the
// test's configuration file, named by ZENTRIK_CONF, sets loglevel and
// logpath) and searches the log file for the secrets, in hexadecimal dump form
// and as raw bytes. Non-secret values of the same commands must appear, so
// that an empty or missing log cannot pass.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "amwferrix/apdu.h"
#include "ctl/scriptedconnection.h"
#include "logger.h"

namespace {

using Bytes = ctl::ScriptedConnection::Bytes;
using ctl::ScriptedConnection;
namespace apdu = amwferrix::apdu;

Bytes hex(const std::string& text) { return ScriptedConnection::hex(text); }

std::string readLog() {
    std::ifstream in(Logger::instance().getFileName(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Every run of four consecutive secret bytes, as the hex dump would print it
// (" 4A 7E ...") and as raw bytes.
void expectAbsent(const std::string& log, const Bytes& secret, const char* what) {
    ASSERT_GE(secret.size(), 4u);
    for (std::size_t i = 0; i + 4 <= secret.size(); ++i) {
        const Bytes window(secret.begin() + static_cast<std::ptrdiff_t>(i),
                           secret.begin() + static_cast<std::ptrdiff_t>(i) + 4);
        std::string dump(1, ' ');
        dump += ScriptedConnection::toHex(window);
        const std::string raw(window.begin(), window.end());
        EXPECT_EQ(std::string::npos, log.find(dump)) << what << " in the log: " << dump;
        EXPECT_EQ(std::string::npos, log.find(raw)) << what << " raw in the log at " << i;
    }
}

void expectPresent(const std::string& log, const std::string& text) {
    EXPECT_NE(std::string::npos, log.find(text)) << "missing from the log: " << text;
}

// Distinct byte patterns, none of which occurs in a command header.
const Bytes PIN = hex("5A 71 38 23 50 69 6E 21");                // "Zq8#Pin!"
const Bytes NEW_PIN = hex("6E 33 77 50 21 6E 58 7A 71");         // "n3wP!nXzq"
const Bytes PUK = hex("50 75 4B 2D 39 39 31 37");                // "PuK-9917"
const Bytes SESSION_PIN = hex("C3 5E 55 10 9A 4F D2 E7");
const Bytes UNBLOCK_KEY = hex("B1 6B 2E 44 97 F0 0C 3A");
const Bytes NEW_KEY =
    hex("D9 1F 62 A8 3C 75 E4 0B 96 27 5D C1 88 13 AF 64 F2 09 4E B7 2A 6C D0 39");
const Bytes PRIME_P = [] {
    Bytes p(128);
    for (std::size_t i = 0; i < p.size(); ++i) {
        p[i] = static_cast<std::uint8_t>(0xA7 ^ (i * 37));
    }
    return p;
}();
// Q, DP, DQ and INV: 64 bytes each, every one with its own pattern.
Bytes privateComponent(std::uint8_t component) {
    Bytes c(64);
    for (std::size_t i = 0; i < c.size(); ++i) {
        c[i] = static_cast<std::uint8_t>(component * 41 + i * (2 * component + 5));
    }
    return c;
}
const std::uint8_t OTHER_PRIVATE[] = {apdu::COMPONENT_Q, apdu::COMPONENT_DP, apdu::COMPONENT_DQ,
                                      apdu::COMPONENT_INV};
const Bytes CRYPT_INPUT = [] {
    Bytes d(128);
    for (std::size_t i = 0; i < d.size(); ++i) {
        d[i] = static_cast<std::uint8_t>(0x3B + i * 11);
    }
    return d;
}();
const Bytes CRYPT_RESULT = [] {
    Bytes d(128);
    for (std::size_t i = 0; i < d.size(); ++i) {
        d[i] = static_cast<std::uint8_t>(0xE5 - i * 7);
    }
    return d;
}();
// A public value that the log must show.
const Bytes MODULUS_START = hex("C8 F1 02 5D");

std::string padded(const Bytes& value, std::size_t field) {
    Bytes out = value;
    out.resize(field, 0);
    return ScriptedConnection::toHex(out);
}

TEST(TraceLogMasking, SecretsOfEveryCommandStayOutOfTheLog) {
    ASSERT_TRUE(Logger::instance().isEnabled())
        << "the trace log is off: run through ctest, which sets ZENTRIK_CONF";

    ScriptedConnection card;
    card.expect("80 20 01 00 10 " + padded(PIN, 16), "90 00", true)
        .expect("80 20 01 02 08 " + ScriptedConnection::toHex(SESSION_PIN), "90 00", true)
        .expect("80 26 00 01 10 " + padded(NEW_PIN, 16), "90 00", true)
        .expect("80 28 02 01 20 " + padded(PUK, 16) + " " + padded(NEW_PIN, 16), "63 C2", true)
        .expect("80 28 02 03 20 " + ScriptedConnection::toHex(UNBLOCK_KEY) + " " +
                    ScriptedConnection::toHex(NEW_KEY),
                "90 00", true)
        .expect("80 2E 01 00 08", ScriptedConnection::toHex(SESSION_PIN) + " 90 00", true)
        .expect("80 42 01 00 80 " + ScriptedConnection::toHex(PRIME_P), "90 00", true)
        .expect("80 42 02 00 40 " + ScriptedConnection::toHex(privateComponent(2)), "90 00", true)
        .expect("80 42 03 00 40 " + ScriptedConnection::toHex(privateComponent(3)), "90 00", true)
        .expect("80 42 04 00 40 " + ScriptedConnection::toHex(privateComponent(4)), "90 00", true)
        .expect("80 42 05 00 40 " + ScriptedConnection::toHex(privateComponent(5)), "90 00", true)
        .expect("80 42 06 00 04 " + ScriptedConnection::toHex(MODULUS_START), "90 00")
        .expect("80 4A 00 00 80 " + ScriptedConnection::toHex(CRYPT_INPUT) + " 80",
                ScriptedConnection::toHex(CRYPT_RESULT) + " 90 00", true);

    EXPECT_EQ(0u, apdu::authenticate(card, 1, false, apdu::AUTH_TYPE_PIN, PIN.data(),
                                     static_cast<std::uint32_t>(PIN.size()), nullptr, nullptr));
    EXPECT_EQ(0u, apdu::authenticate(card, 1, true, apdu::AUTH_TYPE_KEY, SESSION_PIN.data(), 8,
                                     nullptr, nullptr));
    apdu::changePin(card, 1, true, NEW_PIN.data(), static_cast<std::uint32_t>(NEW_PIN.size()),
                    nullptr);
    std::int32_t tries = 0;
    EXPECT_EQ(1u, apdu::unblockPin(card, 2, apdu::AUTH_TYPE_PIN, PUK.data(),
                                   static_cast<std::uint32_t>(PUK.size()), 1, apdu::AUTH_TYPE_PIN,
                                   NEW_PIN.data(), static_cast<std::uint32_t>(NEW_PIN.size()),
                                   &tries, nullptr));
    EXPECT_EQ(0u, apdu::unblockPin(card, 2, apdu::AUTH_TYPE_KEY, UNBLOCK_KEY.data(), 8, 3,
                                   apdu::AUTH_TYPE_KEY, NEW_KEY.data(), 24, &tries, nullptr));
    std::uint8_t sessionPin[8];
    apdu::generateSessionPin(card, 1, sessionPin);
    apdu::importComponent(card, apdu::COMPONENT_P, PRIME_P.data(), 128);
    for (std::uint8_t component : OTHER_PRIVATE) {
        const Bytes value = privateComponent(component);
        apdu::importComponent(card, component, value.data(), 64);
    }
    apdu::importComponent(card, apdu::COMPONENT_N, MODULUS_START.data(), 4);
    std::uint8_t result[128];
    apdu::crypt(card, CRYPT_INPUT.data(), true, result, 128, true);
    card.verify();

    const std::string log = readLog();
    ASSERT_FALSE(log.empty()) << Logger::instance().getFileName();
    expectAbsent(log, PIN, "PIN");
    expectAbsent(log, NEW_PIN, "new PIN");
    expectAbsent(log, PUK, "unblocking PIN");
    expectAbsent(log, SESSION_PIN, "session PIN");
    expectAbsent(log, UNBLOCK_KEY, "unblocking key");
    expectAbsent(log, NEW_KEY, "new key");
    expectAbsent(log, PRIME_P, "prime P");
    for (std::uint8_t component : OTHER_PRIVATE) {
        expectAbsent(log, privateComponent(component), "private key component");
    }
    expectAbsent(log, CRYPT_INPUT, "sensitive RSA input");
    expectAbsent(log, CRYPT_RESULT, "sensitive RSA result");

    // The commands were traced, with headers and status words only.
    expectPresent(log, "-> 80 20 01 00 ******");
    expectPresent(log, "-> 80 20 01 02 ******");
    expectPresent(log, "-> 80 26 00 01 ******");
    expectPresent(log, "-> 80 28 02 01 ******");
    expectPresent(log, "-> 80 2E 01 00 ******");
    expectPresent(log, "-> 80 42 01 00 ******");
    expectPresent(log, "-> 80 4A 00 00 ******");
    expectPresent(log, "<- ******");
    expectPresent(log, "SW = 63C2");
    expectPresent(log, "data = ******");
    expectPresent(log, "Entering amwferrix::apdu::authenticate()");
    // A public component is dumped in full.
    expectPresent(log, "-> 80 42 06 00 04 C8 F1 02 5D");
}

}  // namespace
