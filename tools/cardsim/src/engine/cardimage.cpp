// Card image file.
//
// A text file, one record per line, fields separated by single blanks. Every
// field after the record's tag is key=value; byte strings are lower- or
// upper-case hex digit pairs (possibly none), numbers are decimal unless the
// key below says hex. Lines starting with '#' and empty lines are ignored.
//
//   ferrix-card-image 1                      first line, format version
//   card serial=HEX(8) id=HEX(16) version=MAJOR.MINOR life-cycle=HEX-BYTE
//   memory block-size=N blocks=N
//   key-slot size=N                          one line per key slot, in slot order
//   freshness record=HEX(1..255)             absent until first written
//   ao role=1..7 type=pin|key tries=N max=N so=0|1 unblock=HEX16 policy=HEX(9) value=HEX
//   object id=HEX16 kind=dataobject|certificate|keypair|directory|file
//          ac=HEX16,HEX16,HEX16,HEX16 meta=HEX [content=HEX] <kind fields>
//       certificate: trusted=0|1
//       directory:   name=HEX(0..8)
//       file:        dir=HEX16 name=HEX(1..8)
//       keypair:     origin=HEX-BYTE usage=HEX16 size=1024|2048 container=HEX-BYTE
//                    keykind=0|1 slot=N|-1 n= e= p= q= dp= dq= qinv= (HEX, empty when absent)
//   end                                      last line; a file without it is truncated
//
// Objects of one kind appear in their chain order. An object without a
// content field has no content block; "content=" is an empty one. The image
// holds PINs and private key components in clear: it is the card's memory.
#include "cardsim/cardimage.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace cardsim {
namespace {

constexpr const char* MAGIC = "ferrix-card-image";

std::string hexOf(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    return text;
}

std::string hex16(std::uint16_t value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%04x", value);
    return buffer;
}

std::string hex8(std::uint8_t value) {
    char buffer[4];
    std::snprintf(buffer, sizeof buffer, "%02x", value);
    return buffer;
}

[[noreturn]] void fail(std::size_t line, const std::string& what) {
    throw std::runtime_error("card image line " + std::to_string(line) + ": " + what);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The key=value fields of one record; every field must be consumed.
class Record {
public:
    Record(std::size_t line, const std::vector<std::string>& tokens) : line_(line) {
        for (std::size_t i = 1; i < tokens.size(); ++i) {
            auto eq = tokens[i].find('=');
            if (eq == std::string::npos || eq == 0) {
                fail(line, "field without key=value: " + tokens[i]);
            }
            auto key = tokens[i].substr(0, eq);
            if (!fields_.emplace(key, tokens[i].substr(eq + 1)).second) {
                fail(line, "field given twice: " + key);
            }
        }
    }

    bool has(const std::string& key) const { return fields_.count(key) != 0; }

    std::string text(const std::string& key) {
        auto it = fields_.find(key);
        if (it == fields_.end()) {
            fail(line_, "missing field " + key);
        }
        used_.emplace(key, true);
        return it->second;
    }

    Bytes hex(const std::string& key, std::size_t minLength, std::size_t maxLength) {
        auto value = text(key);
        if (value.size() % 2 != 0) {
            fail(line_, "odd number of hex digits in " + key);
        }
        Bytes bytes;
        for (std::size_t i = 0; i < value.size(); i += 2) {
            int high = hexDigit(value[i]);
            int low = hexDigit(value[i + 1]);
            if (high < 0 || low < 0) {
                fail(line_, "bad hex digit in " + key);
            }
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        }
        if (bytes.size() < minLength || bytes.size() > maxLength) {
            fail(line_, "wrong length of " + key);
        }
        return bytes;
    }

    long long number(const std::string& key, long long low, long long high, int base = 10) {
        auto value = text(key);
        if (value.empty() || value.size() > 12) {
            fail(line_, "bad number in " + key);
        }
        std::size_t pos = 0;
        long long result = 0;
        try {
            result = std::stoll(value, &pos, base);
        } catch (const std::exception&) {
            fail(line_, "bad number in " + key);
        }
        if (pos != value.size() || result < low || result > high) {
            fail(line_, "number out of range in " + key);
        }
        return result;
    }

    void finish() const {
        for (const auto& [key, value] : fields_) {
            if (!used_.count(key)) {
                fail(line_, "unknown field " + key);
            }
        }
    }

private:
    std::size_t line_;
    std::map<std::string, std::string> fields_;
    std::map<std::string, bool> used_;
};

std::vector<std::string> splitBlanks(const std::string& line) {
    std::vector<std::string> tokens;
    std::istringstream in(line);
    std::string token;
    while (in >> token) {
        tokens.push_back(token);
    }
    return tokens;
}

ObjectKind parseKind(std::size_t line, const std::string& name) {
    for (auto kind : {ObjectKind::DATA_OBJECT, ObjectKind::FILE, ObjectKind::DIRECTORY,
                      ObjectKind::KEY_PAIR, ObjectKind::CERTIFICATE}) {
        if (name == objectKindName(kind)) {
            return kind;
        }
    }
    fail(line, "unknown object kind " + name);
}

void parseAccessConditions(std::size_t line, const std::string& text, CardObject& object) {
    if (text.size() != 19 || text[4] != ',' || text[9] != ',' || text[14] != ',') {
        fail(line, "ac must be four 4-digit hex values separated by commas");
    }
    for (int i = 0; i < 4; ++i) {
        int value = 0;
        for (int j = 0; j < 4; ++j) {
            int digit = hexDigit(text[i * 5 + j]);
            if (digit < 0) {
                fail(line, "bad hex digit in ac");
            }
            value = value * 16 + digit;
        }
        object.ac[i] = static_cast<std::uint16_t>(value);
    }
}

CardObject parseObject(std::size_t line, Record& record) {
    CardObject object;
    object.blockId = static_cast<std::uint16_t>(record.number("id", 0, 0xFFFF, 16));
    if (object.blockId == BLOCK_ID_NONE) {
        fail(line, "block id 8000 is reserved");
    }
    object.kind = parseKind(line, record.text("kind"));
    parseAccessConditions(line, record.text("ac"), object);
    object.metadata = record.hex("meta", 0, 1024);
    if (record.has("content")) {
        object.content = record.hex("content", 0, 65535);
    }
    switch (object.kind) {
    case ObjectKind::CERTIFICATE:
        object.trusted = record.number("trusted", 0, 1) != 0;
        break;
    case ObjectKind::DIRECTORY:
        object.name = record.hex("name", 0, 8);
        break;
    case ObjectKind::FILE:
        object.directoryId = static_cast<std::uint16_t>(record.number("dir", 0, 0xFFFF, 16));
        object.name = record.hex("name", 1, 8);
        break;
    case ObjectKind::KEY_PAIR:
        object.origin = static_cast<std::uint8_t>(record.number("origin", 0, 7, 16));
        object.keyUsage = static_cast<std::uint16_t>(record.number("usage", 0, 0xFFFF, 16));
        object.keySize = static_cast<std::uint16_t>(record.number("size", 1024, 2048));
        if (object.keySize != 1024 && object.keySize != 2048) {
            fail(line, "key size must be 1024 or 2048");
        }
        object.containerIndex = static_cast<std::uint8_t>(record.number("container", 0, 0xFF, 16));
        object.keySpec = static_cast<std::uint8_t>(record.number("keykind", 0, 1));
        object.keySlot = static_cast<int>(record.number("slot", -1, 63));
        object.key.n = record.hex("n", 0, 256);
        object.key.e = record.hex("e", 0, 256);
        object.key.p = record.hex("p", 0, 256);
        object.key.q = record.hex("q", 0, 256);
        object.key.dp = record.hex("dp", 0, 256);
        object.key.dq = record.hex("dq", 0, 256);
        object.key.qinv = record.hex("qinv", 0, 256);
        break;
    case ObjectKind::DATA_OBJECT:
        break;
    }
    if (object.content && !object.hasContentBlock()) {
        fail(line, "this kind of object has no content");
    }
    return object;
}

AuthObject parseAuthObject(std::size_t line, Record& record, int& role) {
    AuthObject ao;
    role = static_cast<int>(record.number("role", 1, 7));
    auto type = record.text("type");
    if (type != "pin" && type != "key") {
        fail(line, "type must be pin or key");
    }
    ao.isKey = type == "key";
    ao.maxTries = static_cast<std::uint8_t>(record.number("max", 1, 15));
    ao.triesLeft = static_cast<std::uint8_t>(record.number("tries", 0, ao.maxTries));
    ao.securityOfficer = record.number("so", 0, 1) != 0;
    ao.unblockRoles = static_cast<std::uint16_t>(record.number("unblock", 0, 0xFFFF, 16));
    auto policy = record.hex("policy", 9, 9);
    std::copy(policy.begin(), policy.end(), ao.pinPolicy.begin());
    ao.value = ao.isKey ? record.hex("value", 24, 24) : record.hex("value", 1, 16);
    return ao;
}

// Cross-record rules: unique ids, files in existing directories, key slots
// that exist and are not shared.
void checkConsistency(const CardState& state) {
    std::map<std::uint16_t, ObjectKind> kinds;
    for (const auto& object : state.objects) {
        if (!kinds.emplace(object.blockId, object.kind).second) {
            throw std::runtime_error("card image: block id " + hex16(object.blockId) + " used twice");
        }
    }
    std::vector<bool> slotTaken(state.keySlotSizes.size(), false);
    for (const auto& object : state.objects) {
        if (object.kind == ObjectKind::FILE) {
            auto it = kinds.find(object.directoryId);
            if (it == kinds.end() || it->second != ObjectKind::DIRECTORY) {
                throw std::runtime_error("card image: file " + hex16(object.blockId) +
                                         " names no directory");
            }
        }
        if (object.keySlot >= 0) {
            auto slot = static_cast<std::size_t>(object.keySlot);
            if (slot >= slotTaken.size() || slotTaken[slot]) {
                throw std::runtime_error("card image: key pair " + hex16(object.blockId) +
                                         " has a bad key slot");
            }
            slotTaken[slot] = true;
        }
    }
}

}  // namespace

CardState parseCardImage(const std::string& text) {
    CardState state;
    std::istringstream in(text);
    std::string line;
    std::size_t lineNumber = 0;
    bool sawMagic = false, sawCard = false, sawMemory = false, sawEnd = false;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (sawEnd) {
            if (!splitBlanks(line).empty()) fail(lineNumber, "text after end");
            continue;
        }
        auto tokens = splitBlanks(line);
        if (tokens.empty() || tokens[0][0] == '#') {
            continue;
        }
        if (!sawMagic) {
            if (tokens.size() != 2 || tokens[0] != MAGIC || tokens[1] != "1") {
                fail(lineNumber, "not a Ferrix card image of version 1");
            }
            sawMagic = true;
            continue;
        }
        const auto& tag = tokens[0];
        Record record(lineNumber, tokens);
        if (tag == "card") {
            state.serial = record.hex("serial", 8, 8);
            state.cardId = record.hex("id", 16, 16);
            auto version = record.text("version");
            unsigned major = 0, minor = 0;
            char dot = 0, extra = 0;
            if (std::sscanf(version.c_str(), "%u%c%u%c", &major, &dot, &minor, &extra) != 3 ||
                dot != '.' || major > 255 || minor > 255) {
                fail(lineNumber, "version must be MAJOR.MINOR");
            }
            state.versionMajor = static_cast<std::uint8_t>(major);
            state.versionMinor = static_cast<std::uint8_t>(minor);
            state.lifeCycle = static_cast<std::uint8_t>(record.number("life-cycle", 0, 0xFF, 16));
            sawCard = true;
        } else if (tag == "memory") {
            state.blockSize = static_cast<std::uint16_t>(record.number("block-size", 16, 0xFFFF));
            state.blockCount = static_cast<std::uint16_t>(record.number("blocks", 1, 0xFFFF));
            sawMemory = true;
        } else if (tag == "key-slot") {
            if (state.keySlotSizes.size() >= 64) fail(lineNumber, "more than 64 key slots");
            auto size = static_cast<std::uint16_t>(record.number("size", 0, 2048));
            if (size != 0 && size != 1024 && size != 2048) fail(lineNumber, "bad key slot size");
            state.keySlotSizes.push_back(size);
        } else if (tag == "freshness") {
            state.freshness = record.hex("record", 1, 255);
        } else if (tag == "ao") {
            int role = 0;
            auto ao = parseAuthObject(lineNumber, record, role);
            if (state.authObjects[role]) fail(lineNumber, "role given twice");
            state.authObjects[role] = ao;
        } else if (tag == "object") {
            state.objects.push_back(parseObject(lineNumber, record));
        } else if (tag == "end") {
            sawEnd = true;
        } else {
            fail(lineNumber, "unknown record " + tag);
        }
        record.finish();
    }
    if (!sawMagic || !sawCard || !sawMemory || !sawEnd) {
        throw std::runtime_error("card image: incomplete (missing header, card, memory or end record)");
    }
    checkConsistency(state);
    return state;
}

