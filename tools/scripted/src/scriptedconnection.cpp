#include "ctl/scriptedconnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "ctl/ctlexception.h"

namespace ctl {

namespace {

// The transport's own code for a response that does not fit the caller's buffer.
constexpr std::uint32_t SCARD_E_INSUFFICIENT_BUFFER = 0x80100008;

const char* kindName(ScriptedConnection::Kind kind) {
    switch (kind) {
    case ScriptedConnection::Kind::TRANSMIT:
        return "transmit";
    case ScriptedConnection::Kind::PIN_PAD_VERIFY:
        return "pinPadVerify";
    case ScriptedConnection::Kind::PIN_PAD_MODIFY:
        return "pinPadModify";
    }
    return "?";
}

std::string describe(const ScriptedConnection::Call& call) {
    std::ostringstream out;
    out << kindName(call.kind);
    switch (call.kind) {
    case ScriptedConnection::Kind::TRANSMIT:
        out << ((call.flags & CardConnection::FLAG_SENSITIVE) != 0 ? " (sensitive)"
                                                                   : " (not sensitive)");
        break;
    case ScriptedConnection::Kind::PIN_PAD_VERIFY:
        out << " (pin offset " << unsigned{call.pinOffset} << ")";
        break;
    case ScriptedConnection::Kind::PIN_PAD_MODIFY:
        out << " (ask current " << (call.askForCurrentPin ? "yes" : "no") << ", confirm new "
            << (call.confirmNewPin ? "yes" : "no") << ", offsets " << unsigned{call.pinOffset}
            << " and " << unsigned{call.newPinOffset} << ")";
        break;
    }
    out << " " << call.command.size() << " bytes: " << ScriptedConnection::toHex(call.command);
    return out.str();
}

// Two hex dumps one above the other, with a marker under the first byte that
// differs so that a long command's fault is found at a glance.
std::string byteDiff(const ScriptedConnection::Bytes& expected,
                     const ScriptedConnection::Bytes& actual) {
    if (expected == actual) {
        return "  command bytes identical: " + ScriptedConnection::toHex(actual);
    }
    std::size_t first = 0;
    while (first < expected.size() && first < actual.size() && expected[first] == actual[first]) {
        ++first;
    }
    std::ostringstream out;
    out << "  expected: " << ScriptedConnection::toHex(expected) << "\n";
    out << "  actual:   " << ScriptedConnection::toHex(actual) << "\n";
    out << "            " << std::string(first * 3, ' ') << "^^ first difference at byte "
        << first;
    if (expected.size() != actual.size()) {
        out << " (lengths " << expected.size() << " expected, " << actual.size() << " actual)";
    }
    return out.str();
}

bool sameCall(const ScriptedConnection::Call& a, const ScriptedConnection::Call& b) {
    if (a.kind != b.kind || a.command != b.command) {
        return false;
    }
    switch (a.kind) {
    case ScriptedConnection::Kind::TRANSMIT:
        return (a.flags & CardConnection::FLAG_SENSITIVE) ==
               (b.flags & CardConnection::FLAG_SENSITIVE);
    case ScriptedConnection::Kind::PIN_PAD_VERIFY:
        return a.pinOffset == b.pinOffset;
    case ScriptedConnection::Kind::PIN_PAD_MODIFY:
        return a.pinOffset == b.pinOffset && a.newPinOffset == b.newPinOffset &&
               a.askForCurrentPin == b.askForCurrentPin && a.confirmNewPin == b.confirmNewPin;
    }
    return false;
}

ScriptedConnection::Bytes copyBytes(const std::uint8_t* data, std::uint32_t length) {
    if (data == nullptr) {
        return {};
    }
    return ScriptedConnection::Bytes(data, data + length);
}

}  // namespace

ScriptedConnection::ScriptedConnection(bool pinPadAvailable, Protocol protocolInUse)
    : pinPad(pinPadAvailable), protocol(protocolInUse) {}

ScriptedConnection::~ScriptedConnection() { verify(); }

ScriptedConnection::Bytes ScriptedConnection::hex(const std::string& text) {
    Bytes bytes;
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            if (high >= 0) {
                throw std::invalid_argument("odd hex digit before a blank in: " + text);
            }
            continue;
        }
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
            throw std::invalid_argument("not a hex digit in: " + text);
        }
        int value = std::isdigit(static_cast<unsigned char>(c)) != 0
                        ? c - '0'
                        : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    if (high >= 0) {
        throw std::invalid_argument("odd number of hex digits in: " + text);
    }
    return bytes;
}

std::string ScriptedConnection::toHex(const Bytes& bytes) {
    std::string out;
    char pair[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        if (i != 0) {
            out += ' ';
        }
        out += pair;
    }
    return out;
}

ScriptedConnection& ScriptedConnection::expectTransmit(const Bytes& command,
                                                       const Bytes& responseData,
                                                       std::uint16_t statusWord, bool sensitive) {
    Step step;
    step.expected.kind = Kind::TRANSMIT;
    step.expected.command = command;
    step.expected.flags = sensitive ? FLAG_SENSITIVE : 0;
    step.responseData = responseData;
    step.statusWord = statusWord;
    script.push_back(std::move(step));
    return *this;
}

