// Objects on the five chains: creation, headers, metadata and content.
//
// Header as handed out by begin-read-metadata (16-bit fields big-endian):
//   0      kind (0 data object, 1 file, 2 directory, 3 key pair, 4 certificate)
//   1..2   next block id of the same kind, 8000 at the end of the chain
//   3..4   metadata size            5..6   content size (0 without content)
//   7..8   the object's own block id
//   9..10  data object: access condition "update metadata"; others 0
//   11..16 three access conditions: data object {read content, write content,
//          delete}; certificate and file {read content, write, delete}; key
//          pair {use, write, delete}; directory {create files, delete, 0}
//   certificate (18 bytes): 17 trusted
//   key pair (27): 17 key slot (FF none), 18..19 zero, 20..21 key usage,
//                  22 origin, 23 container index, 24 key kind, 25..26 key size
//   directory (27): 17..18 number of files, 19..26 name zero-padded
//   file (33): 17..24 directory name, 25..32 file name, both zero-padded
//   data object: 17 bytes.
#include "cardcrypto.h"
#include "ferrixcard.h"

namespace cardsim {
namespace {

void putU16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

std::uint16_t u16At(const Bytes& data, std::size_t offset) {
    return static_cast<std::uint16_t>(data[offset] << 8 | data[offset + 1]);
}

void putName(Bytes& out, const Bytes& name) {
    Bytes padded = name;
    padded.resize(8, 0);
    out.insert(out.end(), padded.begin(), padded.end());
}

// An 8-byte zero-padded name: at least one byte, nothing after the padding.
std::optional<Bytes> parseName(const Bytes& data, std::size_t offset) {
    Bytes name;
    std::size_t i = 0;
    for (; i < 8 && data[offset + i] != 0; ++i) name.push_back(data[offset + i]);
    for (; i < 8; ++i) {
        if (data[offset + i] != 0) return std::nullopt;
    }
    if (name.empty()) return std::nullopt;
    return name;
}

// 0xFFFF in a create leaves the choice to the card: the user role, except
// that certificate and file content is readable by everyone.
std::uint16_t chosen(std::uint16_t given, std::uint16_t cardDefault) {
    return given == AC_CARD_CHOOSES ? cardDefault : given;
}

// Create data per kind (big-endian access conditions, FFFF = card's choice).
// Data object: update metadata, read content, write content, delete.
bool dataObjectFromCreate(const Bytes& d, CardObject& object) {
    object.kind = ObjectKind::DATA_OBJECT;
    for (int i = 0; i < 4; ++i) object.ac[i] = chosen(u16At(d, 2 * i), AC_USER);
    return true;
}

// Key pair: origin, size, usage, container, key kind, then use, write, delete.
bool keyPairFromCreate(const Bytes& d, CardObject& object) {
    object.kind = ObjectKind::KEY_PAIR;
    object.origin = d[0];
    object.keySize = u16At(d, 1);
    object.keyUsage = u16At(d, 3);
    object.containerIndex = d[5];
    object.keySpec = d[6];
    for (int i = 0; i < 3; ++i) object.ac[i] = chosen(u16At(d, 7 + 2 * i), AC_USER);
    const bool originKnown =
        object.origin == 2 || object.origin == 4 || object.origin == 6 || object.origin == 7;
    if (!originKnown || (object.keySize != 1024 && object.keySize != 2048) || object.keySpec > 1) {
        return false;
    }
    return true;
}

// Certificate: trusted (0 or 1), read content, write, delete.
bool certificateFromCreate(const Bytes& d, CardObject& object) {
    if (d[0] > 1) return false;
    object.kind = ObjectKind::CERTIFICATE;
    object.trusted = d[0] == 1;
    object.ac = {chosen(u16At(d, 1), AC_EVERYONE), chosen(u16At(d, 3), AC_USER),
                 chosen(u16At(d, 5), AC_USER), 0};
    return true;
}

// Directory: name, then the delete and the create-files conditions.
bool directoryFromCreate(const Bytes& d, CardObject& object) {
    auto name = parseName(d, 0);
    if (!name) return false;
    object.kind = ObjectKind::DIRECTORY;
    object.name = *name;
    object.ac = {chosen(u16At(d, 10), AC_USER), chosen(u16At(d, 8), AC_USER), 0, 0};
    return true;
}

// File: directory block id, name, read content, write, delete.
bool fileFromCreate(const Bytes& d, CardObject& object) {
    auto name = parseName(d, 2);
    if (!name) return false;
    object.kind = ObjectKind::FILE;
    object.directoryId = u16At(d, 0);
    object.name = *name;
    object.ac = {chosen(u16At(d, 10), AC_EVERYONE), chosen(u16At(d, 12), AC_USER),
                 chosen(u16At(d, 14), AC_USER), 0};
    return true;
}

constexpr std::size_t MAX_METADATA = 1024;

}  // namespace

Bytes FerrixCard::header(const CardObject& object) const {
    Bytes out;
    out.push_back(static_cast<std::uint8_t>(object.kind));
    putU16(out, nextInChain(object));
    putU16(out, static_cast<std::uint16_t>(object.metadata.size()));
    putU16(out, static_cast<std::uint16_t>(object.content ? object.content->size() : 0));
    putU16(out, object.blockId);
    const bool dataObject = object.kind == ObjectKind::DATA_OBJECT;
    putU16(out, dataObject ? object.ac[0] : 0);
    for (int i = 0; i < 3; ++i) putU16(out, object.ac[dataObject ? i + 1 : i]);
    switch (object.kind) {
    case ObjectKind::DATA_OBJECT:
        break;
    case ObjectKind::CERTIFICATE:
        out.push_back(object.trusted ? 1 : 0);
        break;
    case ObjectKind::KEY_PAIR:
        out.push_back(object.keySlot < 0 ? 0xFF : static_cast<std::uint8_t>(object.keySlot));
        putU16(out, 0);
        putU16(out, object.keyUsage);
        out.push_back(object.origin);
        out.push_back(object.containerIndex);
        out.push_back(object.keySpec);
        putU16(out, object.keySize);
        break;
    case ObjectKind::DIRECTORY: {
        std::uint16_t files = 0;
        for (const auto& other : state_.objects) {
            if (other.kind == ObjectKind::FILE && other.directoryId == object.blockId) ++files;
        }
        putU16(out, files);
        putName(out, object.name);
        break;
    }
    case ObjectKind::FILE: {
        const CardObject* dir = state_.findObject(object.directoryId);
        putName(out, dir ? dir->name : Bytes());
        putName(out, object.name);
        break;
    }
    }
    return out;
}

std::uint16_t FerrixCard::nextInChain(const CardObject& object) const {
    bool found = false;
    for (const auto& other : state_.objects) {
        if (found && other.kind == object.kind) return other.blockId;
        if (&other == &object || other.blockId == object.blockId) found = true;
    }
    return BLOCK_ID_NONE;
}

std::uint16_t FerrixCard::allocateBlockId() const {
    for (std::uint32_t id = 1; id < BLOCK_ID_NONE; ++id) {
        if (!state_.findObject(static_cast<std::uint16_t>(id))) return static_cast<std::uint16_t>(id);
    }
    return BLOCK_ID_NONE;
}

bool FerrixCard::fits(const CardObject& projected, const CardObject* replaced) const {
    std::uint64_t used = state_.usedBlocks();
    if (replaced) used -= objectBlocks(*replaced, state_.blockSize);
    used += objectBlocks(projected, state_.blockSize);
    return used <= state_.blockCount;
}

std::optional<CardObject> FerrixCard::newObjectFromCreate(const CommandApdu& command,
                                                          std::uint16_t& failure) const {
    const Bytes& d = command.data;
    failure = sw::WRONG_DATA;
    CardObject object;
    bool parsed = false;
    switch (command.p2) {
    case 0x00: parsed = dataObjectFromCreate(d, object); break;
    case 0x01: parsed = keyPairFromCreate(d, object); break;
    case 0x02: parsed = certificateFromCreate(d, object); break;
    case 0x03: parsed = directoryFromCreate(d, object); break;
    case 0x04: parsed = fileFromCreate(d, object); break;
    default: failure = sw::WRONG_P1P2; return std::nullopt;
    }
    if (!parsed) return std::nullopt;
    if (nameTaken(object)) {
        failure = sw::ALREADY_EXISTS;
        return std::nullopt;
    }
    return object;
}

// Directory names are unique on the card, file names within their directory.
bool FerrixCard::nameTaken(const CardObject& object) const {
    if (object.kind != ObjectKind::DIRECTORY && object.kind != ObjectKind::FILE) return false;
    for (const auto& other : state_.objects) {
        if (other.kind == object.kind && other.name == object.name &&
            (object.kind == ObjectKind::DIRECTORY || other.directoryId == object.directoryId)) {
            return true;
        }
    }
    return false;
}

// 80 3E 00 kind. Needs the user role (a file: its directory's create-files
// condition). The object exists only as the current object until its metadata
// is committed; any command that starts another sequence, a reset or a
// power-off discards it with whatever memory and key slot it held.
FerrixCard::Response FerrixCard::createObject(const CommandApdu& command) {
    static const std::size_t lengths[] = {8, 13, 7, 12, 16};
    if (command.p1 != 0 || command.p2 > 4) return status(sw::WRONG_P1P2);
    if (command.data.size() != lengths[command.p2]) return status(sw::WRONG_LENGTH);
    current_ = Current();
    if (!activated()) return status(sw::CONDITIONS_NOT_SATISFIED);
    if (command.p2 == 0x04) {
        const CardObject* dir = state_.findObject(u16At(command.data, 0));
        if (!dir || dir->kind != ObjectKind::DIRECTORY) return status(sw::NOT_FOUND);
        if (!satisfied(dir->ac[0])) return status(sw::SECURITY_NOT_SATISFIED);
    } else if (!userAuthenticated()) {
        return status(sw::SECURITY_NOT_SATISFIED);
    }
    std::uint16_t failure = sw::OK;
    auto object = newObjectFromCreate(command, failure);
    if (!object) return status(failure);
    if (!fits(*object, nullptr) || allocateBlockId() == BLOCK_ID_NONE) return status(sw::CARD_FULL);
    current_.mode = Mode::CREATED;
    if (object->kind == ObjectKind::KEY_PAIR && object->origin != 7) {
        current_.importable = object->origin & (ORIGIN_PUBLIC | ORIGIN_PRIVATE);
    }
    current_.work = std::move(object);
    return status(sw::OK);
}

FerrixCard::Response FerrixCard::setMetadataSize(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (command.data.size() != 2) return status(sw::WRONG_LENGTH);
    if (current_.mode != Mode::CREATED) return status(sw::CONDITIONS_NOT_SATISFIED);
    const std::size_t size = u16At(command.data, 0);
    const auto kind = current_.work->kind;
    const bool noMetadata = kind == ObjectKind::FILE || kind == ObjectKind::DIRECTORY;
    if (size > MAX_METADATA || (noMetadata && size != 0)) return status(sw::WRONG_DATA);
    if (kind == ObjectKind::KEY_PAIR && !keyMaterialComplete(*current_.work)) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    CardObject projected = *current_.work;
    projected.metadata.assign(size, 0);
    if (!fits(projected, nullptr)) return status(sw::CARD_FULL);
    current_.mode = Mode::WRITING_METADATA;
    current_.expected = size;
    current_.buffer.clear();
    return status(sw::OK);
}

FerrixCard::Response FerrixCard::beginUpdateMetadata(const CommandApdu& command) {
    if (command.data.size() != 2) return status(sw::WRONG_LENGTH);
    current_ = Current();
    const CardObject* object = state_.findObject(command.p1p2());
    if (!object) return status(sw::NOT_FOUND);
    if (object->kind == ObjectKind::FILE || object->kind == ObjectKind::DIRECTORY) {
        return status(sw::INCOMPATIBLE_OBJECT);
    }
    if (!satisfied(writeMetadataCondition(*object))) return status(sw::SECURITY_NOT_SATISFIED);
    const std::size_t size = u16At(command.data, 0);
    if (size > MAX_METADATA) return status(sw::WRONG_DATA);
    CardObject projected = *object;
    projected.metadata.assign(size, 0);
    if (!fits(projected, object)) return status(sw::CARD_FULL);
    current_.mode = Mode::WRITING_METADATA;
    current_.blockId = object->blockId;
    current_.work = *object;
    current_.expected = size;
    return status(sw::OK);
}

FerrixCard::Response FerrixCard::writeData(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (command.data.empty()) return status(sw::WRONG_LENGTH);
    if (current_.mode != Mode::WRITING_METADATA && current_.mode != Mode::WRITING_CONTENT) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    if (command.data.size() > current_.expected - current_.buffer.size()) {
        return status(sw::NOT_ENOUGH_SPACE);
    }
    current_.buffer.insert(current_.buffer.end(), command.data.begin(), command.data.end());
    return status(sw::OK);
}

// Closes the metadata of a new, updated or amended object and answers its
// block id. Key material that does not make a usable key (modulus of the
// wrong length, p q different from n...) is refused with 6A80 and the
// sequence is dropped.
FerrixCard::Response FerrixCard::commitMetadata(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    if (current_.mode == Mode::CREATED && current_.work &&
        (current_.work->kind == ObjectKind::FILE || current_.work->kind == ObjectKind::DIRECTORY)) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    if (current_.mode != Mode::WRITING_METADATA || current_.buffer.size() != current_.expected) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    if (command.hasLe && command.le != 2) return status(sw::wrongLe(2));
    CardObject object = std::move(*current_.work);
    const std::uint16_t existing = current_.blockId;
    object.metadata = std::move(current_.buffer);
    current_ = Current();
    if (object.kind == ObjectKind::KEY_PAIR &&
        (!keyMaterialComplete(object) || !crypto::keyIsConsistent(object.key))) {
        return status(sw::WRONG_DATA);
    }
    if (existing == BLOCK_ID_NONE) {
        object.blockId = allocateBlockId();
        if (object.blockId == BLOCK_ID_NONE) return status(sw::CARD_FULL);
        state_.objects.push_back(std::move(object));
    } else {
        CardObject* stored = state_.findObject(existing);
        if (!stored) return status(sw::NOT_FOUND);
        *stored = std::move(object);
    }
    changed();
    const std::uint16_t id = existing == BLOCK_ID_NONE ? state_.objects.back().blockId : existing;
    Bytes out;
    putU16(out, id);
    return Response{out, sw::OK};
}

FerrixCard::Response FerrixCard::beginReadMetadata(const CommandApdu& command) {
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    current_ = Current();
    const CardObject* object = state_.findObject(command.p1p2());
    if (!object) return status(sw::NOT_FOUND);
    Bytes out = header(*object);
    if (command.hasLe && command.le != out.size()) return status(sw::wrongLe(out.size()));
    current_.mode = Mode::READING_METADATA;
    current_.blockId = object->blockId;
    return Response{out, sw::OK};
}

// Reads the next bytes of the metadata or content selected by the last
// begin-read command; Le beyond what is left answers 6Cxx with the rest.
FerrixCard::Response FerrixCard::readData(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    if (current_.mode != Mode::READING_METADATA && current_.mode != Mode::READING_CONTENT) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    const CardObject* object = state_.findObject(current_.blockId);
    if (!object) return status(sw::CONDITIONS_NOT_SATISFIED);
    const Bytes* source = &object->metadata;
    if (current_.mode == Mode::READING_CONTENT) {
        if (!object->content) return status(sw::CONDITIONS_NOT_SATISFIED);
        source = &*object->content;
    }
    const std::size_t remaining = source->size() - std::min(current_.readPos, source->size());
    if (remaining == 0) return status(sw::CONDITIONS_NOT_SATISFIED);
    const std::size_t count = command.hasLe ? command.le : std::min<std::size_t>(remaining, 256);
    if (count > remaining) return status(sw::wrongLe(remaining));
    auto begin = source->begin() + static_cast<std::ptrdiff_t>(current_.readPos);
    Bytes out(begin, begin + static_cast<std::ptrdiff_t>(count));
    current_.readPos += count;
    return Response{out, sw::OK};
}

FerrixCard::Response FerrixCard::deleteObject(const CommandApdu& command) {
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    current_ = Current();
    CardObject* object = state_.findObject(command.p1p2());
    if (!object) return status(sw::NOT_FOUND);
    if (!satisfied(deleteCondition(*object))) return status(sw::SECURITY_NOT_SATISFIED);
    if (object->kind == ObjectKind::DIRECTORY) {
        for (const auto& other : state_.objects) {
            if (other.kind == ObjectKind::FILE && other.directoryId == object->blockId) {
                return status(sw::CONDITIONS_NOT_SATISFIED);
            }
        }
    }
    const std::uint16_t id = object->blockId;
    std::erase_if(state_.objects, [id](const CardObject& o) { return o.blockId == id; });
    changed();
    return status(sw::OK);
}

FerrixCard::Response FerrixCard::removeContent(const CommandApdu& command) {
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    current_ = Current();
    CardObject* object = state_.findObject(command.p1p2());
    if (!object) return status(sw::NOT_FOUND);
    if (!object->hasContentBlock()) return status(sw::INCOMPATIBLE_OBJECT);
    if (!satisfied(writeContentCondition(*object))) return status(sw::SECURITY_NOT_SATISFIED);
    if (!object->content) return status(sw::NO_CONTENT);
    object->content.reset();
    changed();
    return status(sw::OK);
}

// Opens a content block of the given size on an object that has none (the
// driver removes the old content first); the content appears at commit 38.
FerrixCard::Response FerrixCard::createContent(const CommandApdu& command) {
    if (command.data.size() != 2) return status(sw::WRONG_LENGTH);
    current_ = Current();
    const CardObject* object = state_.findObject(command.p1p2());
    if (!object) return status(sw::NOT_FOUND);
    if (!object->hasContentBlock()) return status(sw::INCOMPATIBLE_OBJECT);
    if (!satisfied(writeContentCondition(*object))) return status(sw::SECURITY_NOT_SATISFIED);
    if (object->content) return status(sw::CONDITIONS_NOT_SATISFIED);
    const std::size_t size = u16At(command.data, 0);
    CardObject projected = *object;
    projected.content = Bytes(size, 0);
    if (!fits(projected, object)) return status(sw::CARD_FULL);
    current_.mode = Mode::WRITING_CONTENT;
    current_.blockId = object->blockId;
    current_.expected = size;
    return status(sw::OK);
}

FerrixCard::Response FerrixCard::commitContent(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    if (current_.mode != Mode::WRITING_CONTENT || current_.buffer.size() != current_.expected) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    CardObject* object = state_.findObject(current_.blockId);
    if (!object) return status(sw::CONDITIONS_NOT_SATISFIED);
    object->content = std::move(current_.buffer);
    current_ = Current();
    changed();
    return status(sw::OK);
}

FerrixCard::Response FerrixCard::beginReadContent(const CommandApdu& command) {
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    current_ = Current();
    const CardObject* object = state_.findObject(command.p1p2());
    if (!object) return status(sw::NOT_FOUND);
    if (!object->hasContentBlock()) return status(sw::INCOMPATIBLE_OBJECT);
    if (!satisfied(readContentCondition(*object))) return status(sw::SECURITY_NOT_SATISFIED);
    if (!object->content) return status(sw::NO_CONTENT);
    if (command.hasLe && command.le != 2) return status(sw::wrongLe(2));
    current_.mode = Mode::READING_CONTENT;
    current_.blockId = object->blockId;
    Bytes out;
    putU16(out, static_cast<std::uint16_t>(object->content->size()));
    return Response{out, sw::OK};
}

}  // namespace cardsim
