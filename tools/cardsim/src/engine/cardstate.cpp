#include "cardsim/cardstate.h"

namespace cardsim {

const char* objectKindName(ObjectKind kind) {
    switch (kind) {
    case ObjectKind::DATA_OBJECT: return "dataobject";
    case ObjectKind::FILE: return "file";
    case ObjectKind::DIRECTORY: return "directory";
    case ObjectKind::KEY_PAIR: return "keypair";
    case ObjectKind::CERTIFICATE: return "certificate";
    }
    return "unknown";
}

namespace {
std::uint32_t blocksFor(std::size_t bytes, std::uint16_t blockSize) {
    if (blockSize == 0) {
        return 0;
    }
    return static_cast<std::uint32_t>((bytes + blockSize - 1) / blockSize);
}
}  // namespace

std::uint32_t objectBlocks(const CardObject& object, std::uint16_t blockSize) {
    std::uint32_t blocks = 1 + blocksFor(object.metadata.size(), blockSize);
    if (object.content) {
        blocks += blocksFor(object.content->size(), blockSize);
    }
    if (object.kind == ObjectKind::KEY_PAIR) {
        blocks += blocksFor(object.key.n.size() + object.key.e.size(), blockSize);
    }
    return blocks;
}

const CardObject* CardState::findObject(std::uint16_t blockId) const {
    for (const auto& object : objects) {
        if (object.blockId == blockId) {
            return &object;
        }
    }
    return nullptr;
}

CardObject* CardState::findObject(std::uint16_t blockId) {
    for (auto& object : objects) {
        if (object.blockId == blockId) {
            return &object;
        }
    }
    return nullptr;
}

bool CardState::keySlotUsed(std::size_t slot) const {
    for (const auto& object : objects) {
        if (object.keySlot >= 0 && static_cast<std::size_t>(object.keySlot) == slot) {
            return true;
        }
    }
    return false;
}

std::uint32_t CardState::usedBlocks() const {
    std::uint32_t used = 0;
    for (const auto& object : objects) {
        used += objectBlocks(object, blockSize);
    }
    return used;
}

}  // namespace cardsim
