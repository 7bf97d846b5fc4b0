// On-card object headers and metadata: an object of each kind is built from
// a fuzzed header, as the listings build it, with the metadata block (and a
// key pair's public key) answered by a fuzzed card. Input:
//   1 byte   kind: data object, certificate, key pair, directory, file
//   1 byte   header size (modulo 40; the kinds need 17 to 33 bytes)
//   n bytes  the header as the card sends it
//   rest     the card's answers (see fuzzcard.h): metadata, components
// An object that was built must survive its own cache record: written,
// read into an empty entity and written again, the records are equal.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <vector>

#include "amwferrix/dataobject.h"
#include "amwferrix/directory.h"
#include "amwferrix/file.h"
#include "amwferrix/keypair.h"
#include "amwferrix/token.h"
#include "amwferrix/x509certificate.h"
#include "fuzzcard.h"
#include "fuzzenvironment.h"
#include "fuzzinput.h"
#include "objectheader.h"
#include "vxexception.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

constexpr std::uint16_t BLOCK_ID = 0x0010;

std::unique_ptr<SerializableEntity> build(std::uint8_t kind, fuzz::FuzzCard& card,
                                          std::vector<std::uint8_t>& header, std::uint32_t& entityId) {
    switch (kind % 5) {
        case 0:
            entityId = 6;
            return amwferrix::DataObject::createFromHeader(card, BLOCK_ID, header.data(), header.size());
        case 1:
            entityId = 3;
            return amwferrix::X509Certificate::createFromHeader(card, BLOCK_ID, header.data(),
                                                                header.size());
        case 2:
            entityId = 1;
            amwferrix::KeyPair::convertHeaderToHostOrder(header.data(), header.size());
            return amwferrix::KeyPair::createFromHeader(card, BLOCK_ID, header.data(), header.size());
        case 3:
            entityId = 4;
            return amwferrix::Directory::createFromHeader(card, BLOCK_ID, header.data(), header.size());
        default:
            entityId = 5;
            return amwferrix::File::createFromHeader(card, BLOCK_ID, header.data(), header.size());
    }
}

std::string record(const SerializableEntity& entity) {
    std::ostringstream out(std::ios::out | std::ios::binary);
    entity.writeStream(out);
    return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareEnvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const std::uint8_t kind = input.byte();
    const std::size_t headerSize = input.byte() % 40;
    std::vector<std::uint8_t> header = input.bytes(headerSize);
    header.resize(headerSize);
    fuzz::FuzzCard card(input, false);

    std::uint32_t entityId = 0;
    std::unique_ptr<SerializableEntity> object;
    try {
        object = build(kind, card, header, entityId);
    } catch (const VxException&) {
        return 0;
    }
    require(object != nullptr);

    // The name helper the directory and file headers use, on any 8 bytes.
    if (header.size() >= 8) {
        const StaticBuffer<8> name = amwferrix::detail::nameFromHeader(header.data(), kind & 1);
        require(name.length <= 8);
    }

    const std::string first = record(*object);
    amwferrix::Token token(card);
    std::unique_ptr<SerializableEntity> copy = token.createSerializableEntity(entityId);
    std::istringstream in(first, std::ios::in | std::ios::binary);
    try {
        copy->readStream(in);
    } catch (const VxException&) {
        require(false);  // a record the module wrote must read back
    }
    require(in.peek() == std::char_traits<char>::eof());
    require(record(*copy) == first);
    require(copy->compare(*object) == 0);
    return 0;
}
