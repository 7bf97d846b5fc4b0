// Card features reached by name: life-cycle state, global access record,
// key slot count, PIN policy, tries remaining, activation and the value of
// an authentication object. The flags argument carries the property's
// parameter (a key size, or an authentication object index in its low byte).
#include <cstring>
#include <cwchar>

#include "amw/authenticationobject.h"
#include "amw/exceptions.h"
#include "amwferrix/apdu.h"
#include "amwferrix/token.h"
#include "logger.h"
#include "tokentrace.h"
#include "vxexception.h"

namespace amwferrix {

namespace {

constexpr wchar_t LIFE_CYCLE_STATE[] = L"VX_GET_LIFE_CYCLE_STATE";
constexpr wchar_t GAC_INFO[] = L"VX_GET_GAC_INFO";
constexpr wchar_t KEYPAIR_SLOT_COUNT[] = L"VX_GET_KEYPAIR_SLOT_COUNT";
constexpr wchar_t PIN_POLICY[] = L"VX_GET_PIN_POLICY";
constexpr wchar_t TRIES_REMAINING[] = L"VX_GET_TRIES_REMAINING";
constexpr wchar_t ACTIVATE[] = L"VX_ACTIVATE";
constexpr wchar_t SET_AO[] = L"VX_SET_AO";

// Room for every key slot a card can report.
constexpr std::uint32_t SLOT_CAPACITY = 64;
constexpr std::uint32_t PIN_VALUE_SIZE = 16;
constexpr std::uint32_t KEY_VALUE_SIZE = 24;
constexpr std::size_t TRIES_OFFSET = 9;

bool named(const wchar_t* name, const wchar_t* property) { return std::wcscmp(name, property) == 0; }

std::uint8_t aoIndex(std::uint32_t flags) { return static_cast<std::uint8_t>(flags & 0xFF); }

// The authentication object record at `index`; a card without one at that
// index offers neither a type nor a tries value, which makes the property
// unknown, as it is for the PIN policy.
void readAuthenticationObject(ctl::CardConnection& connection, std::uint8_t index,
                              std::uint8_t (&record)[apdu::AUTH_OBJECT_RECORD_SIZE]) {
    if (!apdu::getAuthenticateObject(connection, index, record)) {
        throw amw::UnknownPropertyException();
    }
}

std::uint32_t countKeySlots(ctl::CardConnection& connection, std::uint32_t keySize) {
    apdu::SlotInfo slots[SLOT_CAPACITY];
    const std::uint32_t count = apdu::getJckpInfo(connection, slots, SLOT_CAPACITY);
    std::uint32_t matching = 0;
    for (std::uint32_t i = 0; i < count && i < SLOT_CAPACITY; ++i) {
        if (slots[i].keySize == keySize || slots[i].keySize == 0) {
            ++matching;
        }
    }
    return matching;
}

}  // namespace

void Token::getProperty(const wchar_t* name, std::uint8_t* buffer, std::uint32_t* size,
                        std::uint32_t flags) {
    static constexpr char FN[] = "amwferrix::Token::getProperty";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    if (name == nullptr) {
        throw InvalidArgumentException::nullPointer("name", FN, __FILE__, __LINE__);
    }
    if (size == nullptr) {
        throw InvalidArgumentException::nullPointer("size", FN, __FILE__, __LINE__);
    }
    trace::logText(L"name", name);
    trace::logNumber(L"flags", flags);
    std::uint32_t valueSize = 0;
    if (named(name, LIFE_CYCLE_STATE)) {
        valueSize = 1;
    } else if (named(name, GAC_INFO)) {
        valueSize = sizeof(apdu::GlobalAccessInfo);
    } else if (named(name, KEYPAIR_SLOT_COUNT)) {
        valueSize = sizeof(std::uint32_t);
    } else if (named(name, PIN_POLICY)) {
        valueSize = apdu::PIN_POLICY_RECORD_SIZE;
    } else if (named(name, TRIES_REMAINING)) {
        valueSize = 1;
    } else {
        throw amw::UnknownPropertyException();
    }
    if (*size < valueSize) {
        throw amw::InvalidBufferSizeException(valueSize, *size);
    }
    if (buffer == nullptr) {
        throw InvalidArgumentException::nullPointer("buffer", FN, __FILE__, __LINE__);
    }
    *size = valueSize;

    if (named(name, LIFE_CYCLE_STATE)) {
        buffer[0] = apdu::getActivationInfo(connection);
    } else if (named(name, GAC_INFO)) {
        apdu::GlobalAccessInfo info;
        apdu::getGacInfo(connection, &info);
        std::memcpy(buffer, &info, sizeof info);
    } else if (named(name, KEYPAIR_SLOT_COUNT)) {
        std::uint32_t count = 0xFFFFFFFF;
        if (flags == 1024 || flags == 2048) {
            count = countKeySlots(connection, flags);
        }
        std::memcpy(buffer, &count, sizeof count);
    } else if (named(name, PIN_POLICY)) {
        if (!apdu::getAuthenticateObjectPinPolicy(connection, aoIndex(flags), buffer, valueSize)) {
            throw amw::UnknownPropertyException();
        }
    } else {
        std::uint8_t record[apdu::AUTH_OBJECT_RECORD_SIZE] = {};
        readAuthenticationObject(connection, aoIndex(flags), record);
        buffer[0] = record[TRIES_OFFSET];
    }
}

void Token::setProperty(const wchar_t* name, const std::uint8_t* buffer, std::uint32_t size,
                        std::uint32_t flags) {
    static constexpr char FN[] = "amwferrix::Token::setProperty";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    if (name == nullptr) {
        throw InvalidArgumentException::nullPointer("name", FN, __FILE__, __LINE__);
    }
    trace::logText(L"name", name);
    trace::logNumber(L"flags", flags);
    if (named(name, ACTIVATE)) {
        apdu::activateCard(connection);
        return;
    }
    if (!named(name, SET_AO)) {
        throw amw::UnknownPropertyException();
    }
    std::uint8_t record[apdu::AUTH_OBJECT_RECORD_SIZE] = {};
    readAuthenticationObject(connection, aoIndex(flags), record);
    const bool isPin = record[0] == 0;
    const std::uint32_t required = isPin ? PIN_VALUE_SIZE : KEY_VALUE_SIZE;
    if (buffer == nullptr || size != required) {
        throw amw::InvalidBufferSizeException(required, size);
    }
    apdu::changePin(connection, aoIndex(flags), isPin, buffer, size, nullptr);
}

}  // namespace amwferrix
