#include "internal/cmapfile.h"

#include <cstring>

#include "amw/exceptions.h"
#include "amw/interruptedwrite.h"
#include "calltrace.h"
#include "logger.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace cmapfile {
namespace {

void logIndex(const wchar_t* name, std::uint32_t value) {
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) logger.log(LOG_FACILITY_PKCS11, L"%ls = %u", name, value);
}

// A container index that a certificate or a whole key pair records, other
// than those of the identifier `owner` (none when null).
bool indexUsed(amw::CachedToken& token, std::size_t index, const StaticBuffer<128>* owner = nullptr) {
    const auto other = [owner](const StaticBuffer<128>& id) { return owner == nullptr || !id.equals(*owner); };
    for (const auto& certificate : token.getCertificates()) {
        if (certificate->getContainerIndex() == index && other(certificate->getPkcs11Id())) return true;
    }
    for (const auto& keyPair : token.getKeyPairs()) {
        if (keyPair->isComplete() && keyPair->getContainerIndex() == index && other(keyPair->getPkcs11Id()))
            return true;
    }
    return false;
}

// The first index from `from` whose record is free (past the end every
// record is) and that nothing uses; none past the last nameable record.
std::optional<std::uint8_t> firstUnusedIndex(amw::CachedToken& token, const Content& map, std::size_t from) {
    for (std::size_t i = from; i < MAX_RECORDS - 1 && (i + 1) * RECORD_SIZE <= MAX_MAP_SIZE; ++i) {
        if (!recordInUse(map, i) && !indexUsed(token, i)) return static_cast<std::uint8_t>(i);
    }
    return std::nullopt;
}

// The index for a certificate without a whole pair of its own: the first
// free record that nothing uses, else an index past the next record to be
// appended that nothing uses (so it claims no record a key pair would take
// next); none when the one-byte index runs out.
std::uint8_t keylessCertificateIndex(amw::CachedToken& token, const Content& map) {
    for (std::size_t i = 0; i < recordCount(map.size()); ++i) {
        if (!recordInUse(map, i) && !indexUsed(token, i)) return static_cast<std::uint8_t>(i);
    }
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) {
        logger.log(LOG_FACILITY_PKCS11, L"no free container found, using non existent container index");
    }
    return firstUnusedIndex(token, map, map.size() / RECORD_SIZE + 1).value_or(NO_CONTAINER);
}

// A whole pair's index that certificates of other identifiers hold (placed
// there by an earlier release, which skipped only certificates' indices and
// knows no journal): the card keeps a pair's index in its header, out of
// reach of a metadata write, so those certificates move instead.
void moveCertificatesOffPairIndex(amw::CachedToken& token, const Content& map, const amw::KeyPair& keyPair) {
    for (const auto& certificate : token.getCertificates()) {
        if (certificate->getContainerIndex() != keyPair.getContainerIndex() ||
            certificate->getPkcs11Id().equals(keyPair.getPkcs11Id()))
            continue;
        const amw::KeyPair* own = token.findKeyPair(certificate->getPkcs11Id());
        if (own != nullptr && own->isComplete()) continue;  // two pairs share the index: left alone
        const std::uint8_t fresh = keylessCertificateIndex(token, map);
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) {
            logger.log(LOG_FACILITY_PKCS11, L"certificate moves from container %u of a key pair to %u",
                       static_cast<unsigned>(certificate->getContainerIndex()), static_cast<unsigned>(fresh));
        }
        token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
        certificate->setContainerIndex(fresh);
        certificate->commitCreationOrMetadataChanges();
    }
}

