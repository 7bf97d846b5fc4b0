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
    if (rv == PcScResult::INSUFFICIENT_BUFFER || (rv == PcScResult::SUCCESS && len == 0)) {
        // A driver that refuses the empty buffer may still say how much it needs.
        if (rv == PcScResult::SUCCESS || len == 0 || len > MAX_FEATURE_LIST_SIZE)
            len = FALLBACK_FEATURE_LIST_SIZE;
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
