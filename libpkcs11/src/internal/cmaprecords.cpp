#include "internal/cmaprecords.h"

#include <cstring>
#include <memory>

#include "p11exceptions.h"
#include "sha256.h"
#include "vxexception.h"

namespace cmapfile {
namespace {

// Characters of a container name: hex of the first 10 digest bytes.
constexpr std::size_t NAME_DIGEST_BYTES = 10;
// Names tried along an identifier's chain when looking for its record; a map
// holds far fewer clashing names.
constexpr int NAME_CHAIN_LOOKUP = 8;

std::u16string nameFromDigest(const std::uint8_t (&digest)[Sha256::DIGEST_SIZE]) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::u16string name;
    for (std::size_t i = 0; i < NAME_DIGEST_BYTES; ++i) {
        name += static_cast<char16_t>(DIGITS[digest[i] >> 4]);
        name += static_cast<char16_t>(DIGITS[digest[i] & 0x0F]);
    }
    return name;
}

void nextInChain(std::uint8_t (&digest)[Sha256::DIGEST_SIZE]) {
    std::uint8_t previous[Sha256::DIGEST_SIZE];
    std::memcpy(previous, digest, sizeof previous);
    Sha256::digest(previous, sizeof previous, digest);
}

bool nameInUse(const std::uint8_t* content, std::size_t length, const std::u16string& name) {
    for (std::size_t i = 0; i < recordCount(length); ++i) {
        if (isContainerName(content + i * RECORD_SIZE, name)) return true;
    }
    return false;
}

}  // namespace

std::size_t recordCount(std::size_t length) noexcept {
    const std::size_t whole = length / RECORD_SIZE;
    return whole < MAX_RECORDS ? whole : MAX_RECORDS;
}

std::size_t sizeFieldOffset(std::uint32_t keySpec) noexcept {
    return keySpec == amw::KeyPair::SIGNATURE_KEY ? SIGNATURE_SIZE_OFFSET : EXCHANGE_SIZE_OFFSET;
}

bool recordInUse(const Content& map, std::size_t index) noexcept {
    return index < recordCount(map.size()) && map.data[index * RECORD_SIZE + FLAGS_OFFSET] != 0;
}

bool isContainerName(const std::uint8_t* recordName, const std::u16string& name) {
    if (name.size() > NAME_CHARACTERS) {
        throw InvalidArgumentException::invalid("name", "cmapfile::isContainerName", __FILE__,
                                                __LINE__);
    }
    if (recordName == nullptr) {
        throw InvalidArgumentException::nullPointer("recordName", "cmapfile::isContainerName",
                                                    __FILE__, __LINE__);
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (readLe16(recordName + 2 * i) != name[i]) return false;
    }
    return readLe16(recordName + 2 * name.size()) == 0;
}

std::u16string generateUniqueContainerName(const std::uint8_t* content, std::size_t length,
                                           const StaticBuffer<128>& pkcs11Id) {
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    Sha256::digest(pkcs11Id.data, pkcs11Id.size(), digest);
    std::u16string name = nameFromDigest(digest);
    while (nameInUse(content, length, name)) {
        nextInChain(digest);
        name = nameFromDigest(digest);
    }
    return name;
}

bool recordNamedFor(const std::uint8_t* record, const StaticBuffer<128>& pkcs11Id) {
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    Sha256::digest(pkcs11Id.data, pkcs11Id.size(), digest);
    for (int candidate = 0; candidate < NAME_CHAIN_LOOKUP; ++candidate) {
        if (isContainerName(record, nameFromDigest(digest))) return true;
        nextInChain(digest);
    }
    return false;
}

void nameRecord(Content& map, std::size_t index, const StaticBuffer<128>& pkcs11Id) {
    const std::u16string name = generateUniqueContainerName(map.data, map.size(), pkcs11Id);
    std::uint8_t* record = map.data + index * RECORD_SIZE;
    std::memset(record, 0, RECORD_SIZE);
    for (std::size_t i = 0; i < name.size(); ++i) writeLe16(record + 2 * i, name[i]);
    record[FLAGS_OFFSET] = FLAG_VALID;
}

bool reachRecord(Content& map, std::size_t index) {
    if (index >= MAX_RECORDS || (index + 1) * RECORD_SIZE > MAX_MAP_SIZE) return false;
    for (std::size_t records = map.size() / RECORD_SIZE; records <= index; ++records) {
        std::memset(map.data + records * RECORD_SIZE, 0, RECORD_SIZE);
        map.length = (records + 1) * RECORD_SIZE;
    }
    return true;
}

std::optional<std::uint8_t> findAvaliableRecordInCmapfile(amw::X509CertificateList& certificates,
                                                          const std::uint8_t* content,
                                                          std::size_t length) {
    for (std::size_t i = 0; i < recordCount(length); ++i) {
        if (content[i * RECORD_SIZE + FLAGS_OFFSET] != 0) continue;
        bool usedByCertificate = false;
        for (const auto& certificate : certificates) {
            if (certificate->getContainerIndex() == i) usedByCertificate = true;
        }
        if (!usedByCertificate) return static_cast<std::uint8_t>(i);
    }
    return std::nullopt;
}

void raiseFreshnessFields(Content& cardcf, std::uint16_t step) {
    for (std::size_t offset : {CONTAINER_FRESHNESS_OFFSET, FILE_FRESHNESS_OFFSET}) {
        std::uint8_t* field = cardcf.data + offset;
        writeLe16(field, static_cast<std::uint16_t>(readLe16(field) + step));
    }
}

void increaseFileAndContainerFreshness(amw::File& cardcf) {
    requireCardcf(cardcf);
    auto updated = std::make_unique<Content>(cardcf.getContent());
    raiseFreshnessFields(*updated);
    cardcf.setContent(updated->data, updated->size());
}

void requireCardcf(amw::File& cardcf) {
    if (cardcf.getContent().size() < CARDCF_MINIMUM_SIZE) {
        throw InternalErrorException(
            "prepareContainerInCmapfile(): cardcf file damaged (has less than 6 bytes)");
    }
}

void requireRecord(const Content& map, std::uint8_t containerIndex) {
    if (map.size() < (static_cast<std::size_t>(containerIndex) + 1) * RECORD_SIZE) {
        throw InternalErrorException(
            "commitContainerInCmapfile(): cmapfile is not big enought to contain a record for "
            "container with index %d",
            containerIndex);
    }
}

}  // namespace cmapfile
