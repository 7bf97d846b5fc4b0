// Authentication commands: PIN and key authentication (also through the
// reader's pin pad), PIN change and unblock, session PINs, challenges and the
// authentication object records. PINs, keys and session PINs are sent with
// the sensitive flag and never written to the trace.
#include <cstring>

#include "amw/amwtypes.h"
#include "amwferrix/apdu.h"
#include "apducommand.h"
#include "logger.h"
#include "vxexception.h"

namespace amwferrix {
namespace apdu {

using namespace detail;

namespace {

// On the wire a PIN takes 16 bytes (zero-padded), key authentication data 8
// bytes and a new key value 24 bytes.
constexpr std::uint32_t PIN_FIELD = 16;
constexpr std::uint32_t KEY_AUTH_FIELD = 8;
constexpr std::uint32_t NEW_KEY_FIELD = 24;

constexpr std::uint16_t SW_BLOCKED = 0x6983;
constexpr std::uint16_t SW_REFUSED = 0x6985;
constexpr std::uint16_t SW_REFUSED_OTHER = 0x6F10;
constexpr std::uint16_t SW_NO_AUTH_OBJECT = 0x6B00;

const wchar_t* resultName(std::uint32_t result) { return amw::authenticationResultName(result); }

std::uint32_t returning(std::uint32_t result) {
    Logger::instance().log(LOG_FACILITY_AMWFERRIX_APDU, L"Returning %ls", resultName(result));
    return result;
}

void setTries(std::int32_t* triesRemaining, std::int32_t value) {
    if (triesRemaining != nullptr) {
        *triesRemaining = value;
    }
}

// The status words that end an unblock (and the PIN part of authenticate):
// 63Cx wrong, 6983 blocked, anything else through the status word table.
std::uint32_t evaluateUnblock(std::uint16_t sw, std::int32_t* triesRemaining) {
    if (isWrongPin(sw)) {
        setTries(triesRemaining, sw & 0x0F);
        return amw::AUTHENTICATION_WRONG_PIN;
    }
    if (sw == SW_BLOCKED) {
        setTries(triesRemaining, 0);
        return amw::AUTHENTICATION_PIN_BLOCKED;
    }
    checkStatusWord(sw);
    return amw::AUTHENTICATION_SUCCESS;
}

std::uint32_t evaluateAuthenticate(std::uint16_t sw, std::int32_t* triesRemaining) {
    if (sw == SW_REFUSED || sw == SW_REFUSED_OTHER) {
        setTries(triesRemaining, -1);
        return amw::AUTHENTICATION_WRONG_PIN;
    }
    return evaluateUnblock(sw, triesRemaining);
}

}  // namespace

std::uint32_t authenticate(ctl::CardConnection& connection, std::uint8_t role, bool sessionPin,
                           std::uint32_t type, const std::uint8_t* authData,
                           std::uint32_t authDataSize, std::int32_t* triesRemaining,
                           amw::PinPadListener* listener) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::authenticate");
    const bool pinPad = connection.isPinPadAvailable();
    logNumber(L"role", role);
    logBool(L"sessionPin", sessionPin);
    logEnum(L"type", authTypeName(type), type);
    logBool(L"cc->isPinPadAvailable()", pinPad);

    Command command(CLA_PROPRIETARY, 0x20, role, sessionPin ? 0x02 : 0x00);
    std::uint32_t field = PIN_FIELD;
    if (sessionPin || type == AUTH_TYPE_KEY) {
        if (authData == nullptr || authDataSize != KEY_AUTH_FIELD) {
            logMessage(L"invalid auth data");
            return returning(amw::AUTHENTICATION_WRONG_PIN);
        }
        field = KEY_AUTH_FIELD;
    } else if (!pinPad && (authData == nullptr || authDataSize > PIN_FIELD)) {
        logMessage(L"invalid auth data");
        return returning(amw::AUTHENTICATION_WRONG_PIN);
    }

    std::uint16_t sw = 0;
    if (pinPad && type == AUTH_TYPE_PIN && !sessionPin) {
        // The reader types the PIN into the zeroed 16-byte field at offset 5.
        command.appendZeros(PIN_FIELD);
        PinPadRequest request;
        request.pinOffset = 5;
        sw = runPinPadEntry(connection, command, request, listener);
    } else {
        command.appendPadded(authData, authDataSize, field);
        Response response;
        sw = exchange(connection, command, response, true);
    }
    return returning(evaluateAuthenticate(sw, triesRemaining));
}

void deauthenticate(ctl::CardConnection& connection, std::uint8_t role) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::deauthenticate");
    logNumber(L"role", role);
    Command command(CLA_PROPRIETARY, 0x22, role, 0x00);
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
}

void getChallenge(ctl::CardConnection& connection, std::uint8_t role, std::uint8_t* challenge) {
    static constexpr char FN[] = "amwferrix::apdu::getChallenge";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    logNumber(L"role", role);
    requireNonNull(challenge, "challenge", FN, __FILE__, __LINE__);
    Command command(CLA_PROPRIETARY, 0x24, role, 0x00);
    command.setLe(CHALLENGE_SIZE);
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
    expectResponseLength(response, CHALLENGE_SIZE);
    std::memcpy(challenge, response.data, CHALLENGE_SIZE);
}

