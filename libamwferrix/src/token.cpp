// The token itself: the cache-entity factory, the freshness block, the
// object listings and the card facts.
#include "amwferrix/token.h"

#include <type_traits>
#include <vector>

#include "amw/amwtypes.h"
#include "amwferrix/apdu.h"
#include "amwferrix/dataobject.h"
#include "amwferrix/directory.h"
#include "amwferrix/file.h"
#include "amwferrix/keypair.h"
#include "amwferrix/x509certificate.h"
#include "logger.h"
#include "objectheader.h"
#include "tokentrace.h"
#include "vxexception.h"

namespace amwferrix {

namespace {

// Cache object kinds, numbered as the cached token numbers its files.
enum EntityId : std::uint32_t {
    ENTITY_KEYPAIR = 1,
    ENTITY_SECRETKEY = 2,
    ENTITY_CERTIFICATE = 3,
    ENTITY_DIRECTORY = 4,
    ENTITY_FILE = 5,
    ENTITY_DATA_OBJECT = 6,
    ENTITY_AO = 7
};

const wchar_t* entityName(std::uint32_t entityId) {
    switch (entityId) {
        case ENTITY_KEYPAIR: return L"amw::CachedToken::CACHED_OBJECT_KEYPAIR";
        case ENTITY_SECRETKEY: return L"amw::CachedToken::CACHED_OBJECT_SECRETKEY";
        case ENTITY_CERTIFICATE: return L"amw::CachedToken::CACHED_OBJECT_CERTIFICATE";
        case ENTITY_DIRECTORY: return L"amw::CachedToken::CACHED_OBJECT_DIRECTORY";
        case ENTITY_FILE: return L"amw::CachedToken::CACHED_OBJECT_FILE";
        case ENTITY_DATA_OBJECT: return L"amw::CachedToken::CACHED_OBJECT_DATA_OBJECT";
        case ENTITY_AO: return L"amw::CachedToken::CACHED_OBJECT_AO";
        default: return L"UNKNOWN";
    }
}

// Authentication object record (10 bytes): type (0 PIN, else KEY); two
// 16-bit values, little-endian, at 1 and 5; an 8-bit value at 7; a flag in
// bit 0 of byte 8 (the PKCS#11 security officer); tries left at 9.
std::unique_ptr<amw::AuthenticationObject> authenticationObjectFromRecord(
    std::uint32_t index, const std::uint8_t (&record)[apdu::AUTH_OBJECT_RECORD_SIZE]) {
    const std::uint32_t type =
        record[0] == 0 ? amw::AuthenticationObject::PIN : amw::AuthenticationObject::KEY;
    const auto first = static_cast<std::uint16_t>(record[1] | (record[2] << 8));
    const auto second = static_cast<std::uint16_t>(record[5] | (record[6] << 8));
    return std::make_unique<amw::AuthenticationObject>(index, type, record[7], first, second,
                                                       (record[8] & 0x01) != 0);
}

}  // namespace

void registerTokenFactory() {
    amw::Token::setCardTokenFactory([](ctl::CardConnection& connection) {
        return std::unique_ptr<amw::Token>(std::make_unique<Token>(connection));
    });
}

Token::Token(ctl::CardConnection& connection_) : connection(connection_) {}

std::unique_ptr<SerializableEntity> Token::createSerializableEntity(std::uint32_t entityId) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::createSerializableEntity");
    trace::logEnum(L"entity_id", entityName(entityId), entityId);
    switch (entityId) {
        case ENTITY_KEYPAIR:
            return std::make_unique<KeyPair>(connection);
        case ENTITY_CERTIFICATE:
            return std::make_unique<X509Certificate>(connection);
        case ENTITY_DIRECTORY:
            return std::make_unique<Directory>(connection);
        case ENTITY_FILE:
            return std::make_unique<File>(connection);
        case ENTITY_DATA_OBJECT: {
            auto dataObject = std::make_unique<DataObject>(connection);
            dataObject->setAcReadContent(DataObject::AC_CARD_CHOICE);
            return dataObject;
        }
        case ENTITY_AO:
            return std::make_unique<amw::AuthenticationObject>(
                amw::AMWROLE_EVERYONE, amw::AuthenticationObject::PIN,
                amw::AuthenticationObject::DEFAULT_ATTRIBUTE, 0, 0, false);
        default:
            throw InternalErrorException("Token::createSerializableEntity unknown entityId [%d]",
                                         static_cast<int>(entityId));
    }
}

bool Token::getCacheFreshness(amw::FreshnessRecord& record) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::getCacheFreshness");
    std::uint8_t bytes[amw::FreshnessRecord::CARD_SIZE] = {};
    if (!apdu::getCacheFreshness(connection, bytes, sizeof bytes)) {
        record = amw::FreshnessRecord();
        trace::logMessage(L"no freshness record on the card");
        return false;
    }
    record = amw::FreshnessRecord::fromCardBytes(bytes);
    return true;
}

void Token::setCacheFreshness(const amw::FreshnessRecord& record) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::setCacheFreshness");
    std::uint8_t bytes[amw::FreshnessRecord::CARD_SIZE] = {};
    record.toCardBytes(bytes);
    apdu::setCacheFreshness(connection, bytes, sizeof bytes);
}

