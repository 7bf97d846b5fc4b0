// The PIN_VERIFY_STRUCTURE and PIN_MODIFY_STRUCTURE handed to a pin-pad
// reader (packed, multi-byte fields little-endian), and the parser of the
// reader's feature list.
//
// Verify, 299 bytes:                     Modify, 304 bytes:
//   0 bTimerOut          00                0 bTimerOut            01
//   1 bTimerOut2         37                1 bTimerOut2           37
//   2 bmFormatString     82 | (off-5)<<3   2 bmFormatString       02
//   3 bmPINBlockString   00                3 bmPINBlockString     08
//   4 bmPINLengthFormat  00                4 bmPINLengthFormat    00
//   5 wPINMaxExtraDigit  08 01             5 bInsertionOffsetOld  old-5
//   7 bEntryValidation   02                6 bInsertionOffsetNew  new-5
//   8 bNumberMessage     01                7 wPINMaxExtraDigit    08 01
//   9 wLangId            04 04             9 bConfirmPIN          bit0 confirm, bit1 ask old
//  11 bMsgIndex          00               10 bEntryValidation     02
//  12 bTeoPrologue       00 00 00         11 bNumberMessage       1 + confirm + ask old
//  15 ulDataLength       APDU length      12 wLangId              04 04
//  19 abData[280]        APDU template    14 bMsgIndex1..3        see buildModifyStructure
//                                         17 bTeoPrologue         00 00 00
//                                         20 ulDataLength         APDU length
//                                         24 abData[280]          APDU template
// PIN offsets given by callers count from the first byte of the APDU (5 is
// the first data byte); the structures count from the data field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ctl {

class PinPadStructures {
public:
    static constexpr std::size_t VERIFY_STRUCTURE_SIZE = 299;
    static constexpr std::size_t MODIFY_STRUCTURE_SIZE = 304;
    static constexpr std::size_t MAX_APDU_LENGTH = 280;
    static constexpr std::uint8_t FEATURE_VERIFY_PIN_DIRECT = 0x06;
    static constexpr std::uint8_t FEATURE_MODIFY_PIN_DIRECT = 0x07;

    using VerifyStructure = std::array<std::uint8_t, VERIFY_STRUCTURE_SIZE>;
    using ModifyStructure = std::array<std::uint8_t, MODIFY_STRUCTURE_SIZE>;

    // `apduLength` must not exceed MAX_APDU_LENGTH (callers check first).
    static VerifyStructure buildVerifyStructure(std::uint8_t pinOffset, const std::uint8_t* apdu,
                                                std::uint32_t apduLength);
    static ModifyStructure buildModifyStructure(bool askForCurrentPin, bool confirmNewPin,
                                                std::uint8_t currentPinOffset,
                                                std::uint8_t newPinOffset, const std::uint8_t* apdu,
                                                std::uint32_t apduLength);

    struct Features {
        std::uint32_t verifyPinDirectCode = 0;
        std::uint32_t modifyPinDirectCode = 0;
    };
    // Tag-length-value entries; a 4-byte value is a big-endian control code.
    // A later entry with the same tag wins; an entry running past the end is
    // ignored.
    static Features parseFeatureList(const std::uint8_t* data, std::size_t length);
};

}  // namespace ctl
