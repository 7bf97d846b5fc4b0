// The simulated Ferrix card: persistent state (CardState) plus what a card
// keeps only while powered: applet selection, authenticated roles, session
// PINs, challenges, the current object of a command sequence and a response
// waiting for GET RESPONSE. Command handlers are grouped by area in
// ferrixcard_*.cpp.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "cardsim/cardstate.h"
#include "cardsim/engine.h"
#include "commandapdu.h"

namespace cardsim {

class FerrixCard final : public CardEngine {
public:
    // An empty path keeps the card in memory only.
    FerrixCard(CardState state, std::string imagePath);

    std::vector<std::uint8_t> atr() const override;
    void powerOn() override;
    void powerOff() override;
    void reset() override;
    bool isPowered() const override { return powered_; }
    std::vector<std::uint8_t> transmit(const std::vector<std::uint8_t>& apdu) override;
    CardState state() const override { return state_; }

private:
    struct Response {
        Bytes data;
        std::uint16_t sw = sw::OK;
    };
    static Response status(std::uint16_t word) { return Response{{}, word}; }

    // What the current object is doing; every sequence starts from NONE.
    enum class Mode {
        NONE,
        CREATED,           // create command seen; key material or metadata size next
        AMENDING,          // key pair amend announced; components or continue next
        WRITING_METADATA,  // metadata block open for writeData, then commit 3A
        WRITING_CONTENT,   // content block open for writeData, then commit 38
        READING_METADATA,  // header read; readData gives metadata, getComponent works
        READING_CONTENT,   // readData gives content
        CRYPT              // key pair selected for the RSA operation
    };
    struct Current {
        Mode mode = Mode::NONE;
        std::uint16_t blockId = BLOCK_ID_NONE;  // stored object, BLOCK_ID_NONE when new
        std::optional<CardObject> work;         // object as it will be after the commit
        Bytes buffer;                           // metadata or content being written
        std::size_t expected = 0;
        std::size_t readPos = 0;
        std::uint8_t importable = 0;  // origin bits whose components may be imported now
        Bytes cryptFirstHalf;
        bool haveFirstHalf = false;
    };

    void clearVolatile();
    Response dispatch(const CommandApdu& command);
    Response dispatchProprietary(const CommandApdu& command);
    Response select(const CommandApdu& command);
    Response getResponse(const CommandApdu& command);
    // Answers `data` directly when the command carried Le, or as 61xx for
    // GET RESPONSE when a command with data came without Le (T=0 style).
    Response deliver(const CommandApdu& command, Bytes data);
    // Fixed-length answer: Le must match (6Cxx otherwise).
    static Response exact(const CommandApdu& command, Bytes data);

    // ferrixcard_info.cpp
    Response getVersion(const CommandApdu& command);
    Response getSerial(const CommandApdu& command);
    Response getInfo(const CommandApdu& command);
    Response getCardId(const CommandApdu& command);
    Response setCardId(const CommandApdu& command);
    Response getHeads(const CommandApdu& command);
    Response getFreshness(const CommandApdu& command);
    Response setFreshness(const CommandApdu& command);
    Response activate(const CommandApdu& command);
    Response getAuthState(const CommandApdu& command);
    Bytes memoryInfo() const;
    Bytes keySlotInfo() const;
    Bytes globalAccessInfo() const;

    // ferrixcard_auth.cpp
    Response authenticate(const CommandApdu& command);
    Response deauthenticate(const CommandApdu& command);
    Response getChallenge(const CommandApdu& command);
    Response changePin(const CommandApdu& command);
    Response unblockPin(const CommandApdu& command);
    Response getAuthObject(const CommandApdu& command);
    Response generateSessionPin(const CommandApdu& command);
    // Checks `secret` (16-byte padded PIN or 8-byte challenge answer) against
    // the object of `role` and counts tries; SUCCESS on a match.
    std::uint16_t verifySecret(std::uint8_t role, const Bytes& secret);
    std::optional<Bytes> newSecretValue(const AuthObject& ao, const Bytes& data,
                                        std::uint16_t& failure) const;
    AuthObject* authObject(std::uint8_t role);

    // ferrixcard_objects.cpp
    Response createObject(const CommandApdu& command);
    Response setMetadataSize(const CommandApdu& command);
    Response beginUpdateMetadata(const CommandApdu& command);
    Response writeData(const CommandApdu& command);
    Response commitMetadata(const CommandApdu& command);
    Response beginReadMetadata(const CommandApdu& command);
    Response readData(const CommandApdu& command);
    Response deleteObject(const CommandApdu& command);
    Response removeContent(const CommandApdu& command);
    Response createContent(const CommandApdu& command);
    Response commitContent(const CommandApdu& command);
    Response beginReadContent(const CommandApdu& command);
    std::optional<CardObject> newObjectFromCreate(const CommandApdu& command,
                                                  std::uint16_t& failure) const;
    bool nameTaken(const CardObject& object) const;
    Bytes header(const CardObject& object) const;
    std::uint16_t nextInChain(const CardObject& object) const;
    std::uint16_t allocateBlockId() const;
    // Whether `projected` fits in memory in place of `replaced` (null: new).
    bool fits(const CardObject& projected, const CardObject* replaced) const;

    // ferrixcard_keys.cpp
    Response generateKeyPair(const CommandApdu& command);
    Response importComponent(const CommandApdu& command);
    Response getComponent(const CommandApdu& command);
    Response cryptInit(const CommandApdu& command);
    Response crypt(const CommandApdu& command);
    Response amendKeyPair(const CommandApdu& command);
    Response continueAmend(const CommandApdu& command);
    int freeKeySlot(std::uint16_t keySize) const;
    bool keyMaterialComplete(const CardObject& keyPair) const;

    // Access conditions (cardstate.h): both role masks must meet the
    // authenticated roles plus "everyone".
    bool satisfied(std::uint16_t accessCondition) const;
    bool userAuthenticated() const { return (authMask_ & 0x02) != 0; }
    bool activated() const { return state_.lifeCycle == LIFE_CYCLE_ACTIVATED; }
    void changed() { dirty_ = true; }

    CardState state_;
    std::string imagePath_;
    bool dirty_ = false;
    bool powered_ = false;
    bool selected_ = false;
    std::uint8_t authMask_ = 0;
    std::array<std::optional<Bytes>, 8> sessionPins_;
    std::array<std::optional<Bytes>, 8> challenges_;
    Current current_;
    Bytes pendingResponse_;
};

// Which of an object's four access conditions guards what.
std::uint16_t readContentCondition(const CardObject& object);
std::uint16_t writeContentCondition(const CardObject& object);
std::uint16_t writeMetadataCondition(const CardObject& object);
std::uint16_t deleteCondition(const CardObject& object);

}  // namespace cardsim