// Finishes what a cut left between a key object's write and its record's
// (see cmapfile.h). The pair holds its index, whether it signs or exchanges
// keys, and its size; its identifier gives the name.
void reconcileKeyPairRecords(amw::CachedToken& token, Content& map) {
    for (const auto& keyPair : token.getKeyPairs()) {
        const std::size_t index = keyPair->getContainerIndex();
        if (index >= MAX_RECORDS - 1) continue;  // no container
        const std::size_t sizeOffset = sizeFieldOffset(keyPair->getKeySpec());
        std::uint8_t* record = recordInUse(map, index) ? map.data + index * RECORD_SIZE : nullptr;
        const bool ours = record != nullptr && recordNamedFor(record, keyPair->getPkcs11Id());
        if (!keyPair->isComplete()) {
            // A half removed, its record not cleared yet.
            if (ours && readLe16(record + sizeOffset) != 0) {
                writeLe16(record + sizeOffset, 0);
                if (readLe16(record + SIGNATURE_SIZE_OFFSET) == 0 && readLe16(record + EXCHANGE_SIZE_OFFSET) == 0)
                    std::memset(record, 0, RECORD_SIZE);
            }
            continue;
        }
        if (ours) {
            moveCertificatesOffPairIndex(token, map, *keyPair);
            if ((record[FLAGS_OFFSET] & FLAG_VALID) != 0 && readLe16(record + sizeOffset) == 0)
                writeLe16(record + sizeOffset, static_cast<std::uint16_t>(keyPair->getKeySize()));
            continue;
        }
        // Another writer's record: it may be the pair's own under another
        // name, and the pair cannot move, so it is left alone.
        if (record != nullptr) continue;
        moveCertificatesOffPairIndex(token, map, *keyPair);
        if (indexUsed(token, index, &keyPair->getPkcs11Id()) || !reachRecord(map, index)) continue;
        nameRecord(map, index, keyPair->getPkcs11Id());
        writeLe16(map.data + index * RECORD_SIZE + sizeOffset, static_cast<std::uint16_t>(keyPair->getKeySize()));
    }
}

// Every map write of this module: the records are reconciled with the key
// pairs, then `change` edits the map, inside the journal's frame.
void writeMap(amw::CachedToken& token, const std::function<void(Content&)>& change) {
    rewriteMap(token, [&](Content& map) {
        reconcileKeyPairRecords(token, map);
        change(map);
    });
}

// A record still naming a pair that has lost a half (see destroyKeyPairHalf).
bool recordNamesLoneHalf(amw::CachedToken& token, amw::KeyPair& keyPair) {
    const std::size_t index = keyPair.getContainerIndex();
    if (index >= MAX_RECORDS - 1) return false;
    // Not compared with the card: a destroy of a lone half costs nothing
    // more unless such a record is there; the write then checks everything.
    const Content& map = knownMap(token);
    return recordInUse(map, index) && recordNamedFor(map.data + index * RECORD_SIZE, keyPair.getPkcs11Id());
}

}  // namespace

std::uint8_t chooseContainerIndex(amw::CachedToken& token) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::chooseContainerIndex");
    const Files files = loadCmapfileAndCardcf(token);
    // A certificate without a key may claim an index past the end of the
    // map, so appended records are checked too.
    const auto index = firstUnusedIndex(token, files.cmapfile->getContent(), 0);
    if (!index) throw InternalErrorException("cannot update cmapfile, no empty container record found");
    logIndex(L"[OUT] containerIndex", *index);
    return *index;
}

amw::KeyPair& addKeyPairWithContainer(amw::CachedToken& token,
                                      const std::function<amw::KeyPair&(std::uint8_t)>& makeKey) {
    const std::uint8_t containerIndex = chooseContainerIndex(token);
    // The key pair, the map and its journal (a data object) go stale on the
    // card in one write of the freshness block.
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_FILE, false);
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, false);
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
    amw::KeyPair& keyPair = makeKey(containerIndex);
    addContainerInCmapfile(token, keyPair.getContainerIndex(), keyPair.getPkcs11Id(), keyPair.getKeySpec(),
                           keyPair.getKeySize());
    return keyPair;
}

void addContainerInCmapfile(amw::CachedToken& token, std::uint8_t containerIndex,
                            const StaticBuffer<128>& pkcs11Id, std::uint32_t keySpec,
                            std::uint32_t keySizeBits) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::addContainerInCmapfile");
    logIndex(L"containerIndex", containerIndex);
    logIndex(L"keySpec", keySpec);
    logIndex(L"keySizeBits", keySizeBits);
    if (keySizeBits > 0xFFFF) {
        throw InvalidArgumentException::range("keySizeBits", keySizeBits, 0, 0xFFFF,
                                              "cmapfile::addContainerInCmapfile", __FILE__, __LINE__);
    }
    writeMap(token, [&](Content& map) {
        // The new pair's record may already have been made by the
        // reconciliation; otherwise it is made here.
        const std::size_t index = containerIndex;
        if (recordInUse(map, index)) {
            if (!recordNamedFor(map.data + index * RECORD_SIZE, pkcs11Id)) {
                throw InternalErrorException("cannot update cmapfile, no empty container record found");
            }
        } else {
            if (!reachRecord(map, index)) {
                throw InternalErrorException("cannot update cmapfile, no empty container record found");
            }
            nameRecord(map, index, pkcs11Id);
        }
        writeLe16(map.data + index * RECORD_SIZE + sizeFieldOffset(keySpec), static_cast<std::uint16_t>(keySizeBits));
    });
}

