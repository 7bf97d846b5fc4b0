#include "cardsim/engineconnection.h"

#include <algorithm>
#include <cstring>

#include "ctl/ctlexception.h"

namespace cardsim {
namespace {

// PC/SC result codes the connection reports, as the PC/SC connection does.
constexpr std::uint32_t SCARD_E_INVALID_PARAMETER = 0x80100004;
constexpr std::uint32_t SCARD_E_INSUFFICIENT_BUFFER = 0x80100008;
constexpr std::uint32_t SCARD_F_UNKNOWN_ERROR = 0x80100014;
constexpr std::uint32_t SCARD_E_UNSUPPORTED_FEATURE = 0x80100022;

// Reader status words for keypad outcomes.
constexpr std::uint16_t PINPAD_TIMEOUT = 0x6400;
constexpr std::uint16_t PINPAD_CANCELLED = 0x6401;
constexpr std::uint16_t PINPAD_MISMATCH = 0x6402;
constexpr std::uint16_t PINPAD_LENGTH = 0x6403;
constexpr std::size_t PINPAD_MAX_DIGITS = 8;
constexpr std::uint32_t PINPAD_MAX_APDU = 280;

std::uint16_t statusOf(const std::vector<std::uint8_t>& answer) {
    return static_cast<std::uint16_t>(answer[answer.size() - 2] << 8 | answer.back());
}

}  // namespace

EngineConnection::EngineConnection(CardEngine& engine, Protocol protocol)
    : engine_(&engine), protocol_(protocol) {
    if (!engine_->isPowered()) engine_->powerOn();
}

EngineConnection::EngineConnection(std::unique_ptr<CardEngine> engine, Protocol protocol)
    : owned_(std::move(engine)), engine_(owned_.get()), protocol_(protocol) {
    if (!engine_->isPowered()) engine_->powerOn();
}

void EngineConnection::injectStatusWord(std::uint8_t ins, unsigned nth, std::uint16_t statusWord) {
    injections_.push_back({ins, nth, statusWord});
}

std::vector<std::uint8_t> EngineConnection::exchange(const std::vector<std::uint8_t>& command) {
    if (command.size() >= 2) {
        for (auto it = injections_.begin(); it != injections_.end(); ++it) {
            if (it->ins == command[1] && --it->remaining == 0) {
                const std::uint16_t word = it->statusWord;
                injections_.erase(it);
                return {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word & 0xFF)};
            }
        }
    }
    sent_.push_back(command);
    return engine_->transmit(command);
}

std::uint16_t EngineConnection::transmit(const std::uint8_t* command, std::uint32_t commandLength,
                                         std::uint8_t* response, std::uint32_t* responseLength,
                                         std::uint32_t /*flags*/) {
    if (command == nullptr || response == nullptr || responseLength == nullptr) {
        throw ctl::CtlException(SCARD_E_INVALID_PARAMETER);
    }
    const std::uint32_t capacity = *responseLength;
    std::vector<std::uint8_t> apdu(command, command + commandLength);
    // T=0 carries no trailing Le on a command with data: the card answers 61xx.
    if (protocol_ == PROTOCOL_T0 && apdu.size() > 5 && apdu.size() == apdu[4] + 6u) {
        apdu.pop_back();
    }
    auto answer = exchange(apdu);
    if ((statusOf(answer) >> 8) == 0x61) {
        answer = exchange({0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(statusOf(answer) & 0xFF)});
    }
    if (answer.size() > capacity) {
        throw ctl::CtlException(SCARD_E_INSUFFICIENT_BUFFER);
    }
    if (answer.size() < 2) {
        throw ctl::CtlException(SCARD_F_UNKNOWN_ERROR);
    }
    std::memcpy(response, answer.data(), answer.size() - 2);
    *responseLength = static_cast<std::uint32_t>(answer.size() - 2);
    return statusOf(answer);
}

std::uint16_t EngineConnection::takePin(std::string& digits) {
    if (keypad_.empty()) {
        return PINPAD_TIMEOUT;
    }
    KeypadEntry entry = std::move(keypad_.front());
    keypad_.pop_front();
    switch (entry.kind) {
    case KeypadEntry::CANCEL: return PINPAD_CANCELLED;
    case KeypadEntry::TIMEOUT: return PINPAD_TIMEOUT;
    case KeypadEntry::DIGITS: break;
    }
    if (entry.digits.empty() || entry.digits.size() > PINPAD_MAX_DIGITS) {
        return PINPAD_LENGTH;
    }
    digits = std::move(entry.digits);
    return 0x9000;
}

std::uint16_t EngineConnection::sendFromReader(std::vector<std::uint8_t> command) {
    auto answer = exchange(command);
    if ((statusOf(answer) >> 8) == 0x61) {
        answer = exchange({0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(statusOf(answer) & 0xFF)});
    }
    return statusOf(answer);
}

// The reader writes the typed digits as ASCII at the offset (counted from the
// first byte of the command), leaving the template's other bytes as they are.
std::uint16_t EngineConnection::pinPadVerify(std::uint8_t pinOffset, const std::uint8_t* command,
                                             std::uint32_t commandLength) {
    if (!pinPadAvailable_) throw ctl::CtlException(SCARD_E_UNSUPPORTED_FEATURE);
    if (command == nullptr || commandLength > PINPAD_MAX_APDU) {
        throw ctl::CtlException(SCARD_E_INVALID_PARAMETER);
    }
    std::string pin;
    const std::uint16_t outcome = takePin(pin);
    if (outcome != 0x9000) return outcome;
    std::vector<std::uint8_t> apdu(command, command + commandLength);
    if (pinOffset < 5 || pinOffset + pin.size() > apdu.size()) return PINPAD_LENGTH;
    std::copy(pin.begin(), pin.end(), apdu.begin() + pinOffset);
    return sendFromReader(std::move(apdu));
}

std::uint16_t EngineConnection::pinPadModify(bool askForCurrentPin, bool confirmNewPin,
                                             std::uint8_t currentPinOffset, std::uint8_t newPinOffset,
                                             const std::uint8_t* command, std::uint32_t commandLength) {
    if (!pinPadAvailable_) throw ctl::CtlException(SCARD_E_UNSUPPORTED_FEATURE);
    if (command == nullptr || commandLength > PINPAD_MAX_APDU) {
        throw ctl::CtlException(SCARD_E_INVALID_PARAMETER);
    }
    std::string currentPin, newPin, confirmation;
    std::uint16_t outcome = 0x9000;
    if (askForCurrentPin && (outcome = takePin(currentPin)) != 0x9000) return outcome;
    if ((outcome = takePin(newPin)) != 0x9000) return outcome;
    if (confirmNewPin) {
        if ((outcome = takePin(confirmation)) != 0x9000) return outcome;
        if (confirmation != newPin) return PINPAD_MISMATCH;
    }
    std::vector<std::uint8_t> apdu(command, command + commandLength);
    if (askForCurrentPin) {
        if (currentPinOffset < 5 || currentPinOffset + currentPin.size() > apdu.size()) {
            return PINPAD_LENGTH;
        }
        std::copy(currentPin.begin(), currentPin.end(), apdu.begin() + currentPinOffset);
    }
    // Offsets below 5 would overwrite the command header; the reader refuses them.
    if (newPinOffset < 5 || newPinOffset + newPin.size() > apdu.size()) return PINPAD_LENGTH;
    std::copy(newPin.begin(), newPin.end(), apdu.begin() + newPinOffset);
    return sendFromReader(std::move(apdu));
}

}  // namespace cardsim
