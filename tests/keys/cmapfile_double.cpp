// Stand-in for the container map functions the key views call, linked into
// this suite only while the library has none of its own (CMakeLists.txt
// drops it as soon as libpkcs11/src/internal/cmapfile.cpp exists). It keeps
// the record layout the tests read back (flags, the two key sizes, a
// non-empty name) and raises the file freshness counter as the real writers
// do; it does not touch the card cache file nor make the real names.
#include <cstring>
#include <vector>

#include "internal/cmapfile.h"
#include "vxexception.h"

namespace cmapfile {

namespace {

amw::File& mapFile(amw::CachedToken& token) {
    amw::Directory* mscp = token.findDirectory(StaticBuffer<8>("mscp", 4));
    amw::File* map =
        mscp == nullptr ? nullptr : token.findFile(mscp, StaticBuffer<8>("cmapfile", 8));
    if (map == nullptr) throw InternalErrorException("test double: no mscp/cmapfile");
    return *map;
}

std::vector<std::uint8_t> load(amw::CachedToken& token) {
    const auto& content = mapFile(token).getContent();
    return std::vector<std::uint8_t>(content.data, content.data + content.length);
}

void store(amw::CachedToken& token, const std::vector<std::uint8_t>& content) {
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_FILE, true);
    amw::File& map = mapFile(token);
    map.setContent(content.data(), content.size());
    map.commitContentChanges();
}

std::uint8_t* sizeField(std::vector<std::uint8_t>& content, std::uint8_t index,
                        std::uint32_t keySpec) {
    if (content.size() < (index + 1u) * RECORD_SIZE) {
        throw InternalErrorException("test double: no record %d", index);
    }
    return content.data() + index * RECORD_SIZE + (keySpec == 0 ? 82 : 84);
}

}  // namespace

std::uint8_t prepareContainerInCmapfile(amw::CachedToken& token, const StaticBuffer<128>&) {
    std::vector<std::uint8_t> content = load(token);
    std::size_t index = 0;
    while (index * RECORD_SIZE < content.size() && content[index * RECORD_SIZE + 80] != 0) ++index;
    if (index * RECORD_SIZE >= content.size()) content.resize(content.size() + RECORD_SIZE);
    std::uint8_t* record = content.data() + index * RECORD_SIZE;
    std::memset(record, 0, RECORD_SIZE);
    record[0] = 'K';
    record[2] = static_cast<std::uint8_t>('0' + index % 10);
    record[80] = FLAG_VALID;
    store(token, content);
    return static_cast<std::uint8_t>(index);
}

void commitContainerInCmapfile(amw::CachedToken& token, std::uint8_t containerIndex,
                               std::uint32_t keySpec, std::uint32_t keySizeBits) {
    std::vector<std::uint8_t> content = load(token);
    std::uint8_t* size = sizeField(content, containerIndex, keySpec);
    size[0] = static_cast<std::uint8_t>(keySizeBits);
    size[1] = static_cast<std::uint8_t>(keySizeBits >> 8);
    store(token, content);
}

void deleteContainerInCmapfile(amw::CachedToken& token, std::uint8_t containerIndex,
                               std::uint32_t keySpec) {
    std::vector<std::uint8_t> content = load(token);
    std::uint8_t* size = sizeField(content, containerIndex, keySpec);
    size[0] = size[1] = 0;
    std::uint8_t* record = content.data() + containerIndex * RECORD_SIZE;
    if (record[82] == 0 && record[83] == 0 && record[84] == 0 && record[85] == 0) {
        std::memset(record, 0, RECORD_SIZE);
    }
    store(token, content);
}

}  // namespace cmapfile
