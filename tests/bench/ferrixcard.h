// Command sequences of the Ferrix card used by several suites, sent through a
// real PC/SC handle. Each returns the status word of its last command and
// stops at the first one that is not 9000.
#pragma once

#include "benchfixture.h"

#include <optional>

namespace benchtest {

struct DataObjectOnCard {
    std::uint16_t blockId = 0;
    Bytes metadata;
    Bytes content;
};

// LV metadata of a data object: PKCS#11 id, label, object id, application.
inline Bytes dataObjectMetadata(const std::string& label) {
    Bytes m;
    for (const Bytes& item : {fromHex("01 02 03 04"), Bytes(label.begin(), label.end()), fromHex("06 03 2A 03 04"),
                              Bytes{'b', 'e', 'n', 'c', 'h'}}) {
        m.push_back(static_cast<std::uint8_t>(item.size()));
        m.insert(m.end(), item.begin(), item.end());
    }
    return m;
}

inline Bytes blockIdBytes(std::uint16_t id) { return {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)}; }

// create data object -> set metadata size -> write -> commit (block id)
// -> create content -> write -> commit content; the user must be logged in.
inline std::uint16_t createDataObject(bench::PcscCard& card, DataObjectOnCard& object) {
    auto sw = card.transmitSw(withData(fromHex("80 3E 00 00"), fromHex("01 01 01 01 01 01 01 01")));
    if (sw != 0x9000) return sw;
    std::uint16_t size = static_cast<std::uint16_t>(object.metadata.size());
    sw = card.transmitSw(withData(fromHex("80 3C 00 00"), blockIdBytes(size)));
    if (sw != 0x9000) return sw;
    sw = card.transmitSw(withData(fromHex("80 12 00 00"), object.metadata));
    if (sw != 0x9000) return sw;
    Bytes committed = card.transmit(fromHex("80 3A 00 00 02"));
    sw = bench::PcscCard::statusWord(committed);
    if (sw != 0x9000 || committed.size() != 4) return sw == 0x9000 ? 0x0000 : sw;
    object.blockId = static_cast<std::uint16_t>(committed[0] << 8 | committed[1]);
    Bytes block = blockIdBytes(object.blockId);
    sw = card.transmitSw(withData({0x80, 0x1C, block[0], block[1]},
                                  blockIdBytes(static_cast<std::uint16_t>(object.content.size()))));
    if (sw != 0x9000) return sw;
    sw = card.transmitSw(withData(fromHex("80 12 00 00"), object.content));
    if (sw != 0x9000) return sw;
    return card.transmitSw(fromHex("80 38 00 00 00"));
}

// begin read metadata (17-byte header) -> read data -> begin read content ->
// read data; fills what it read back.
inline std::uint16_t readDataObject(bench::PcscCard& card, std::uint16_t blockId, Bytes& header, Bytes& metadata,
                                    Bytes& content) {
    Bytes block = blockIdBytes(blockId);
    Bytes r = card.transmit({0x80, 0x18, block[0], block[1], 0x11});
    if (bench::PcscCard::statusWord(r) != 0x9000) return bench::PcscCard::statusWord(r);
    header = body(r);
    if (header.size() != 17) return 0x0000;
    std::uint8_t metaSize = header[4];
    r = card.transmit({0x80, 0x1A, 0x00, 0x00, metaSize});
    if (bench::PcscCard::statusWord(r) != 0x9000) return bench::PcscCard::statusWord(r);
    metadata = body(r);
    r = card.transmit({0x80, 0x1E, block[0], block[1], 0x02});
    if (bench::PcscCard::statusWord(r) != 0x9000 || r.size() != 4) return bench::PcscCard::statusWord(r);
    std::uint8_t contentSize = r[1];
    r = card.transmit({0x80, 0x1A, 0x00, 0x00, contentSize});
    content = body(r);
    return bench::PcscCard::statusWord(r);
}

// Sends a command and fetches a response announced with 61xx through
// GET RESPONSE, as the card terminal layer does.
inline Bytes transmitAll(bench::PcscCard& card, const Bytes& apdu) {
    Bytes r = card.transmit(apdu);
    if ((bench::PcscCard::statusWord(r) >> 8) == 0x61) r = card.transmit({0x00, 0xC0, 0x00, 0x00, r.back()});
    return r;
}

inline std::optional<std::uint8_t> authState(bench::PcscCard& card) {
    Bytes r = card.transmit(fromHex("80 50 00 00 01"));
    if (bench::PcscCard::statusWord(r) != 0x9000 || r.size() != 3) return std::nullopt;
    return r[0];
}

}  // namespace benchtest
