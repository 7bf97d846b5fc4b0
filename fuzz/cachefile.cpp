// Cache files of every entity kind, read back with the card token as the
// entity factory. Input:
//   1 byte  kind (taken modulo the six kinds the token stores)
//   rest    the file after its 12-byte header; the header is written here
//           with the token's version, the freshness asked for and a record
//           count taken from the first byte of the rest (so seeds need no
//           header of their own and the fuzzer does not spend its time on
//           the version and freshness checks)
// A file that reads must write back, and what it writes must read and
// write again to the same bytes; anything else about a file is a miss.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "amwferrix/token.h"
#include "cachememory/cachememory.h"
#include "fuzzcard.h"
#include "fuzzenvironment.h"
#include "fuzzinput.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

constexpr std::uint32_t KINDS[] = {1, 3, 4, 5, 6, 7};  // key pair ... authentication object
constexpr std::uint32_t FRESHNESS = 0x01020304;

std::string cacheDir;

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

void putUint32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cacheDir = fuzz::prepareEnvironment() + "/cachefiles";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const std::uint32_t entityId = KINDS[input.byte() % (sizeof KINDS / sizeof KINDS[0])];
    const std::vector<std::uint8_t> body = input.rest();

    fuzz::FuzzInput silence(nullptr, 0);
    fuzz::FuzzCard card(silence, false);
    amwferrix::Token token(card);
    CacheMemory cache(&token, cacheDir);

    std::vector<std::uint8_t> file;
    putUint32(file, token.getSerializationVersion());
    putUint32(file, FRESHNESS);
    putUint32(file, body.empty() ? 0 : body[0]);
    file.insert(file.end(), body.begin() + (body.empty() ? 0 : 1), body.end());
    std::filesystem::create_directories(cacheDir);
    const std::string path = cache.getCacheFileName(entityId);
    if (!fuzz::writeFile(path, file.data(), file.size())) return 0;

    CacheMemory::EntityList entities;
    if (!cache.deserializeEntities(entityId, FRESHNESS, &entities, nullptr)) {
        require(entities.empty());
        return 0;
    }
    std::vector<const SerializableEntity*> view;
    for (const auto& entity : entities) view.push_back(entity.get());
    require(cache.serializeEntities(entityId, FRESHNESS, view, nullptr));
    const std::vector<std::uint8_t> written = readFile(path);

    CacheMemory::EntityList again;
    require(cache.deserializeEntities(entityId, FRESHNESS, &again, nullptr));
    require(again.size() == entities.size());
    view.clear();
    for (const auto& entity : again) view.push_back(entity.get());
    require(cache.serializeEntities(entityId, FRESHNESS, view, nullptr));
    require(readFile(path) == written);
    return 0;
}
