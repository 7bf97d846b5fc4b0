#include "ferrixcard.h"

#include <exception>
#include <memory>

#include "cardsim/cardimage.h"

namespace cardsim {
namespace {

// Answer to reset: direct convention, T=1 only (T0 = 8E: TD1 present and 14
// historical bytes; TD1 = 01: protocol T=1, nothing further), the historical
// bytes "Ferrix-Sim 3.1", then the check byte over T0..last.
Bytes buildAtr() {
    static constexpr char historical[] = "Ferrix-Sim 3.1";
    Bytes atr;
    atr.reserve(3 + 14 + 1);
    for (std::uint8_t b : {0x3B, 0x8E, 0x01}) {
        atr.push_back(b);
    }
    for (std::size_t i = 0; i < 14; ++i) {
        atr.push_back(static_cast<std::uint8_t>(historical[i]));
    }
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) {
        check ^= atr[i];
    }
    atr.push_back(check);
    return atr;
}

const Bytes FERRIX_AID = {0xF0, 0x56, 0x58, 0x46, 0x52, 0x01, 0x00, 0x00, 0x41};

}  // namespace

std::unique_ptr<CardEngine> CardEngine::open(const std::string& imagePath) {
    return std::make_unique<FerrixCard>(loadCardImage(imagePath), imagePath);
}

std::unique_ptr<CardEngine> CardEngine::fromState(const CardState& state) {
    return std::make_unique<FerrixCard>(state, std::string());
}

FerrixCard::FerrixCard(CardState state, std::string imagePath)
    : state_(std::move(state)), imagePath_(std::move(imagePath)) {}

std::vector<std::uint8_t> FerrixCard::atr() const { return buildAtr(); }

void FerrixCard::clearVolatile() {
    selected_ = false;
    authMask_ = 0;
    for (auto& pin : sessionPins_) pin.reset();
    for (auto& challenge : challenges_) challenge.reset();
    current_ = Current();
    pendingResponse_.clear();
}

void FerrixCard::powerOn() {
    if (!powered_) {
        clearVolatile();
        powered_ = true;
    }
}

void FerrixCard::powerOff() {
    clearVolatile();
    powered_ = false;
}

void FerrixCard::reset() {
    clearVolatile();
    powered_ = true;
}

std::vector<std::uint8_t> FerrixCard::transmit(const std::vector<std::uint8_t>& apdu) {
    Response response;
    if (!powered_) {
        response = status(sw::NO_DIAGNOSIS);
    } else {
        try {
            auto command = CommandApdu::parse(apdu);
            if (!command) {
                pendingResponse_.clear();
                response = status(sw::WRONG_LENGTH);
            } else {
                response = dispatch(*command);
            }
        } catch (const std::exception&) {
            // Only resource exhaustion gets here; the card reports it and the
            // persistent state is what the handler left before the failure.
            response = status(sw::NO_DIAGNOSIS);
        }
        if (dirty_) {
            dirty_ = false;
            if (!imagePath_.empty()) {
                try {
                    saveCardImage(imagePath_, state_);
                } catch (const std::exception&) {
                    response = status(sw::MEMORY_FAILURE);
                }
            }
        }
    }
    Bytes out = std::move(response.data);
    out.push_back(static_cast<std::uint8_t>(response.sw >> 8));
    out.push_back(static_cast<std::uint8_t>(response.sw & 0xFF));
    return out;
}

FerrixCard::Response FerrixCard::dispatch(const CommandApdu& command) {
    if (command.cla == 0x00 && command.ins == 0xA4) {
        pendingResponse_.clear();
        return select(command);
    }
    if (!selected_) {
        pendingResponse_.clear();
        return status(sw::INS_NOT_SUPPORTED);
    }
    if (command.cla == 0x00 && command.ins == 0xC0) {
        return getResponse(command);
    }
    pendingResponse_.clear();
    if (command.cla != 0x80) {
        return status(sw::CLA_NOT_SUPPORTED);
    }
    return dispatchProprietary(command);
}

