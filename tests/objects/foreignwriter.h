// Other software writing the same card: the platform's smart-card stack,
// which changes the container map and raises only the card cache file's
// counters, and earlier releases of this module, which also raise the
// freshness block's files counter but know neither the map journal nor the
// marked identifiers. Both write the two files straight through the card
// driver, in place.
#pragma once

#include "amw/cachedtoken.h"
#include "internal/cmapfile.h"
#include "objectstestsupport.h"

namespace objectstest {

class ForeignWriter {
public:
    enum class Kind { PLATFORM, EARLIER_RELEASE };

    // `beginCall` opens a logged-in call on the card; only its card token is used.
    ForeignWriter(std::function<std::unique_ptr<amw::CachedToken>()> beginCall, Kind kind)
        : beginCall(std::move(beginCall)), kind(kind) {}

    // Appends a valid record named `name` with a signature key size.
    void addRecord(const std::string& name) {
        write([&](Bytes& map) {
            Bytes record(cmapfile::RECORD_SIZE, 0);
            for (std::size_t i = 0; i < name.size(); ++i) record[2 * i] = static_cast<std::uint8_t>(name[i]);
            record[80] = cmapfile::FLAG_VALID;
            record[82] = 0x00;
            record[83] = 0x08;
            map.resize(map.size() / cmapfile::RECORD_SIZE * cmapfile::RECORD_SIZE);
            map.insert(map.end(), record.begin(), record.end());
        });
    }

    // Moves the default mark to record `index`.
    void moveDefault(std::size_t index) {
        write([&](Bytes& map) {
            for (std::size_t i = 0; i * cmapfile::RECORD_SIZE + 80 < map.size(); ++i) {
                std::uint8_t& flags = map[i * cmapfile::RECORD_SIZE + 80];
                flags = static_cast<std::uint8_t>(i == index ? (flags | cmapfile::FLAG_DEFAULT)
                                                             : (flags & ~cmapfile::FLAG_DEFAULT));
            }
        });
    }

    // Deletes the container at `index`: its record is zeroed.
    void deleteRecord(std::size_t index) {
        write([&](Bytes& map) {
            if (index < map.size() / cmapfile::RECORD_SIZE)
                std::fill_n(map.begin() + static_cast<std::ptrdiff_t>(index * cmapfile::RECORD_SIZE),
                            cmapfile::RECORD_SIZE, 0);
        });
    }

private:
    template <class Change>
    void write(Change change) {
        auto call = beginCall();
        amw::Token& card = call->getToken();
        amw::FileList files;
        card.listFiles(files);
        amw::File* cardcf = nullptr;
        amw::File* map = nullptr;
        for (auto& file : files) {
            if (file->getFileName().equals(buf<8>("cardcf"))) cardcf = file.get();
            if (file->getFileName().equals(buf<8>("cmapfile"))) map = file.get();
        }
        ASSERT_NE(nullptr, cardcf);
        ASSERT_NE(nullptr, map);
        const auto& cf = cardcf->getContent();
        Bytes counters(cf.data, cf.data + cf.size());
        if (counters.size() < 6) counters.resize(6, 0);
        for (std::size_t offset : {2u, 4u}) {
            const unsigned value = (counters[offset] | (counters[offset + 1] << 8)) + 1;
            counters[offset] = static_cast<std::uint8_t>(value);
            counters[offset + 1] = static_cast<std::uint8_t>(value >> 8);
        }
        const auto& mapContent = map->getContent();
        Bytes records(mapContent.data, mapContent.data + mapContent.size());
        change(records);
        if (kind == Kind::EARLIER_RELEASE) {
            amw::FreshnessRecord freshness;
            if (!card.getCacheFreshness(freshness)) freshness = amw::FreshnessRecord();
            ++freshness.counter(amw::CachedToken::CACHED_OBJECT_FILE);
            freshness.digest(amw::CachedToken::CACHED_OBJECT_FILE).fill(0);
            card.setCacheFreshness(freshness);
        }
        cardcf->setContent(counters.data(), counters.size());
        cardcf->commitContentChanges();
        map->setContent(records.data(), records.size());
        map->commitContentChanges();
    }

    std::function<std::unique_ptr<amw::CachedToken>()> beginCall;
    Kind kind;
};

}  // namespace objectstest
