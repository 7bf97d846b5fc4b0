#include "ctl/pinpadstructures.h"

#include <algorithm>
#include <cstring>

namespace ctl {

namespace {

void putLittleEndian32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void copyApdu(std::uint8_t* abData, const std::uint8_t* apdu, std::uint32_t apduLength) {
    const std::size_t n = std::min<std::size_t>(apduLength, PinPadStructures::MAX_APDU_LENGTH);
    if (apdu != nullptr && n > 0) std::memcpy(abData, apdu, n);
}

}  // namespace

PinPadStructures::VerifyStructure PinPadStructures::buildVerifyStructure(std::uint8_t pinOffset,
                                                                         const std::uint8_t* apdu,
                                                                         std::uint32_t apduLength) {
    VerifyStructure s{};
    s[0] = 0x00;
    s[1] = 0x37;
    s[2] = static_cast<std::uint8_t>(0x82 | (static_cast<std::uint8_t>(pinOffset - 5) << 3));
    s[3] = 0x00;
    s[4] = 0x00;
    s[5] = 0x08;
    s[6] = 0x01;
    s[7] = 0x02;
    s[8] = 0x01;
    s[9] = 0x04;
    s[10] = 0x04;
    s[11] = 0x00;
    putLittleEndian32(&s[15], apduLength);
    copyApdu(&s[19], apdu, apduLength);
    return s;
}

PinPadStructures::ModifyStructure PinPadStructures::buildModifyStructure(
    bool askForCurrentPin, bool confirmNewPin, std::uint8_t currentPinOffset,
    std::uint8_t newPinOffset, const std::uint8_t* apdu, std::uint32_t apduLength) {
    ModifyStructure s{};
    s[0] = 0x01;
    s[1] = 0x37;
    s[2] = 0x02;
    s[3] = 0x08;
    s[4] = 0x00;
    s[5] = static_cast<std::uint8_t>(currentPinOffset - 5);
    s[6] = static_cast<std::uint8_t>(newPinOffset - 5);
    s[7] = 0x08;
    s[8] = 0x01;
    s[9] = static_cast<std::uint8_t>((confirmNewPin ? 0x01 : 0x00) | (askForCurrentPin ? 0x02 : 0x00));
    s[10] = 0x02;
    s[11] = static_cast<std::uint8_t>(1 + (confirmNewPin ? 1 : 0) + (askForCurrentPin ? 1 : 0));
    s[12] = 0x04;
    s[13] = 0x04;
    // Messages in the order they are shown: current PIN (0), new PIN (1),
    // confirmation (2); unused indexes stay 0.
    s[14] = askForCurrentPin ? 0 : 1;
    s[15] = askForCurrentPin ? 1 : (confirmNewPin ? 2 : 0);
    s[16] = (askForCurrentPin && confirmNewPin) ? 2 : 0;
    putLittleEndian32(&s[20], apduLength);
    copyApdu(&s[24], apdu, apduLength);
    return s;
}

PinPadStructures::Features PinPadStructures::parseFeatureList(const std::uint8_t* data,
                                                              std::size_t length) {
    Features features;
    if (data == nullptr) return features;
    std::size_t index = 0;
    while (index + 1 < length) {
        const std::uint8_t tag = data[index];
        const std::uint8_t valueLength = data[index + 1];
        if ((tag == FEATURE_VERIFY_PIN_DIRECT || tag == FEATURE_MODIFY_PIN_DIRECT) &&
            valueLength == 4 && index + 5 < length) {
            const std::uint32_t code = (static_cast<std::uint32_t>(data[index + 2]) << 24) |
                                       (static_cast<std::uint32_t>(data[index + 3]) << 16) |
                                       (static_cast<std::uint32_t>(data[index + 4]) << 8) |
                                       static_cast<std::uint32_t>(data[index + 5]);
            if (tag == FEATURE_VERIFY_PIN_DIRECT) {
                features.verifyPinDirectCode = code;
            } else {
                features.modifyPinDirectCode = code;
            }
        }
        index += 2 + static_cast<std::size_t>(valueLength);
    }
    return features;
}

}  // namespace ctl
