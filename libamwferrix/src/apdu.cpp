// The transport shared by every command: sending one APDU with its trace
// lines, the status word table, and the pin-pad entry loop.
#include "amwferrix/apdu.h"

#include "amw/exceptions.h"
#include "apducommand.h"
#include "logger.h"
#include "vxexception.h"

namespace amwferrix {
namespace apdu {

using namespace detail;

namespace {

// The shortest command is its four header bytes; the longest carries 255
// data bytes and a trailing Le.
constexpr std::uint32_t MIN_COMMAND = 4;
constexpr std::uint32_t MAX_COMMAND = 5 + 255 + 1;

void logMaskedCommand(const std::uint8_t* command) {
    Logger::instance().log(LOG_FACILITY_AMWFERRIX_APDU, L"-> %02X %02X %02X %02X ******",
                           command[0], command[1], command[2], command[3]);
}

}  // namespace

std::uint16_t sendApdu(ctl::CardConnection& connection, const std::uint8_t* command,
                       std::uint32_t commandLength, std::uint8_t* response,
                       std::uint32_t* responseLength, std::uint8_t sensitive) {
    static constexpr char FN[] = "amwferrix::apdu::sendApdu";
    requireNonNull(command, "command", FN, __FILE__, __LINE__);
    requireNonNull(response, "response", FN, __FILE__, __LINE__);
    requireNonNull(responseLength, "responseLength", FN, __FILE__, __LINE__);
    requireRange(commandLength, MIN_COMMAND, MAX_COMMAND, "commandLength", FN, __FILE__,
                 __LINE__);
    Logger& logger = Logger::instance();
    if (sensitive != 0) {
        logMaskedCommand(command);
    } else {
        logger.logHex(LOG_FACILITY_AMWFERRIX_APDU, L"->", command, commandLength, true);
    }
    const std::uint32_t flags = sensitive != 0 ? ctl::CardConnection::FLAG_SENSITIVE : 0;
    std::uint16_t sw = 0;
    try {
        sw = connection.transmit(command, commandLength, response, responseLength, flags);
    } catch (...) {
        logger.log(LOG_FACILITY_AMWFERRIX_APDU, L"Transmit error");
        throw;
    }
    if (sensitive != 0) {
        logger.log(LOG_FACILITY_AMWFERRIX_APDU, L"<- ******");
    } else {
        logger.logHex(LOG_FACILITY_AMWFERRIX_APDU, L"<-", response, *responseLength, true);
    }
    logger.log(LOG_FACILITY_AMWFERRIX_APDU, L"SW = %04X", static_cast<unsigned>(sw));
    return sw;
}

void checkStatusWord(std::uint16_t sw) {
    switch (sw) {
    case 0x6982:
        throw amw::SecurityViolationException();
    case 0x6D00:
        throw amw::AppletNotSelectedException();
    case 0x6F03:
        throw amw::CardOutOfMemoryException();
    case 0x6F18:
        throw amw::PinPolicyViolationException();
    case 0x9000:
        return;
    default:
        throw amw::SWException(sw);
    }
}

bool handlePinPadSW(std::uint16_t sw, amw::PinPadListener* listener, std::uint32_t& state) {
    bool again = false;
    switch (sw) {
    case 0x6400:
        throw amw::PinPadException(amw::PinPadException::AUTHENTICATION_PINPAD_TIMEOUT);
    case 0x6401:
        if (listener != nullptr) {
            listener->onPinPadCanceled();
        }
        throw amw::PinPadException(amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED);
    case 0x6402:
        if (listener == nullptr) {
            throw amw::PinPadException(
                amw::PinPadException::AUTHENTICATION_PINPAD_MODIFY_PIN_MISMATCH);
        }
        listener->onNewPinMismatch();
        again = true;
        break;
    case 0x6403:
        if (listener == nullptr) {
            throw amw::PinPadException(
                amw::PinPadException::AUTHENTICATION_PINPAD_PIN_TOO_SHORT_OR_TOO_LONG);
        }
        listener->onPinLengthError();
        again = true;
        break;
    case 0x6983:
        state = 0;
        if (listener != nullptr) {
            listener->onPinBlocked();
        }
        break;
    default:
        if (isWrongPin(sw)) {
            state = sw & 0x0F;
            if (listener != nullptr) {
                listener->onWrongPin();
                again = true;
            }
        }
        break;
    }
    Logger::instance().log(LOG_FACILITY_AMWFERRIX_APDU, L"Returning %ls",
                           again ? L"true" : L"false");
    return again;
}

namespace detail {

std::uint16_t runPinPadEntry(ctl::CardConnection& connection, const Command& command,
                             const PinPadRequest& request, amw::PinPadListener* listener) {
    std::uint32_t state = 0;
    for (;;) {
        if (listener != nullptr) {
            listener->onPinPadStart(state);
        }
        std::uint16_t sw = 0;
        try {
            if (request.modify) {
                sw = connection.pinPadModify(request.askForCurrentPin, request.confirmNewPin,
                                             request.pinOffset, request.newPinOffset,
                                             command.data(), command.size());
            } else {
                sw = connection.pinPadVerify(request.pinOffset, command.data(), command.size());
            }
        } catch (...) {
            // A listener that opened a prompt at the start must be able to
            // close it whatever happened on the reader.
            if (listener != nullptr) {
                listener->onPinPadEnd();
            }
            throw;
        }
        Logger::instance().log(LOG_FACILITY_AMWFERRIX_APDU, L"SW = %04X",
                               static_cast<unsigned>(sw));
        if (listener != nullptr) {
            listener->onPinPadEnd();
        }
        if (!handlePinPadSW(sw, listener, state)) {
            return sw;
        }
    }
}

}  // namespace detail

}  // namespace apdu
}  // namespace amwferrix
