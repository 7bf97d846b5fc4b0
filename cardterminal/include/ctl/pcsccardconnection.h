// A card connection through the PC/SC service: APDU exchange with the T=0
// case-4 rule and GET RESPONSE chaining, and PIN entry on pin-pad readers.
#pragma once

#include <cstdint>
#include <vector>

#include "ctl/cardconnection.h"
#include "ctl/pcscapi.h"

namespace ctl {

class PcScCardConnection : public CardConnection {
public:
    ~PcScCardConnection() override = default;
    PcScCardConnection(const PcScCardConnection&) = delete;
    PcScCardConnection& operator=(const PcScCardConnection&) = delete;

    bool isPinPadAvailable() override { return pinPadAvailable; }
    Protocol getProtocol() override { return protocol; }
    std::uint16_t transmit(const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength,
                           std::uint32_t flags) override;
    std::uint16_t pinPadVerify(std::uint8_t pinOffset, const std::uint8_t* command,
                               std::uint32_t commandLength) override;
    std::uint16_t pinPadModify(bool askForCurrentPin, bool confirmNewPin,
                               std::uint8_t currentPinOffset, std::uint8_t newPinOffset,
                               const std::uint8_t* command, std::uint32_t commandLength) override;

    // Takes over a context and card handle: reads the card's protocol and ATR
    // and queries the reader's pin-pad features.
    void reattach(PcScContext newContext, PcScHandle newCardHandle);

    const std::uint8_t* getAtr() const noexcept { return atr.data(); }
    std::uint32_t getAtrLength() const noexcept { return atrLength; }
    std::uint32_t getPinPadVerifyPinDirectCode() const noexcept { return pinPadVerifyPinDirectCode; }
    std::uint32_t getPinPadModifyPinDirectCode() const noexcept { return pinPadModifyPinDirectCode; }

    static constexpr std::uint32_t MAX_ATR_LENGTH = 128;

protected:
    explicit PcScCardConnection(PcScApi& api) noexcept;

    // Reads the reader's feature list and sets the two control codes and
    // `pinPadAvailable`; never throws for a reader without the features.
    void checkPinPadSupport();

    PcScApi& api;
    PcScContext context = 0;
    PcScHandle cardHandle = 0;
    Protocol protocol = PROTOCOL_T0;
    std::vector<std::uint8_t> atr;
    std::uint32_t atrLength = 0;
    std::uint32_t pinPadVerifyPinDirectCode = 0;
    std::uint32_t pinPadModifyPinDirectCode = 0;
    bool pinPadAvailable = false;

private:
    std::uint16_t exchange(const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength,
                           std::uint32_t flags);
    std::uint16_t exchange(const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength, bool maskCommand,
                           bool maskResponse);
    std::uint16_t pinPadControl(std::uint32_t controlCode, const std::uint8_t* structure,
                                std::uint32_t structureLength, const char* callText,
                                bool modify);
};

}  // namespace ctl
