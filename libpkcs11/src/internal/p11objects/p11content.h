// CKA_VALUE of the objects that keep a content block on the card
// (certificates and data objects). The card stores content sizes in 16 bits,
// so a value is at most 65535 bytes; a longer one is refused before anything
// reaches the card.
#pragma once

#include "amw/datastorage.h"
#include "cryptoki.h"

namespace p11content {

constexpr CK_ULONG MAX_LENGTH = amw::DataStorage::MAX_CONTENT_SIZE;

// The copy rule over the content. A size query answers the size the object's
// header reports, without reading the content from the card. Private content
// is copied without the trace of the bytes.
void copyContent(amw::DataStorage& storage, void* buffer, CK_ULONG* length);
// Replaces the content in memory (the caller has run the write checks).
void setContent(amw::DataStorage& storage, const void* buffer, CK_ULONG length);

// Commits a new object's header, then writes its value. A card creates the
// header and the content in separate steps, so a failure after the header
// reached the card would leave an object without its value that every later
// search finds; the half-made object is deleted then (best effort: the card
// may be gone) and the original error is what the caller sees.
template <class Object, class Delete>
void commitNewObject(Object& created, const std::uint8_t* value, std::size_t size, Delete deleteObject) {
    try {
        created.commitCreationOrMetadataChanges();
        if (size == 0) return;
        created.setContent(value, size);
        created.commitContentChanges();
    } catch (...) {
        try {
            deleteObject(&created);
        } catch (...) {
            // The original failure matters more than the clean-up's.
        }
        throw;
    }
}

}  // namespace p11content
