// The Ferrix card command set. Every command the library sends to a Ferrix
// card is one function here; each builds a short ISO 7816-4 APDU (CLA 80, or
// 00 for SELECT), exchanges it through sendApdu, turns the status word into a
// result or an exception through checkStatusWord, checks the response length
// and converts the response to host values. The functions keep no state; the
// card keeps a "current object" that create/begin commands select and that
// the following read, write, size and commit commands act on, so callers run
// such sequences inside one card transaction.
//
// Numbers on the wire are big-endian unless a comment says otherwise. Data
// longer than 255 bytes is split over several commands here; there is no
// extended-length form.
#pragma once

#include <cstddef>
#include <cstdint>

#include "amw/authenticationobject.h"
#include "amw/pinpadlistener.h"
#include "ctl/cardconnection.h"
#include "staticbuffer.h"

namespace amwferrix {
namespace apdu {

// Block id of "no object": the end or emptiness of a header chain, or an
// object that is not on the card yet.
constexpr std::uint16_t BLOCK_ID_NONE = 0x8000;

// Each exchange receives at most 256 data bytes and the two status bytes.
constexpr std::uint32_t RESPONSE_BUFFER_SIZE = 258;

// Authentication types: those of the token model.
constexpr std::uint32_t AUTH_TYPE_PIN = amw::AuthenticationObject::PIN;
constexpr std::uint32_t AUTH_TYPE_KEY = amw::AuthenticationObject::KEY;

// RSA key components as the import/read commands number them (P1).
enum Component : std::uint8_t {
    COMPONENT_P = 1,
    COMPONENT_Q = 2,
    COMPONENT_DP = 3,
    COMPONENT_DQ = 4,
    COMPONENT_INV = 5,
    COMPONENT_N = 6,
    COMPONENT_E = 7
};

// One key slot of the key slot information command. On the wire 3 bytes:
// byte 0 non-zero = used, bytes 1-2 = key size (0 = not bound to a size).
struct SlotInfo {
    bool used = false;
    std::uint16_t keySize = 0;
};

// The global access information record, 59 bytes copied byte for byte from
// the card and passed on without interpretation.
#pragma pack(push, 1)
struct GlobalAccessInfo {
    std::uint8_t field16[16];
    std::uint8_t field32[32];
    std::uint64_t value64;
    std::uint16_t value16;
    std::uint8_t value8;
};
#pragma pack(pop)
static_assert(sizeof(GlobalAccessInfo) == 59, "the card's record is 59 bytes");

// Sizes of the fixed records.
constexpr std::uint32_t AUTH_OBJECT_RECORD_SIZE = 10;
constexpr std::uint32_t PIN_POLICY_RECORD_SIZE = 9;
constexpr std::uint32_t CARD_ID_SIZE = 16;
constexpr std::uint32_t SERIAL_NUMBER_SIZE = 8;
constexpr std::uint32_t CHALLENGE_SIZE = 8;
constexpr std::uint32_t SESSION_PIN_SIZE = 8;
constexpr std::uint32_t CRYPT_BLOCK_SIZE = 128;

// --- Transport -------------------------------------------------------------

// Sends one command. `responseLength` is in/out: the capacity of `response`
// (at least RESPONSE_BUFFER_SIZE) in, the number of data bytes out. A non-zero
// `sensitive` masks the command body and the response in the log and is
// passed to the connection as its sensitive flag. Exceptions of the
// connection pass through unchanged.
std::uint16_t sendApdu(ctl::CardConnection& connection, const std::uint8_t* command,
                       std::uint32_t commandLength, std::uint8_t* response,
                       std::uint32_t* responseLength, std::uint8_t sensitive);

// Returns on 9000, otherwise throws the exception that the status word maps to.
void checkStatusWord(std::uint16_t sw);

// Interprets the status word of one pin-pad entry. True: the PIN is to be
// entered again. `state` receives the tries remaining after 63Cx and 0 after
// 6983. `listener` may be null.
bool handlePinPadSW(std::uint16_t sw, amw::PinPadListener* listener, std::uint32_t& state);

// --- Card information ------------------------------------------------------

void selectApplet(ctl::CardConnection& connection);
void getVersion(ctl::CardConnection& connection, std::uint8_t* versionMajor,
                std::uint8_t* versionMinor);
// Writes SERIAL_NUMBER_SIZE bytes.
void getCardSerialNumber(ctl::CardConnection& connection, std::uint8_t* serialNumber);
void getMemoryInfo(ctl::CardConnection& connection, std::uint16_t* blockSize,
                   std::uint32_t* bytesTotal, std::uint32_t* bytesAvaliable);
void getGacInfo(ctl::CardConnection& connection, GlobalAccessInfo* info);
// Returns the number of key slots written to `slots`.
std::uint32_t getJckpInfo(ctl::CardConnection& connection, SlotInfo* slots,
                          std::uint32_t capacity);
std::uint8_t getActivationInfo(ctl::CardConnection& connection);
// Writes CARD_ID_SIZE bytes.
void getCardId(ctl::CardConnection& connection, std::uint8_t* cardId);
void setCardId(ctl::CardConnection& connection, const std::uint8_t* cardId);
// The first block id of each header chain; null outputs are skipped.
void getHeads(ctl::CardConnection& connection, std::uint16_t* dataObjects,
              std::uint16_t* keyPairs, std::uint16_t* certificates, std::uint16_t* directories,
              std::uint16_t* files);
// False (buffer untouched) when the card holds a record of another length.
bool getCacheFreshness(ctl::CardConnection& connection, std::uint8_t* buffer,
                       std::uint32_t bufferSize);
void setCacheFreshness(ctl::CardConnection& connection, const std::uint8_t* buffer,
                       std::uint32_t bufferSize);
void activateCard(ctl::CardConnection& connection);
// Bit mask of the roles currently authenticated.
std::uint8_t getAuthState(ctl::CardConnection& connection);

// --- Objects, metadata and content ----------------------------------------

void deleteObject(ctl::CardConnection& connection, std::uint16_t blockId);
// With `sensitive` (the content of a private object) the bytes never reach
// the trace, only their count; the commands travel as sensitive exchanges.
void writeData(ctl::CardConnection& connection, const std::uint8_t* buf, std::size_t bufSize,
               bool sensitive = false);
void readData(ctl::CardConnection& connection, std::uint8_t* buf, std::size_t bufSize,
              bool sensitive = false);
// Reads the object header into `header` (headerSize bytes) with the 16-bit
// fields at offsets 1, 3, ..., 15 converted to host order; the object becomes
// the current object.
void beginReadMetadata(ctl::CardConnection& connection, std::uint16_t blockId,
                       std::uint8_t* header, std::uint32_t headerSize);
void beginUpdateMetadata(ctl::CardConnection& connection, std::uint16_t blockId,
                         std::size_t metadataSize);
void setMetadataSize(ctl::CardConnection& connection, std::size_t metadataSize);
// Returns the block id of the object whose metadata was closed.
std::uint16_t commitCreationOrUpdateMetadata(ctl::CardConnection& connection);
// Accepts an object that has no content.
void removeContent(ctl::CardConnection& connection, std::uint16_t blockId);
void createContent(ctl::CardConnection& connection, std::uint16_t blockId,
                   std::size_t contentSize);
void commitUpdateContent(ctl::CardConnection& connection);
// The content size; 0 for an object without content.
std::uint16_t beginReadContent(ctl::CardConnection& connection, std::uint16_t blockId);

void createDataObject(ctl::CardConnection& connection, std::uint16_t accessCondition1,
                      std::uint16_t accessCondition2, std::uint16_t accessCondition3,
                      std::uint16_t accessCondition4);
void createCertificate(ctl::CardConnection& connection, std::uint8_t trusted,
                       std::uint16_t accessCondition1, std::uint16_t accessCondition2,
                       std::uint16_t accessCondition3);
void createDirectory(ctl::CardConnection& connection, const std::uint8_t* directoryName,
                     std::uint32_t directoryNameSize, std::uint16_t accessCondition1,
                     std::uint16_t accessCondition2);
void createFile(ctl::CardConnection& connection, std::uint16_t directoryBlockId,
                const std::uint8_t* fileName, std::uint32_t fileNameSize,
                std::uint16_t accessCondition1, std::uint16_t accessCondition2,
                std::uint16_t accessCondition3);

// --- Authentication -------------------------------------------------------

// Results 0, 1, 2: success, wrong PIN (or refused), blocked. `triesRemaining`
// may be null; it is written only for 63Cx, 6983, 6985 and 6F10.
std::uint32_t authenticate(ctl::CardConnection& connection, std::uint8_t role, bool sessionPin,
                           std::uint32_t type, const std::uint8_t* authData,
                           std::uint32_t authDataSize, std::int32_t* triesRemaining,
                           amw::PinPadListener* listener);
void deauthenticate(ctl::CardConnection& connection, std::uint8_t role);
// Writes CHALLENGE_SIZE bytes.
void getChallenge(ctl::CardConnection& connection, std::uint8_t role, std::uint8_t* challenge);
void changePin(ctl::CardConnection& connection, std::uint8_t role, bool isAuthObjectPin,
               const std::uint8_t* authData, std::uint32_t authDataSize,
               amw::PinPadListener* listener);
std::uint32_t unblockPin(ctl::CardConnection& connection, std::uint8_t role,
                         std::uint32_t authType, const std::uint8_t* authData,
                         std::uint32_t authDataSize, std::uint8_t targetRole,
                         std::uint32_t targetAuthType, const std::uint8_t* targetData,
                         std::uint32_t targetDataSize, std::int32_t* triesRemaining,
                         amw::PinPadListener* listener);
// False (record untouched) when there is no authentication object at `index`.
// Record: byte 0 type (0 PIN), bytes 1-2 and 5-6 little-endian 16-bit values,
// byte 7 an 8-bit value, byte 8 bit 0 a flag, byte 9 tries remaining.
bool getAuthenticateObject(ctl::CardConnection& connection, std::uint8_t index,
                           std::uint8_t* record);
bool getAuthenticateObjectPinPolicy(ctl::CardConnection& connection, std::uint8_t index,
                                    std::uint8_t* buffer, std::uint32_t bufferSize);
// Writes SESSION_PIN_SIZE bytes.
void generateSessionPin(ctl::CardConnection& connection, std::uint8_t role,
                        std::uint8_t* sessionPin);

// --- Keys -----------------------------------------------------------------

// `origin`: bit 0 generated on the card, bit 1 public key present, bit 2
// private key present.
void createKeyPair(ctl::CardConnection& connection, std::uint8_t origin, std::uint16_t keySize,
                   std::uint16_t keyUsage, std::uint8_t keySpec, std::uint8_t containerIndex);
void generateKeyPair(ctl::CardConnection& connection, const StaticBuffer<256>& publicExponent,
                     StaticBuffer<256>& modulus);
void importComponent(ctl::CardConnection& connection, std::uint8_t component,
                     const std::uint8_t* data, std::uint32_t dataSize);
// Only COMPONENT_N and COMPONENT_E. `bufferSize` is in/out. `expectedLength`:
// the modulus length in bytes when the caller knows it (from the key size),
// so that the card answers the first command; 0 asks for 256 bytes.
void getComponent(ctl::CardConnection& connection, std::uint8_t component, std::uint8_t* buffer,
                  std::uint32_t* bufferSize, std::uint32_t expectedLength = 0);
void cryptInit(ctl::CardConnection& connection, std::uint16_t blockId);
// One 128-byte part of an RSA computation; the final part returns the result.
void crypt(ctl::CardConnection& connection, const std::uint8_t* data, bool final,
           std::uint8_t* signedData, std::uint32_t signedDataSize, bool sensitive);
void amendKeypair(ctl::CardConnection& connection, std::uint16_t blockId, std::uint8_t origin);
void continueAmendKeyPair(ctl::CardConnection& connection, std::uint8_t containerIndex,
                          std::uint8_t keySpec, std::uint16_t keyUsage,
                          std::size_t metadataSize);

}  // namespace apdu
}  // namespace amwferrix
