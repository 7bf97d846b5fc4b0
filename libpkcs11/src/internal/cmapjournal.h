// How the container map and the card cache file (layout in cmaprecords.h)
// are written on a card that other software writes too: the platform's
// smart-card stack and earlier releases of this module, which know neither
// this module's journal nor its freshness block.
//
// The card rewrites a file by removing its content first, so a card lost in
// the middle would leave the map or the card cache file empty or cut short
// for good. A write therefore first stores, in a journal (a data object
// under the journal mark of amw/interruptedwrite.h, out of sight of
// searches), the card cache file and the digest of the map as they are on
// the card and both new contents; then it writes the card cache file, then
// the map, then deletes the journal. A map too big for a journal, or a card
// without room for one, is written in place.
//
// New counters: the card cache file's two counters are raised by a random
// step of 2 to 257, not by 1. Another writer raises them by 1 from the
// values it reads, so after a cut-off write of ours it can never produce
// the journal's new counters over a map of its own; that is what lets a
// journal tell its own half-written card cache file from another writer's.
// Readers compare the counters for equality only.
//
// A whole journal holds the truth while the card cache file on the card is
// its new value (then the map is the old one, empty, or the new one written
// so far over a zeroed block), or its old value or cut short while the map
// is still the one it was written over. Anything else means another writer
// changed the files after the cut: the journal is deleted unused. A damaged
// journal never holds the truth (the files were not touched yet).
//
// The cache files: while a journal exists, both files are read from the
// card (never from the files cache), and contents with a journal applied in
// memory are never saved to the files cache: the card does not hold them
// yet, and another writer may still change the card's real files, raising
// the counters the cache would then wrongly claim. Once a writer has put
// the contents on the card, the list is cached as usual.
//
// The card cache file is compared with the card before every map write and
// before a container index is chosen (one short read per call, unless the
// files were read from the card in the same call): the platform's stack
// raises its counters but never this module's freshness block.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "internal/cmaprecords.h"

namespace cmapfile {

// The two files of a card, as found through the token's lookups.
struct Files {
    amw::File* cardcf;
    amw::File* cmapfile;
    // A journal left by a cut-off writer, whole or damaged; null when none.
    amw::DataObject* journal = nullptr;
    // The journal is whole and matches the card: its contents are in memory.
    bool journalWhole = false;
    // The last whole card cache file seen in this call when the card's
    // differs (from the cache file or the card before a journal is applied).
    std::vector<std::uint8_t> lastKnownCardcf;
};

struct JournalContents {
    // False for journals of the first format, which did not record it.
    bool hasOldCardcf = false;
    Content oldCardcf;
    // First 8 bytes of the SHA-256 of the map the journal was written over.
    std::uint8_t oldMapDigest[8] = {};
    Content cardcf;
    Content map;
};

// The journal's content for the two files' contents (see above); false when
// they do not fit in one file.
bool encodeJournal(const std::uint8_t* oldCardcf, std::size_t oldCardcfLength,
                   const std::uint8_t* oldMap, std::size_t oldMapLength, const std::uint8_t* cardcf,
                   std::size_t cardcfLength, const std::uint8_t* map, std::size_t mapLength,
                   Content& journal);
// The contents of a whole journal; false for a damaged one.
bool decodeJournal(const std::uint8_t* journal, std::size_t length, JournalContents& contents);
// Whether a whole journal may be applied over the card's files.
bool journalMatchesCard(const JournalContents& contents, const std::uint8_t* cardcf,
                        std::size_t length, const std::uint8_t* map, std::size_t mapLength);

// Both files as the card holds them, a matching journal applied in memory.
Files loadCmapfileAndCardcf(amw::CachedToken& token);
// The map as this call already knows it (its cache file, or the card),
// not compared with the card: enough to look for a record naming one of our
// own pairs, which no other writer makes.
const Content& knownMap(amw::CachedToken& token);

// The one frame of every map write. `change` edits a working copy of the
// map and runs its checks (it may repair key objects of this module first,
// see cmapfile.cpp); every check of the frame (the card cache file, the
// journal's size) runs before the first write of the files. Then the
// token's counters are raised, a journal left by a cut-off writer is
// settled, and both files are written through a new journal, the card
// cache file first.
void rewriteMap(amw::CachedToken& token, const std::function<void(Content& map)>& change);

}  // namespace cmapfile