template <class Card, class List>
void Token::listChain(std::uint16_t head, std::uint32_t headerSize, List& list) {
    // A chain that comes back to a block it has passed would never end; a
    // card answering like that is broken and the listing stops with an error.
    std::vector<bool> visited(0x10000, false);
    std::uint8_t header[detail::FILE_HEADER_SIZE];
    for (std::uint16_t blockId = head; blockId != apdu::BLOCK_ID_NONE;) {
        if (visited[blockId]) {
            throw InternalErrorException("header chain loops back to block id %04X", blockId);
        }
        visited[blockId] = true;
        apdu::beginReadMetadata(connection, blockId, header, headerSize);
        if constexpr (std::is_same_v<Card, KeyPair>) {
            KeyPair::convertHeaderToHostOrder(header, headerSize);
        }
        std::unique_ptr<Card> object = Card::createFromHeader(connection, blockId, header, headerSize);
        list.push_back(std::move(object));
        blockId = detail::HeaderView(header, headerSize, detail::COMMON_HEADER_SIZE,
                                     "amwferrix::Token::listChain", __FILE__, __LINE__)
                      .next();
    }
}

void Token::listKeyPairs(amw::KeyPairList& list) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::listKeyPairs");
    std::uint16_t head = apdu::BLOCK_ID_NONE;
    apdu::getHeads(connection, nullptr, &head, nullptr, nullptr, nullptr);
    listChain<KeyPair>(head, detail::KEY_PAIR_HEADER_SIZE, list);
}

void Token::listCertificates(amw::X509CertificateList& list) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::listCertificates");
    std::uint16_t head = apdu::BLOCK_ID_NONE;
    apdu::getHeads(connection, nullptr, nullptr, &head, nullptr, nullptr);
    listChain<X509Certificate>(head, detail::CERTIFICATE_HEADER_SIZE, list);
}

void Token::listFiles(amw::FileList& list) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::listFiles");
    std::uint16_t head = apdu::BLOCK_ID_NONE;
    apdu::getHeads(connection, nullptr, nullptr, nullptr, nullptr, &head);
    listChain<File>(head, detail::FILE_HEADER_SIZE, list);
}

void Token::listDirs(amw::DirectoryList& list) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::listDirs");
    std::uint16_t head = apdu::BLOCK_ID_NONE;
    apdu::getHeads(connection, nullptr, nullptr, nullptr, &head, nullptr);
    listChain<Directory>(head, detail::DIRECTORY_HEADER_SIZE, list);
}

void Token::listDataObjects(amw::DataObjectList& list) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::listDataObjects");
    std::uint16_t head = apdu::BLOCK_ID_NONE;
    apdu::getHeads(connection, &head, nullptr, nullptr, nullptr, nullptr);
    listChain<DataObject>(head, detail::DATA_OBJECT_HEADER_SIZE, list);
}

void Token::listAuthenticateObjects(amw::AuthenticationObjectList& list) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::listAuthenticateObjects");
    for (std::uint32_t index = 1; index < amw::AMWROLE_COUNT; ++index) {
        std::uint8_t record[apdu::AUTH_OBJECT_RECORD_SIZE] = {};
        if (apdu::getAuthenticateObject(connection, static_cast<std::uint8_t>(index), record)) {
            list.push_back(authenticationObjectFromRecord(index, record));
        }
    }
}

void Token::getCardId(amw::CardId& cardId) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::getCardId");
    apdu::getCardId(connection, cardId.data());
}

void Token::setCardId(const amw::CardId& cardId) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::setCardId");
    apdu::setCardId(connection, cardId.data());
}

void Token::getCardSerialNumber(StaticBuffer<256>& serialNumber) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::getCardSerialNumber");
    serialNumber = StaticBuffer<256>();
    serialNumber.length = apdu::SERIAL_NUMBER_SIZE;
    apdu::getCardSerialNumber(connection, serialNumber.data);
}

void Token::selectApplet() {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::selectApplet");
    apdu::selectApplet(connection);
}

void Token::getMemoryInfo(std::uint32_t& totalBytes, std::uint32_t& availableBytes) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::getMemoryInfo");
    std::uint16_t blockSize = 0;
    apdu::getMemoryInfo(connection, &blockSize, &totalBytes, &availableBytes);
    trace::logOutNumber(L"totalBytes", totalBytes);
    trace::logOutNumber(L"availableBytes", availableBytes);
}

void Token::getVersion(std::uint8_t* majorVersion, std::uint8_t* minorVersion) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::getVersion");
    apdu::getVersion(connection, majorVersion, minorVersion);
    trace::logOutNumber(L"*majorVersion", *majorVersion);
    trace::logOutNumber(L"*minorVersion", *minorVersion);
}

std::uint8_t Token::getAuthStateMask() {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::getAuthStateMask");
    const std::uint8_t mask = apdu::getAuthState(connection);
    trace::logOutNumber(L"mask", mask);
    return mask;
}

}  // namespace amwferrix