ScriptedConnection& ScriptedConnection::expect(const std::string& command,
                                               const std::string& response, bool sensitive) {
    Bytes answer = hex(response);
    if (answer.size() < 2) {
        throw std::invalid_argument("a scripted response needs its two status bytes: " + response);
    }
    auto sw = static_cast<std::uint16_t>((answer[answer.size() - 2] << 8) | answer.back());
    answer.resize(answer.size() - 2);
    return expectTransmit(hex(command), answer, sw, sensitive);
}

ScriptedConnection& ScriptedConnection::expectTransmitFailure(const std::string& command,
                                                              std::function<void()> fault,
                                                              bool sensitive) {
    expectTransmit(hex(command), {}, 0, sensitive);
    script.back().fault = std::move(fault);
    return *this;
}

ScriptedConnection& ScriptedConnection::expectPinPadVerify(std::uint8_t pinOffset,
                                                           const std::string& command,
                                                           std::uint16_t statusWord) {
    Step step;
    step.expected.kind = Kind::PIN_PAD_VERIFY;
    step.expected.command = hex(command);
    step.expected.pinOffset = pinOffset;
    step.statusWord = statusWord;
    script.push_back(std::move(step));
    return *this;
}

ScriptedConnection& ScriptedConnection::expectPinPadModify(bool askForCurrentPin,
                                                           bool confirmNewPin,
                                                           std::uint8_t currentPinOffset,
                                                           std::uint8_t newPinOffset,
                                                           const std::string& command,
                                                           std::uint16_t statusWord) {
    Step step;
    step.expected.kind = Kind::PIN_PAD_MODIFY;
    step.expected.command = hex(command);
    step.expected.askForCurrentPin = askForCurrentPin;
    step.expected.confirmNewPin = confirmNewPin;
    step.expected.pinOffset = currentPinOffset;
    step.expected.newPinOffset = newPinOffset;
    step.statusWord = statusWord;
    script.push_back(std::move(step));
    return *this;
}

ScriptedConnection& ScriptedConnection::failingWith(std::function<void()> fault) {
    if (script.empty()) {
        throw std::logic_error("failingWith() needs an expected call before it");
    }
    script.back().fault = std::move(fault);
    return *this;
}

void ScriptedConnection::verify() {
    for (std::size_t i = next; i < script.size(); ++i) {
        ADD_FAILURE() << "ScriptedConnection: expected call #" << (i + 1)
                      << " was never made: " << describe(script[i].expected);
    }
    next = script.size();
}

const ScriptedConnection::Step& ScriptedConnection::match(const Call& actual) {
    received.push_back(actual);
    std::size_t number = received.size();
    if (next >= script.size()) {
        ADD_FAILURE() << "ScriptedConnection: call #" << number
                      << " was not expected (the script has " << script.size()
                      << " calls): " << describe(actual);
        throw ScriptMismatch();
    }
    const Step& step = script[next++];
    if (!sameCall(step.expected, actual)) {
        std::ostringstream out;
        out << "ScriptedConnection: call #" << number << " differs from the script\n"
            << "  expected call: " << describe(step.expected) << "\n"
            << "  actual call:   " << describe(actual) << "\n"
            << byteDiff(step.expected.command, actual.command);
        ADD_FAILURE() << out.str();
        throw ScriptMismatch();
    }
    return step;
}

std::uint16_t ScriptedConnection::transmit(const std::uint8_t* command,
                                           std::uint32_t commandLength, std::uint8_t* response,
                                           std::uint32_t* responseLength, std::uint32_t flags) {
    Call actual;
    actual.kind = Kind::TRANSMIT;
    actual.command = copyBytes(command, commandLength);
    actual.flags = flags;
    const Step& step = match(actual);
    if (step.fault) {
        step.fault();
    }
    if (response == nullptr || responseLength == nullptr) {
        ADD_FAILURE() << "ScriptedConnection: transmit called without a response buffer";
        throw ScriptMismatch();
    }
    // The PC/SC transport refuses a response that does not fit together with
    // its status word.
    if (step.responseData.size() + 2 > *responseLength) {
        throw CtlException(SCARD_E_INSUFFICIENT_BUFFER);
    }
    std::copy(step.responseData.begin(), step.responseData.end(), response);
    *responseLength = static_cast<std::uint32_t>(step.responseData.size());
    return step.statusWord;
}

std::uint16_t ScriptedConnection::pinPadVerify(std::uint8_t pinOffset,
                                               const std::uint8_t* command,
                                               std::uint32_t commandLength) {
    Call actual;
    actual.kind = Kind::PIN_PAD_VERIFY;
    actual.command = copyBytes(command, commandLength);
    actual.pinOffset = pinOffset;
    const Step& step = match(actual);
    if (step.fault) {
        step.fault();
    }
    return step.statusWord;
}

std::uint16_t ScriptedConnection::pinPadModify(bool askForCurrentPin, bool confirmNewPin,
                                               std::uint8_t currentPinOffset,
                                               std::uint8_t newPinOffset,
                                               const std::uint8_t* command,
                                               std::uint32_t commandLength) {
    Call actual;
    actual.kind = Kind::PIN_PAD_MODIFY;
    actual.command = copyBytes(command, commandLength);
    actual.askForCurrentPin = askForCurrentPin;
    actual.confirmNewPin = confirmNewPin;
    actual.pinOffset = currentPinOffset;
    actual.newPinOffset = newPinOffset;
    const Step& step = match(actual);
    if (step.fault) {
        step.fault();
    }
    return step.statusWord;
}

}  // namespace ctl
