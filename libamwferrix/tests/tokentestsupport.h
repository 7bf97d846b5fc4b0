// Helpers of the card token's scripted tests: object headers as the card
// sends them (big-endian), metadata items, and the commands the token issues
// most often.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "apdutestsupport.h"
#include "ctl/scriptedconnection.h"

namespace tokentest {

using apdutest::Bytes;
using apdutest::concat;
using apdutest::hex;

inline void putWord(Bytes& bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

// The common 17 bytes and `size` in all; further fields are set by the test.
inline Bytes header(std::size_t size, std::uint16_t next, std::uint16_t metaDataSize,
                    std::uint16_t contentSize = 0, std::uint16_t ac1 = 0x0101,
                    std::uint16_t ac2 = 0x0202, std::uint16_t ac3 = 0x0202) {
    Bytes bytes(size, 0);
    putWord(bytes, 1, next);
    putWord(bytes, 3, metaDataSize);
    putWord(bytes, 5, contentSize);
    putWord(bytes, 11, ac1);
    putWord(bytes, 13, ac2);
    putWord(bytes, 15, ac3);
    return bytes;
}

// One length-value item.
inline Bytes item(const std::string& text) {
    Bytes bytes{static_cast<std::uint8_t>(text.size())};
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}
inline Bytes item(const Bytes& value) {
    Bytes bytes{static_cast<std::uint8_t>(value.size())};
    bytes.insert(bytes.end(), value.begin(), value.end());
    return bytes;
}

inline Bytes command(const std::string& head, const Bytes& data = {}) {
    Bytes bytes = hex(head);
    if (!data.empty()) {
        bytes.push_back(static_cast<std::uint8_t>(data.size()));
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    return bytes;
}

inline Bytes word(std::uint16_t value) {
    return Bytes{static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value & 0xFF)};
}

// Heads in the card's order: data objects, key pairs, certificates,
// directories, files.
inline void expectHeads(ctl::ScriptedConnection& card, std::uint16_t dataObjects,
                        std::uint16_t keyPairs, std::uint16_t certificates,
                        std::uint16_t directories, std::uint16_t files) {
    card.expectTransmit(hex("80 0A 00 00 0A"),
                        concat({word(dataObjects), word(keyPairs), word(certificates),
                                word(directories), word(files)}),
                        0x9000);
}

inline void expectHeader(ctl::ScriptedConnection& card, std::uint16_t blockId,
                         const Bytes& header) {
    Bytes cmd = concat({hex("80 18"), word(blockId)});
    cmd.push_back(static_cast<std::uint8_t>(header.size()));
    card.expectTransmit(cmd, header, 0x9000);
}

inline void expectReadData(ctl::ScriptedConnection& card, const Bytes& data) {
    Bytes cmd = hex("80 1A 00 00");
    cmd.push_back(static_cast<std::uint8_t>(data.size()));
    card.expectTransmit(cmd, data, 0x9000);
}

inline void expectWriteData(ctl::ScriptedConnection& card, const Bytes& data) {
    card.expectTransmit(command("80 12 00 00", data), {}, 0x9000);
}

inline void expectCommitMetadata(ctl::ScriptedConnection& card, std::uint16_t newBlockId) {
    card.expectTransmit(hex("80 3A 00 00 02"), word(newBlockId), 0x9000);
}

// Memory information: block size, total blocks, free blocks (and two bytes
// the token does not use).
inline void expectMemoryInfo(ctl::ScriptedConnection& card, std::uint16_t blockSize,
                             std::uint16_t totalBlocks, std::uint16_t freeBlocks) {
    card.expectTransmit(hex("80 06 01 00 08"),
                        concat({word(blockSize), word(totalBlocks), word(freeBlocks), word(0)}),
                        0x9000);
}

}  // namespace tokentest
