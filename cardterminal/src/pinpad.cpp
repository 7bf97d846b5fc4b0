// Pin-pad side of PcScCardConnection: the reader's feature query and PIN
// verification and change through the reader's direct PIN features.
#include <algorithm>
#include <vector>

#include "configuration.h"
#include "ctl/ctlexception.h"
#include "ctl/pcsccardconnection.h"
#include "ctl/pinpadstructures.h"
#include "ctllog.h"
#include "logger.h"

namespace ctl {

namespace {

// Used for the feature list when the reader cannot report its size in
// advance (pcsc-lite passes a size query with no buffer to the driver, which
// may refuse it); a feature list is a few dozen bytes.
constexpr std::uint32_t FALLBACK_FEATURE_LIST_SIZE = 256;
constexpr std::uint32_t MAX_FEATURE_LIST_SIZE = 65536;
constexpr std::uint32_t PIN_RESULT_CAPACITY = 1024;

// Only the header of a pin-pad template is logged: besides the room for the
// typed PIN, a template may carry a secret of its own (the key that unblocks
// a PIN).
void logTemplateHeader(const std::uint8_t* command, std::uint32_t length) noexcept {
    if (command != nullptr && length >= 4) {
        Logger::instance().log(LOG_FACILITY_CTL, L"apdu = %02X %02X %02X %02X ******", command[0],
                               command[1], command[2], command[3]);
    } else {
        Logger::instance().log(LOG_FACILITY_CTL, L"apdu = ******");
    }
}

}  // namespace

void PcScCardConnection::checkPinPadSupport() {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScCardConnection::checkPinPadSupport");
    if (Configuration::instance().disablePinPad) {
        ctllog::message(L"PINPAD explicitly DISABLED");
        pinPadAvailable = false;
        return;
    }
    const std::uint32_t featureRequest = api.featureRequestControlCode();
    std::uint32_t len = 0;
    std::uint32_t rv = api.control(cardHandle, featureRequest, nullptr, 0, nullptr, 0, &len);
    ctllog::pcscResult("SCardControl(cardHandle, CM_IOCTL_GET_FEATURE_REQUEST, NULL, 0, NULL, 0, &len)",
                       rv);
    if (rv == PcScResult::INSUFFICIENT_BUFFER) {
        // A driver that refuses the empty buffer may still say how much it needs.
        if (len == 0 || len > MAX_FEATURE_LIST_SIZE) len = FALLBACK_FEATURE_LIST_SIZE;
    } else if (rv != PcScResult::SUCCESS) {
        return;
    } else if (len > MAX_FEATURE_LIST_SIZE) {
        // The size comes from the reader's driver: an absurd one must not
        // decide how much memory is taken; a real list fits easily.
        len = MAX_FEATURE_LIST_SIZE;
    }

    std::vector<std::uint8_t> data(len);
    rv = api.control(cardHandle, featureRequest, nullptr, 0, data.data(), len, &len);
    ctllog::pcscResult(
        "SCardControl(cardHandle, CM_IOCTL_GET_FEATURE_REQUEST, NULL, 0, data, len, &len)", rv);
    if (rv != PcScResult::SUCCESS) {
        pinPadAvailable = false;
    } else {
        const std::size_t received = std::min<std::size_t>(len, data.size());
        Logger::instance().logHex(LOG_FACILITY_CTL, L"SCardControl() returned", data.data(), received,
                                  true);
        const PinPadStructures::Features features =
            PinPadStructures::parseFeatureList(data.data(), received);
        pinPadVerifyPinDirectCode = features.verifyPinDirectCode;
        pinPadModifyPinDirectCode = features.modifyPinDirectCode;
        pinPadAvailable = pinPadVerifyPinDirectCode != 0 && pinPadModifyPinDirectCode != 0;
    }
    ctllog::parameter(L"pinPadAvailable", pinPadAvailable ? L"true" : L"false");
}

std::uint16_t PcScCardConnection::pinPadVerify(std::uint8_t pinOffset, const std::uint8_t* command,
                                               std::uint32_t commandLength) {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScCardConnection::pinPadVerify");
    if (ctllog::enabled()) {
        ctllog::parameter(L"pinOffset", ctllog::decimal(pinOffset));
        ctllog::parameter(L"apduLength", ctllog::decimal(commandLength));
        logTemplateHeader(command, commandLength);
    }
    if (!pinPadAvailable) throw CtlException(PcScResult::UNSUPPORTED_FEATURE);
    if (commandLength > PinPadStructures::MAX_APDU_LENGTH)
        throw CtlException(PcScResult::INVALID_PARAMETER);
    if (command == nullptr && commandLength != 0)
        throw InvalidArgumentException::nullPointer("command", __func__, __FILE__, __LINE__);
    const PinPadStructures::VerifyStructure structure =
        PinPadStructures::buildVerifyStructure(pinOffset, command, commandLength);
    return pinPadControl(pinPadVerifyPinDirectCode, structure.data(),
                         static_cast<std::uint32_t>(structure.size()),
                         "SCardControl(cardHandle, pinPadVerifyPinDirectCode, &pin_op_structure, "
                         "sizeof(pin_op_structure), apdu_result, output_len, &output_len)",
                         false);
}

std::uint16_t PcScCardConnection::pinPadModify(bool askForCurrentPin, bool confirmNewPin,
                                               std::uint8_t currentPinOffset,
                                               std::uint8_t newPinOffset,
                                               const std::uint8_t* command,
                                               std::uint32_t commandLength) {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScCardConnection::pinPadModify");
    if (ctllog::enabled()) {
        ctllog::parameter(L"askForCurrentPin", askForCurrentPin ? L"true" : L"false");
        ctllog::parameter(L"confirmNewPin", confirmNewPin ? L"true" : L"false");
        ctllog::parameter(L"currentPinOffset", ctllog::decimal(currentPinOffset));
        ctllog::parameter(L"newPinOffset", ctllog::decimal(newPinOffset));
        ctllog::parameter(L"apduLength", ctllog::decimal(commandLength));
        logTemplateHeader(command, commandLength);
    }
    if (!pinPadAvailable) throw CtlException(PcScResult::UNSUPPORTED_FEATURE);
    if (commandLength > PinPadStructures::MAX_APDU_LENGTH)
        throw CtlException(PcScResult::INVALID_PARAMETER);
    if (command == nullptr && commandLength != 0)
        throw InvalidArgumentException::nullPointer("command", __func__, __FILE__, __LINE__);
    const PinPadStructures::ModifyStructure structure = PinPadStructures::buildModifyStructure(
        askForCurrentPin, confirmNewPin, currentPinOffset, newPinOffset, command, commandLength);
    return pinPadControl(pinPadModifyPinDirectCode, structure.data(),
                         static_cast<std::uint32_t>(structure.size()),
                         "SCardControl(cardHandle, pinPadModifyPinDirectCode, &pin_op_structure, "
                         "sizeof(pin_op_structure), apdu_result, output_len, &output_len)",
                         true);
}

std::uint16_t PcScCardConnection::pinPadControl(std::uint32_t controlCode,
                                                const std::uint8_t* structure,
                                                std::uint32_t structureLength, const char* callText,
                                                bool modify) {
    std::uint8_t result[PIN_RESULT_CAPACITY] = {};
    std::uint32_t outputLength = sizeof result;
    const std::uint32_t rv = api.control(cardHandle, controlCode, structure, structureLength, result,
                                         outputLength, &outputLength);
    ctllog::pcscResult(callText, rv);
    if (rv != PcScResult::SUCCESS) throw CtlException(rv);
    if (outputLength == 2) return static_cast<std::uint16_t>((result[0] << 8) | result[1]);

    if (ctllog::enabled()) ctllog::output(L"output_len", ctllog::decimal(outputLength));
    Logger::instance().logHex(LOG_FACILITY_CTL, L"[OUT] ", result, sizeof result, true);
    if (modify) {
        throw InternalErrorException(
            "pinPadModify(): Unexpected number of bytes returned from SCardControl(): %d",
            static_cast<int>(outputLength));
    }
    throw InternalErrorException(
        "pinPadVerify(): Unexpected number of bytes returned from SCardControl(): %d",
        static_cast<int>(outputLength));
}

}  // namespace ctl