void changePin(ctl::CardConnection& connection, std::uint8_t role, bool isAuthObjectPin,
               const std::uint8_t* authData, std::uint32_t authDataSize,
               amw::PinPadListener* listener) {
    static constexpr char FN[] = "amwferrix::apdu::changePin";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    const bool pinPad = connection.isPinPadAvailable();
    logNumber(L"role", role);
    logBool(L"isAuthObjectPin", isAuthObjectPin);
    logBool(L"is_pinpad", pinPad);

    // The command carries only the new value: the role must already be
    // authenticated.
    Command command(CLA_PROPRIETARY, 0x26, 0x00, role);
    if (pinPad && isAuthObjectPin) {
        command.appendZeros(PIN_FIELD);
        PinPadRequest request;
        request.modify = true;
        request.confirmNewPin = true;
        request.pinOffset = 5;
        request.newPinOffset = 5;
        checkStatusWord(runPinPadEntry(connection, command, request, listener));
        return;
    }
    requireNonNull(authData, "authData", FN, __FILE__, __LINE__);
    if (isAuthObjectPin) {
        requireRange(authDataSize, 1, PIN_FIELD, "authDataSize", FN, __FILE__, __LINE__);
        command.appendPadded(authData, authDataSize, PIN_FIELD);
    } else {
        if (authDataSize != NEW_KEY_FIELD) {
            throw InvalidArgumentException::invalid("authDataSize", FN, __FILE__, __LINE__);
        }
        command.append(authData, NEW_KEY_FIELD);
    }
    Response response;
    exchange(connection, command, response, true);
    checkStatusWord(response.sw);
}

namespace {

// Builds the data of an unblock on the pin-pad path into `command` and fills
// `request`. Returns false when the command is to end as a wrong PIN (tries
// remaining -1) without reaching the card.
bool prepareUnblockOnPinPad(Command& command, PinPadRequest& request, std::uint32_t authType,
                            const std::uint8_t* authData, std::uint32_t authDataSize,
                            std::uint32_t targetAuthType, const std::uint8_t* targetData,
                            std::uint32_t targetDataSize) {
    static constexpr char FN[] = "amwferrix::apdu::unblockPin";
    if (authType == AUTH_TYPE_PIN && targetAuthType == AUTH_TYPE_PIN) {
        // Unblocking PIN at data bytes 0-15, new PIN at 16-31, both typed.
        command.appendZeros(2 * PIN_FIELD);
        request.modify = true;
        request.askForCurrentPin = true;
        request.confirmNewPin = true;
        request.pinOffset = 5;
        request.newPinOffset = 5 + PIN_FIELD;
        return true;
    }
    if (authType == AUTH_TYPE_PIN) {
        // Unblocking PIN typed into bytes 0-15; the new key at 16-39.
        if (targetData == nullptr || targetDataSize != NEW_KEY_FIELD) {
            throw InvalidArgumentException::invalid("targetData", FN, __FILE__, __LINE__);
        }
        command.appendZeros(PIN_FIELD);
        command.append(targetData, NEW_KEY_FIELD);
        request.pinOffset = 5;
        return true;
    }
    // Key data at bytes 0-7; the new PIN typed into bytes 8-23.
    if (authData == nullptr) {
        throw InvalidArgumentException::invalid("authData", FN, __FILE__, __LINE__);
    }
    if (authDataSize != KEY_AUTH_FIELD) {
        return false;
    }
    command.append(authData, KEY_AUTH_FIELD);
    command.appendZeros(PIN_FIELD);
    request.modify = true;
    request.confirmNewPin = true;
    request.pinOffset = 0;
    request.newPinOffset = 5 + KEY_AUTH_FIELD;
    return true;
}

// One part (authentication or target) of an unblock without pin pad: a PIN
// of 1 to 16 bytes zero-padded to 16, or a key of exactly `keySize` bytes.
// Returns false for a key of another size.
bool appendUnblockPart(Command& command, std::uint32_t type, const std::uint8_t* data,
                       std::uint32_t size, std::uint32_t keySize, const char* sizeName) {
    static constexpr char FN[] = "amwferrix::apdu::unblockPin";
    if (type == AUTH_TYPE_PIN) {
        requireRange(size, 1, PIN_FIELD, sizeName, FN, __FILE__, __LINE__);
        command.appendPadded(data, size, PIN_FIELD);
        return true;
    }
    if (size != keySize) {
        return false;
    }
    command.append(data, keySize);
    return true;
}


// P2 of the authentication-object read: the object's record or its PIN policy.
constexpr std::uint8_t AUTH_OBJECT_RECORD = 0x00;
constexpr std::uint8_t AUTH_OBJECT_PIN_POLICY = 0x01;

// Reads one fixed-size record of authentication object `index`; false when
// the card has no object at that index (6B00).
bool readAuthObjectRecord(ctl::CardConnection& connection, std::uint8_t index, std::uint8_t p2,
                          std::uint8_t* out, std::uint32_t size) {
    Command command(CLA_PROPRIETARY, 0x2C, index, p2);
    command.setLe(static_cast<std::uint8_t>(size));
    Response response;
    exchange(connection, command, response);
    if (response.sw == SW_NO_AUTH_OBJECT) {
        logMessage(L"Returning false");
        return false;
    }
    checkStatusWord(response.sw);
    expectResponseLength(response, size);
    std::memcpy(out, response.data, size);
    logMessage(L"Returning true");
    return true;
}

}  // namespace

