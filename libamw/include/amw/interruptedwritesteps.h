// The steps of the writes that a lost card may interrupt (the marks, their
// meaning and the one leftover predicate are in interruptedwrite.h; the
// container map's journal, which protects the map and the card cache file,
// is in the container map's own code). Every writer of certificates and data
// objects goes through these steps:
//   - creating: commitNewObject under creationId;
//   - replacing a value: replaceValue (in place when the identifier cannot
//     carry the mark or the card has no room for a second object);
//   - before writing: every writer settles both kinds (settleEveryKind);
//   - at the end of every call that holds the user's rights, readers too:
//     the lists it loaded are settled (settleLoadedLists, from
//     CachedToken::refreshCache), so leftovers of any kind are settled by the
//     first call that holds the user's rights, at no cost when there are none.
#pragma once

#include <memory>
#include <vector>

#include "amw/cachedtoken.h"
#include "amw/datastorage.h"
#include "amw/exceptions.h"
#include "amw/interruptedwrite.h"
#include "logger.h"
#include "vxexception.h"

namespace amw::interruptedwrite {

// Access condition values of new objects: the card chooses the ones left at
// DEFAULT; PUBLIC lets everybody read the content.
constexpr std::uint16_t AC_DEFAULT = 0xFFFF;
constexpr std::uint16_t AC_PUBLIC = 0x0101;

// Settling is best effort: a failure is logged and the call goes on.
inline void logSettlingFailure(const VxException& e) noexcept {
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) logger.log(LOG_FACILITY_AMW, L"interrupted write not settled now [%s]", e.what());
}

// Deletes what interrupted writes left in `list` and gives the adopted
// replacements their real identifier on the card. The caller has raised the
// kind's counter. Best effort: what cannot be settled now is settled by a
// later writer, and the call goes on.
template <class Object, class Delete>
void settleInterruptedWrites(CachedToken& token, std::vector<std::unique_ptr<Object>>& list,
                             Delete deleteObject) {
    std::vector<Object*> leftovers;
    std::vector<Object*> unfinished;
    for (auto& object : list) {
        if (markOf(object->getPkcs11Id()) == Mark::JOURNAL) continue;
        if (isLeftover(*object)) {
            leftovers.push_back(object.get());
        } else if (token.isUnfinishedReplacement(object.get())) {
            unfinished.push_back(object.get());
        }
    }
    for (Object* object : leftovers) {
        try {
            deleteObject(object);
        } catch (const VxException& e) {
            logSettlingFailure(e);
        }
    }
    for (Object* object : unfinished) {
        try {
            object->commitCreationOrMetadataChanges();
            token.replacementFinished(object);
        } catch (const VxException& e) {
            logSettlingFailure(e);
        }
    }
}

// True when `list` holds something to settle: a leftover, or an adopted
// replacement whose identifier on the card still carries the mark. Looks at
// memory only.
template <class Object>
bool needsSettling(CachedToken& token, std::vector<std::unique_ptr<Object>>& list) {
    for (auto& object : list) {
        if (markOf(object->getPkcs11Id()) == Mark::JOURNAL) continue;
        if (isLeftover(*object) || token.isUnfinishedReplacement(object.get())) return true;
    }
    return false;
}

// Settles one kind's list: its counter is raised (and the card written) only
// when the list has something to settle.
inline void settleCertificates(CachedToken& token) {
    if (!needsSettling(token, token.getCertificates())) return;
    token.increaseFreshnessCounter(CachedToken::CACHED_OBJECT_CERTIFICATE, true);
    settleInterruptedWrites(token, token.getCertificates(),
                            [&token](X509Certificate* doomed) { token.deleteCertificate(doomed); });
}