void destroyKeyPairHalf(amw::CachedToken& token, amw::KeyPair& keyPair, bool publicHalf) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::destroyKeyPairHalf");
    if (!keyPair.isComplete()) {
        if (recordNamesLoneHalf(token, keyPair)) writeMap(token, [](Content&) {});
        token.deleteKeyPair(&keyPair);
        return;
    }
    const std::uint8_t containerIndex = keyPair.getContainerIndex();
    const std::uint32_t keySpec = keyPair.getKeySpec();
    if (publicHalf) {
        token.amendKeyPairRemovePublicKey(&keyPair);
    } else {
        token.amendKeyPairRemovePrivateKey(&keyPair);
    }
    keyPair.commitCreationOrMetadataChanges();
    deleteContainerInCmapfile(token, containerIndex, keySpec);
}

void deleteContainerInCmapfile(amw::CachedToken& token, std::uint8_t containerIndex,
                               std::uint32_t keySpec) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::deleteContainerInCmapfile");
    logIndex(L"containerIndex", containerIndex);
    logIndex(L"keySpec", keySpec);
    writeMap(token, [&](Content& map) {
        requireRecord(map, containerIndex);
        std::uint8_t* record = map.data + static_cast<std::size_t>(containerIndex) * RECORD_SIZE;
        writeLe16(record + sizeFieldOffset(keySpec), 0);
        if (readLe16(record + SIGNATURE_SIZE_OFFSET) == 0 && readLe16(record + EXCHANGE_SIZE_OFFSET) == 0) {
            std::memset(record, 0, RECORD_SIZE);
        }
    });
}

void chooseCertificateContainer(amw::CachedToken& token, const StaticBuffer<128>& pkcs11Id,
                                std::uint8_t& containerIndex, std::uint32_t& keySpec) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::chooseCertificateContainer");
    const amw::KeyPair* keyPair = token.findKeyPair(pkcs11Id);
    if (keyPair != nullptr && keyPair->isComplete()) {
        containerIndex = keyPair->getContainerIndex();
        keySpec = keyPair->getKeySpec();
        return;
    }
    keySpec = amw::KeyPair::KEY_EXCHANGE_KEY;
    const Files files = loadCmapfileAndCardcf(token);
    // Whole pairs' indices are skipped too: a pair whose record a lost card
    // kept from the map still owns its index.
    containerIndex = keylessCertificateIndex(token, files.cmapfile->getContent());
}

std::uint8_t getDefaultCertificateContainerIndex(amw::CachedToken& token) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::getDefaultCertificateContainerIndex");
    const Files files = loadCmapfileAndCardcf(token);
    const Content& map = files.cmapfile->getContent();
    for (std::size_t i = 0; i < recordCount(map.size()); ++i) {
        if ((map.data[i * RECORD_SIZE + FLAGS_OFFSET] & FLAG_DEFAULT) != 0) {
            logIndex(L"[OUT] containerIndex", static_cast<std::uint32_t>(i));
            return static_cast<std::uint8_t>(i);
        }
    }
    throw DefaultCertificateException();
}

void setDefaultCertificate(amw::CachedToken& token, std::uint8_t containerIndex) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::setDefaultCertificate");
    logIndex(L"containerIndex", containerIndex);
    writeMap(token, [&](Content& map) {
        // Only a valid container can be the default: the index of a
        // certificate without a key names a free record or one past the end,
        // and marking it would only erase the current default.
        if (containerIndex >= recordCount(map.size()) ||
            (map.data[containerIndex * RECORD_SIZE + FLAGS_OFFSET] & FLAG_VALID) == 0) {
            throw InternalErrorException("setDefaultCertificate(): container %d is not a valid container",
                                         containerIndex);
        }
        for (std::size_t i = 0; i < recordCount(map.size()); ++i) {
            std::uint8_t& flags = map.data[i * RECORD_SIZE + FLAGS_OFFSET];
            flags = static_cast<std::uint8_t>(flags & ~FLAG_DEFAULT);
            if (i == containerIndex) flags = static_cast<std::uint8_t>(flags | FLAG_DEFAULT);
        }
    });
}

}  // namespace cmapfile