std::uint32_t unblockPin(ctl::CardConnection& connection, std::uint8_t role,
                         std::uint32_t authType, const std::uint8_t* authData,
                         std::uint32_t authDataSize, std::uint8_t targetRole,
                         std::uint32_t targetAuthType, const std::uint8_t* targetData,
                         std::uint32_t targetDataSize, std::int32_t* triesRemaining,
                         amw::PinPadListener* listener) {
    static constexpr char FN[] = "amwferrix::apdu::unblockPin";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    const bool pinPad = connection.isPinPadAvailable();
    logNumber(L"role", role);
    logNumber(L"targetRole", targetRole);
    logBool(L"is_pinpad", pinPad);
    logEnum(L"authType", authTypeName(authType), authType);
    logEnum(L"targetAuthType", authTypeName(targetAuthType), targetAuthType);

    Command command(CLA_PROPRIETARY, 0x28, role, targetRole);
    std::uint16_t sw = 0;
    if (pinPad && (authType == AUTH_TYPE_PIN || targetAuthType == AUTH_TYPE_PIN)) {
        PinPadRequest request;
        if (!prepareUnblockOnPinPad(command, request, authType, authData, authDataSize,
                                    targetAuthType, targetData, targetDataSize)) {
            setTries(triesRemaining, -1);
            return returning(amw::AUTHENTICATION_WRONG_PIN);
        }
        sw = runPinPadEntry(connection, command, request, listener);
    } else {
        if (authData == nullptr || authDataSize == 0) {
            throw InvalidArgumentException::invalid("authData", FN, __FILE__, __LINE__);
        }
        if (targetData == nullptr || targetDataSize == 0) {
            throw InvalidArgumentException::invalid("targetData", FN, __FILE__, __LINE__);
        }
        if (!appendUnblockPart(command, authType, authData, authDataSize, KEY_AUTH_FIELD,
                               "authDataSize") ||
            !appendUnblockPart(command, targetAuthType, targetData, targetDataSize,
                               NEW_KEY_FIELD, "targetDataSize")) {
            setTries(triesRemaining, -1);
            return returning(amw::AUTHENTICATION_WRONG_PIN);
        }
        Response response;
        sw = exchange(connection, command, response, true);
    }
    return returning(evaluateUnblock(sw, triesRemaining));
}

bool getAuthenticateObject(ctl::CardConnection& connection, std::uint8_t index,
                           std::uint8_t* record) {
    static constexpr char FN[] = "amwferrix::apdu::getAuthenticateObject";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    logNumber(L"index", index);
    requireNonNull(record, "record", FN, __FILE__, __LINE__);
    return readAuthObjectRecord(connection, index, AUTH_OBJECT_RECORD, record,
                                AUTH_OBJECT_RECORD_SIZE);
}

bool getAuthenticateObjectPinPolicy(ctl::CardConnection& connection, std::uint8_t index,
                                    std::uint8_t* buffer, std::uint32_t bufferSize) {
    static constexpr char FN[] = "amwferrix::apdu::getAuthenticateObjectPinPolicy";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    logNumber(L"index", index);
    if (bufferSize != PIN_POLICY_RECORD_SIZE) {
        throw InternalErrorException(
            "invalid size of buffer in getAuthenticateObjectPinPolicy(): actual = %d, expected = "
            "%d",
            static_cast<int>(bufferSize), static_cast<int>(PIN_POLICY_RECORD_SIZE));
    }
    requireNonNull(buffer, "buffer", FN, __FILE__, __LINE__);
    return readAuthObjectRecord(connection, index, AUTH_OBJECT_PIN_POLICY, buffer,
                                PIN_POLICY_RECORD_SIZE);
}

void generateSessionPin(ctl::CardConnection& connection, std::uint8_t role,
                        std::uint8_t* sessionPin) {
    static constexpr char FN[] = "amwferrix::apdu::generateSessionPin";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    logNumber(L"role", role);
    requireNonNull(sessionPin, "sessionPin", FN, __FILE__, __LINE__);
    Command command(CLA_PROPRIETARY, 0x2E, role, 0x00);
    command.setLe(SESSION_PIN_SIZE);
    Response response;
    // The response is a secret that later authenticates the role: masked.
    exchange(connection, command, response, true);
    checkStatusWord(response.sw);
    expectResponseLength(response, SESSION_PIN_SIZE);
    std::memcpy(sessionPin, response.data, SESSION_PIN_SIZE);
}

}  // namespace apdu
}  // namespace amwferrix