inline void settleDataObjects(CachedToken& token) {
    if (!needsSettling(token, token.getDataObjects())) return;
    token.increaseFreshnessCounter(CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
    settleInterruptedWrites(token, token.getDataObjects(),
                            [&token](DataObject* doomed) { token.deleteDataObject(doomed); });
}

// Settles both kinds' leftovers, whatever kind the calling writer writes.
// Called by every writer, which holds the user's rights; loads both lists.
inline void settleEveryKind(CachedToken& token) {
    settleCertificates(token);
    settleDataObjects(token);
}

// Settles the leftovers of the lists this call has loaded (from the card or
// from a cache file), when the call holds the user's rights: so the first
// call that could settle them does, though it only reads. Loads nothing, and
// sends nothing to the card when there is nothing to settle. Run at the end
// of every call, before the lists are published (CachedToken::refreshCache).
// Best effort: a failure is logged and what is left waits for a later call.
inline void settleLoadedLists(CachedToken& token) noexcept {
    if (!token.holdsUserRights()) return;
    try {
        if (token.isListLoaded(CachedToken::CACHED_OBJECT_CERTIFICATE)) settleCertificates(token);
        if (token.isListLoaded(CachedToken::CACHED_OBJECT_DATA_OBJECT)) settleDataObjects(token);
    } catch (const VxException& e) {
        logSettlingFailure(e);
    } catch (...) {
        // Nothing else can be thrown here that the call's result depends on.
    }
}

// The identifier a new object is created under: marked when it will get a
// value, which the card writes in a second step.
inline StaticBuffer<128> creationId(const StaticBuffer<128>& id, std::size_t valueSize) {
    if (valueSize == 0 || !canMark(id)) return id;
    return marked(id, Mark::CREATING);
}

// Commits a new object created under creationId(id, size): its header, its
// value, then its real identifier. On a failure the half-made object is
// deleted (best effort: the card may be gone, and then the mark keeps it out
// of every later search until a writer deletes it) and the original error is
// what the caller sees.
template <class Object, class Delete>
void commitNewObject(Object& created, const StaticBuffer<128>& id, const std::uint8_t* value,
                     std::size_t size, Delete deleteObject) {
    try {
        created.commitCreationOrMetadataChanges();
        if (size == 0) return;
        created.setContent(value, size);
        created.commitContentChanges();
        if (!created.getPkcs11Id().equals(id)) {
            created.setPkcs11Id(id);
            created.commitCreationOrMetadataChanges();
        }
    } catch (...) {
        try {
            deleteObject(&created);
        } catch (...) {
            // The original failure matters more than the clean-up's.
        }
        throw;
    }
}

// Replaces the value of `original` (its new value and metadata are set in
// memory) through `replacement`, a new object created under the replacing
// mark with the same metadata: value first, then the REPLACED mark, then the
// original is deleted, then the replacement takes the identifier. Returns
// the object that now stands for the original. Identifiers too long for the
// mark, and values on a card without room for a second copy, are rewritten
// in place.
template <class Object, class Create, class Delete>
Object* replaceValue(CachedToken& token, Object& original, Create createReplacement,
                     Delete deleteObject) {
    const StaticBuffer<128> id = original.getPkcs11Id();
    if (!canMark(id)) {
        original.commitCreationOrMetadataChanges();
        original.commitContentChanges();
        return &original;
    }
    Object* replacement = nullptr;
    try {
        replacement = createReplacement(marked(id, Mark::REPLACING));
        replacement->commitCreationOrMetadataChanges();
        const DataStorage::Content& value = original.getContent();
        replacement->setContent(value.data, value.size());
        replacement->commitContentChanges();
    } catch (const amw::CardOutOfMemoryException&) {
        // No room for a second copy: the value is rewritten in place, as a
        // card without this protection would, rather than refused.
        if (replacement != nullptr) {
            try {
                deleteObject(replacement);
            } catch (...) {
                // Marked: out of sight until a later writer deletes it.
            }
        }
        original.commitCreationOrMetadataChanges();
        original.commitContentChanges();
        return &original;
    } catch (...) {
        if (replacement != nullptr) {
            try {
                deleteObject(replacement);
            } catch (...) {
                // As below: the mark keeps a replacement that is left out of sight.
            }
        }
        throw;
    }
    try {
        replacement->setPkcs11Id(marked(id, Mark::REPLACED));
        replacement->commitCreationOrMetadataChanges();
        deleteObject(&original);
    } catch (...) {
        try {
            deleteObject(replacement);
        } catch (...) {
            // As above: the mark keeps a replacement that is left out of sight.
        }
        throw;
    }
    // The old object is gone: from here on the replacement is the object,
    // whether or not its identifier reaches the card now.
    replacement->setPkcs11Id(id);
    try {
        replacement->commitCreationOrMetadataChanges();
    } catch (...) {
        token.replacementUnfinished(replacement);
        throw;
    }
    return replacement;
}

}  // namespace amw::interruptedwrite