std::string formatCardImage(const CardState& state) {
    std::ostringstream out;
    out << MAGIC << " 1\n";
    out << "card serial=" << hexOf(state.serial) << " id=" << hexOf(state.cardId)
        << " version=" << unsigned(state.versionMajor) << '.' << unsigned(state.versionMinor)
        << " life-cycle=" << hex8(state.lifeCycle) << '\n';
    out << "memory block-size=" << state.blockSize << " blocks=" << state.blockCount << '\n';
    for (auto size : state.keySlotSizes) {
        out << "key-slot size=" << size << '\n';
    }
    if (state.freshness) {
        out << "freshness record=" << hexOf(*state.freshness) << '\n';
    }
    for (int role = 1; role <= 7; ++role) {
        const auto& ao = state.authObjects[role];
        if (!ao) continue;
        out << "ao role=" << role << " type=" << (ao->isKey ? "key" : "pin")
            << " tries=" << unsigned(ao->triesLeft) << " max=" << unsigned(ao->maxTries)
            << " so=" << (ao->securityOfficer ? 1 : 0) << " unblock=" << hex16(ao->unblockRoles)
            << " policy=" << hexOf(Bytes(ao->pinPolicy.begin(), ao->pinPolicy.end()))
            << " value=" << hexOf(ao->value) << '\n';
    }
    for (const auto& object : state.objects) {
        out << "object id=" << hex16(object.blockId) << " kind=" << objectKindName(object.kind)
            << " ac=" << hex16(object.ac[0]) << ',' << hex16(object.ac[1]) << ','
            << hex16(object.ac[2]) << ',' << hex16(object.ac[3])
            << " meta=" << hexOf(object.metadata);
        if (object.content) {
            out << " content=" << hexOf(*object.content);
        }
        switch (object.kind) {
        case ObjectKind::CERTIFICATE:
            out << " trusted=" << (object.trusted ? 1 : 0);
            break;
        case ObjectKind::DIRECTORY:
            out << " name=" << hexOf(object.name);
            break;
        case ObjectKind::FILE:
            out << " dir=" << hex16(object.directoryId) << " name=" << hexOf(object.name);
            break;
        case ObjectKind::KEY_PAIR:
            out << " origin=" << hex8(object.origin) << " usage=" << hex16(object.keyUsage)
                << " size=" << object.keySize << " container=" << hex8(object.containerIndex)
                << " keykind=" << unsigned(object.keySpec) << " slot=" << object.keySlot
                << " n=" << hexOf(object.key.n) << " e=" << hexOf(object.key.e)
                << " p=" << hexOf(object.key.p) << " q=" << hexOf(object.key.q)
                << " dp=" << hexOf(object.key.dp) << " dq=" << hexOf(object.key.dq)
                << " qinv=" << hexOf(object.key.qinv);
            break;
        case ObjectKind::DATA_OBJECT:
            break;
        }
        out << '\n';
    }
    out << "end\n";
    return out.str();
}

CardState loadCardImage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open card image " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parseCardImage(text.str());
}

void saveCardImage(const std::string& path, const CardState& state) {
    const std::string text = formatCardImage(state);
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + temporary);
    }
    std::size_t written = 0;
    while (written < text.size()) {
        auto n = ::write(fd, text.data() + written, text.size() - written);
        if (n <= 0) {
            ::close(fd);
            ::unlink(temporary.c_str());
            throw std::runtime_error("cannot write " + temporary);
        }
        written += static_cast<std::size_t>(n);
    }
    // No fsync: the rename protects against a simulator that dies mid-write,
    // which is the failure that matters for a test card; it keeps tests fast.
    if (::close(fd) != 0) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot flush " + temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot replace " + path);
    }
}

}  // namespace cardsim
