// cardsim inspect IMAGE: the card's content in readable form. Secrets (PINs,
// keys, private key components) appear only as lengths; content appears only
// when everyone may read it.
#include <cstdio>
#include <string>
#include <utility>

#include "cardsim/cardimage.h"
#include "cli/commands.h"

namespace cardsim::cli {
namespace {

std::string hex(const Bytes& bytes, std::size_t limit = 64) {
    std::string out;
    char buffer[4];
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", bytes[i]);
        out += buffer;
    }
    if (bytes.size() > limit) out += "...";
    return out;
}

std::string printable(const Bytes& bytes) {
    for (auto b : bytes) {
        if (b < 0x20 || b > 0x7E) return hex(bytes);
    }
    return "\"" + std::string(bytes.begin(), bytes.end()) + "\"";
}

// Metadata is a sequence of items: a length byte, then that many bytes;
// length FF marks an absent value.
std::string metadataItems(const Bytes& metadata) {
    std::string out;
    std::size_t pos = 0;
    while (pos < metadata.size()) {
        const std::size_t length = metadata[pos++];
        if (!out.empty()) out += ", ";
        if (length == 0xFF) {
            out += "(absent)";
            continue;
        }
        if (length > metadata.size() - pos) {
            out += "(malformed: item of " + std::to_string(length) + " bytes)";
            break;
        }
        out += printable(Bytes(metadata.begin() + static_cast<std::ptrdiff_t>(pos),
                               metadata.begin() + static_cast<std::ptrdiff_t>(pos + length)));
        pos += length;
    }
    return out.empty() ? "(none)" : out;
}

std::string ac(std::uint16_t value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%04x", value);
    return buffer;
}

void printContent(const CardObject& object, std::uint16_t readCondition) {
    if (!object.content) {
        std::printf("      content: none\n");
    } else if (readCondition == AC_EVERYONE) {
        std::printf("      content: %zu bytes %s\n", object.content->size(), hex(*object.content).c_str());
    } else {
        std::printf("      content: %zu bytes (private)\n", object.content->size());
    }
}

void printKeyPair(const CardObject& object) {
    std::printf("      %u bits, origin %02x (%s%s%s), usage %04x, container %02x, key kind %u, "
                "key slot %d, ac use/write/delete %s/%s/%s\n",
                object.keySize, object.origin, (object.origin & ORIGIN_GENERATED) ? "generated " : "",
                (object.origin & ORIGIN_PUBLIC) ? "public " : "",
                (object.origin & ORIGIN_PRIVATE) ? "private" : "", object.keyUsage,
                object.containerIndex, object.keySpec, object.keySlot, ac(object.ac[0]).c_str(),
                ac(object.ac[1]).c_str(), ac(object.ac[2]).c_str());
    if (object.key.hasPublic()) {
        std::printf("      modulus %zu bytes %s, exponent %s\n", object.key.n.size(),
                    hex(object.key.n, 16).c_str(), hex(object.key.e).c_str());
    }
    if (object.key.hasPrivate()) {
        std::printf("      private key: 5 components held (not shown)\n");
    }
}

void printObject(const CardState& state, const CardObject& object) {
    std::printf("  %04x %-11s metadata %zu bytes: %s\n", object.blockId, objectKindName(object.kind),
                object.metadata.size(), metadataItems(object.metadata).c_str());
    switch (object.kind) {
    case ObjectKind::DATA_OBJECT:
        std::printf("      ac update/read/write/delete %s/%s/%s/%s\n", ac(object.ac[0]).c_str(),
                    ac(object.ac[1]).c_str(), ac(object.ac[2]).c_str(), ac(object.ac[3]).c_str());
        printContent(object, object.ac[1]);
        break;
    case ObjectKind::CERTIFICATE:
        std::printf("      %s, ac read/write/delete %s/%s/%s\n", object.trusted ? "trusted" : "not trusted",
                    ac(object.ac[0]).c_str(), ac(object.ac[1]).c_str(), ac(object.ac[2]).c_str());
        printContent(object, object.ac[0]);
        break;
    case ObjectKind::KEY_PAIR:
        printKeyPair(object);
        break;
    case ObjectKind::DIRECTORY:
        std::printf("      name %s, ac create/delete %s/%s\n",
                    object.name.empty() ? "(root)" : printable(object.name).c_str(),
                    ac(object.ac[0]).c_str(), ac(object.ac[1]).c_str());
        break;
    case ObjectKind::FILE: {
        const CardObject* dir = state.findObject(object.directoryId);
        std::string dirName = dir ? std::string(dir->name.begin(), dir->name.end()) : "?";
        std::printf("      path %s/%s, ac read/write/delete %s/%s/%s\n", dirName.c_str(),
                    std::string(object.name.begin(), object.name.end()).c_str(),
                    ac(object.ac[0]).c_str(), ac(object.ac[1]).c_str(), ac(object.ac[2]).c_str());
        printContent(object, object.ac[0]);
        break;
    }
    }
}

void printAuthObjects(const CardState& state) {
    std::printf("authentication objects:\n");
    for (int role = 1; role <= 7; ++role) {
        const auto& ao = state.authObjects[role];
        if (!ao) continue;
        std::printf("  role %d: %s, %s %zu bytes, tries %u of %u%s, unblocked by roles mask %04x, "
                    "policy %s\n",
                    role, ao->isKey ? "KEY" : "PIN", ao->isKey ? "key" : "PIN length",
                    ao->value.size(), ao->triesLeft, ao->maxTries,
                    ao->securityOfficer ? ", PKCS#11 security officer" : "", ao->unblockRoles,
                    hex(Bytes(ao->pinPolicy.begin(), ao->pinPolicy.end())).c_str());
    }
}

void printCard(const CardState& state) {
    const std::uint32_t used = state.usedBlocks();
    std::printf("serial:      %s\n", hex(state.serial).c_str());
    std::printf("card id:     %s\n", hex(state.cardId).c_str());
    std::printf("version:     %u.%u\n", state.versionMajor, state.versionMinor);
    std::printf("life cycle:  %02x (%s)\n", state.lifeCycle,
                state.lifeCycle == LIFE_CYCLE_ACTIVATED ? "activated" : "not activated");
    std::printf("memory:      %u blocks of %u bytes, %u used, %u free\n", state.blockCount,
                state.blockSize, used, used > state.blockCount ? 0 : state.blockCount - used);
    std::printf("key slots:  ");
    for (std::size_t i = 0; i < state.keySlotSizes.size(); ++i) {
        std::printf(" %zu:%u%s", i, state.keySlotSizes[i], state.keySlotUsed(i) ? "(used)" : "");
    }
    std::printf("%s\n", state.keySlotSizes.empty() ? " none" : "");
    if (state.freshness) {
        std::printf("freshness:   %zu bytes %s\n", state.freshness->size(),
                    hex(*state.freshness, 255).c_str());
    } else {
        std::printf("freshness:   none written\n");
    }
    printAuthObjects(state);
    const std::pair<ObjectKind, const char*> chains[] = {
        {ObjectKind::DATA_OBJECT, "data objects"}, {ObjectKind::KEY_PAIR, "key pairs"},
        {ObjectKind::CERTIFICATE, "certificates"}, {ObjectKind::DIRECTORY, "directories"},
        {ObjectKind::FILE, "files"}};
    for (const auto& [kind, title] : chains) {
        std::printf("%s (chain order):\n", title);
        for (const auto& object : state.objects) {
            if (object.kind == kind) printObject(state, object);
        }
    }
}

}  // namespace

int inspectCommand(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: cardsim inspect IMAGE\n");
        return 2;
    }
    try {
        printCard(loadCardImage(argv[1]));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cardsim inspect: %s\n", e.what());
        return 1;
    }
    return 0;
}

}  // namespace cardsim::cli