FerrixCard::Response FerrixCard::dispatchProprietary(const CommandApdu& command) {
    switch (command.ins) {
    case 0x02: return getVersion(command);
    case 0x04: return getSerial(command);
    case 0x06: return getInfo(command);
    case 0x08: return getCardId(command);
    case 0x0A: return getHeads(command);
    case 0x0C: return getFreshness(command);
    case 0x0E: return setFreshness(command);
    case 0x10: return deleteObject(command);
    case 0x12: return writeData(command);
    case 0x14: return removeContent(command);
    case 0x16: return beginUpdateMetadata(command);
    case 0x18: return beginReadMetadata(command);
    case 0x1A: return readData(command);
    case 0x1C: return createContent(command);
    case 0x1E: return beginReadContent(command);
    case 0x20: return authenticate(command);
    case 0x22: return deauthenticate(command);
    case 0x24: return getChallenge(command);
    case 0x26: return changePin(command);
    case 0x28: return unblockPin(command);
    case 0x2C: return getAuthObject(command);
    case 0x2E: return generateSessionPin(command);
    case 0x30: return activate(command);
    case 0x38: return commitContent(command);
    case 0x3A: return commitMetadata(command);
    case 0x3C: return setMetadataSize(command);
    case 0x3E: return createObject(command);
    case 0x40: return generateKeyPair(command);
    case 0x42: return importComponent(command);
    case 0x44: return getComponent(command);
    case 0x46: return cryptInit(command);
    case 0x48:
    case 0x4A: return crypt(command);
    case 0x4C: return amendKeyPair(command);
    case 0x4E: return continueAmend(command);
    case 0x50: return getAuthState(command);
    case 0x52: return setCardId(command);
    default: return status(sw::INS_NOT_SUPPORTED);
    }
}

// SELECT by AID (P1 04). Selecting the Ferrix applet again drops
// authentication and the current object but keeps session PINs, so another
// process that opens the card does not log out the first one. A failed SELECT
// leaves the selection as it was.
FerrixCard::Response FerrixCard::select(const CommandApdu& command) {
    if (command.p1 != 0x04 || command.p2 != 0x00) {
        return status(sw::WRONG_P1P2);
    }
    if (command.data != FERRIX_AID) {
        return status(sw::NOT_FOUND);
    }
    selected_ = true;
    authMask_ = 0;
    current_ = Current();
    for (auto& challenge : challenges_) challenge.reset();
    return status(sw::OK);
}

// GET RESPONSE (00 C0 00 00 Le) hands out what a 61xx announced; Le below the
// remainder leaves the rest for another GET RESPONSE, Le above it is 6Cxx.
FerrixCard::Response FerrixCard::getResponse(const CommandApdu& command) {
    if (pendingResponse_.empty()) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    if (command.p1 != 0 || command.p2 != 0 || !command.data.empty()) {
        pendingResponse_.clear();
        return status(command.data.empty() ? sw::WRONG_P1P2 : sw::WRONG_LENGTH);
    }
    const std::size_t wanted = command.hasLe ? command.le : 256;
    if (wanted > pendingResponse_.size()) {
        return status(sw::wrongLe(pendingResponse_.size()));
    }
    Response response;
    response.data.assign(pendingResponse_.begin(),
                         pendingResponse_.begin() + static_cast<std::ptrdiff_t>(wanted));
    pendingResponse_.erase(pendingResponse_.begin(),
                           pendingResponse_.begin() + static_cast<std::ptrdiff_t>(wanted));
    response.sw = pendingResponse_.empty() ? sw::OK : sw::moreData(pendingResponse_.size());
    return response;
}

FerrixCard::Response FerrixCard::deliver(const CommandApdu& command, Bytes data) {
    if (command.hasLe) {
        if (command.le != data.size()) {
            return status(sw::wrongLe(data.size()));
        }
        return Response{std::move(data), sw::OK};
    }
    if (data.empty()) {
        return status(sw::OK);
    }
    pendingResponse_ = std::move(data);
    return status(sw::moreData(pendingResponse_.size()));
}

FerrixCard::Response FerrixCard::exact(const CommandApdu& command, Bytes data) {
    if (command.hasLe && command.le != data.size() && !(data.empty() && command.le == 256)) {
        return status(sw::wrongLe(data.size()));
    }
    return Response{std::move(data), sw::OK};
}

bool FerrixCard::satisfied(std::uint16_t accessCondition) const {
    const unsigned roles = authMask_ | 0x01u;
    return ((accessCondition >> 8) & roles) != 0 && (accessCondition & roles) != 0;
}

std::uint16_t readContentCondition(const CardObject& object) {
    return object.kind == ObjectKind::DATA_OBJECT ? object.ac[1] : object.ac[0];
}

std::uint16_t writeContentCondition(const CardObject& object) {
    return object.kind == ObjectKind::DATA_OBJECT ? object.ac[2] : object.ac[1];
}

std::uint16_t writeMetadataCondition(const CardObject& object) {
    return object.kind == ObjectKind::DATA_OBJECT ? object.ac[0] : object.ac[1];
}

std::uint16_t deleteCondition(const CardObject& object) {
    switch (object.kind) {
    case ObjectKind::DATA_OBJECT: return object.ac[3];
    case ObjectKind::DIRECTORY: return object.ac[1];
    default: return object.ac[2];
    }
}

}  // namespace cardsim
