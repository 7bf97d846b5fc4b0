#include "amw/interruptedwrite.h"

#include <cstring>

#include "vxexception.h"

namespace amw::interruptedwrite {
namespace {

// Not valid UTF-8 and never a prefix of an identifier this module or a
// certificate tool makes.
constexpr std::uint8_t TAG[MARK_SIZE - 1] = {0xFF, 'Z', 'K', '-', 'W', 'I', 'P', 0x00};

}  // namespace

bool canMark(const StaticBuffer<128>& id) noexcept { return id.size() <= MAX_MARKABLE_ID; }

StaticBuffer<128> marked(const StaticBuffer<128>& id, Mark mark) {
    if (!canMark(id) || mark == Mark::NONE) {
        throw InternalErrorException("interruptedwrite::marked() cannot mark an identifier of %u bytes",
                                     static_cast<unsigned>(id.size()));
    }
    std::uint8_t bytes[128] = {};
    std::memcpy(bytes, TAG, sizeof TAG);
    bytes[sizeof TAG] = static_cast<std::uint8_t>(mark);
    if (!id.empty()) std::memcpy(bytes + MARK_SIZE, id.data, id.size());
    return StaticBuffer<128>(bytes, MARK_SIZE + id.size());
}

Mark markOf(const StaticBuffer<128>& id) noexcept {
    if (id.size() < MARK_SIZE || std::memcmp(id.data, TAG, sizeof TAG) != 0) return Mark::NONE;
    switch (id.data[sizeof TAG]) {
        case static_cast<std::uint8_t>(Mark::CREATING): return Mark::CREATING;
        case static_cast<std::uint8_t>(Mark::REPLACING): return Mark::REPLACING;
        case static_cast<std::uint8_t>(Mark::REPLACED): return Mark::REPLACED;
        case static_cast<std::uint8_t>(Mark::JOURNAL): return Mark::JOURNAL;
        default: return Mark::NONE;
    }
}

bool carriesMarkTag(const StaticBuffer<128>& id) noexcept {
    return id.size() >= sizeof TAG && std::memcmp(id.data, TAG, sizeof TAG) == 0;
}

StaticBuffer<128> unmarked(const StaticBuffer<128>& id) {
    if (markOf(id) == Mark::NONE) return id;
    return StaticBuffer<128>(id.data + MARK_SIZE, id.size() - MARK_SIZE);
}

}  // namespace amw::interruptedwrite
