// Writes that a lost card can interrupt, made recognisable afterwards.
//
// The card creates an object's header and its value in separate steps and
// replaces a value by removing the old one first, so a card pulled out (or
// reset) in the middle would leave an object without its value, or an
// existing object without its old value. Certificates and data objects with
// a value are therefore written under a marked identifier: the mark prefixes
// the real identifier with a tag and the state of the write.
//   - creating:  the new object gets the real identifier only once its
//                value is on the card.
//   - replacing: the new value goes into a new object with the same
//                metadata (REPLACING); once the value is whole the new object
//                says so (REPLACED); then the old object is deleted, and only
//                then the new one takes the real identifier.
// How a marked object found in a list is settled: a REPLACED object whose
// old object is gone is the object (every reader adopts it under its real
// identifier, and a list holding it is not cached until its identifier is
// written); every other marked object is left over, out of sight of every
// enumerator and lookup (isLeftover). The first call that holds the user's
// rights, whatever it does, writes the adopted identifiers and deletes the
// leftovers of the lists it loaded. The write steps are in
// interruptedwritesteps.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "staticbuffer.h"

namespace amw::interruptedwrite {

// JOURNAL marks a data object that records a write of other objects; it is
// out of sight like the rest, but only the writer that owns it settles it.
enum class Mark : std::uint8_t { NONE = 0, CREATING = 'C', REPLACING = 'R', REPLACED = 'W', JOURNAL = 'J' };

constexpr std::size_t MARK_SIZE = 9;
// Identifiers longer than this cannot carry the mark; their writes are made
// in place, unprotected.
constexpr std::size_t MAX_MARKABLE_ID = 128 - MARK_SIZE;

bool canMark(const StaticBuffer<128>& id) noexcept;
// `id` under the mark (canMark must hold).
StaticBuffer<128> marked(const StaticBuffer<128>& id, Mark mark);
Mark markOf(const StaticBuffer<128>& id) noexcept;
// True when `id` begins with the mark's tag, whatever follows: such an
// identifier is never accepted from an application, and an object carrying
// it is out of sight of every search and lookup.
bool carriesMarkTag(const StaticBuffer<128>& id) noexcept;
// The real identifier behind a marked one.
StaticBuffer<128> unmarked(const StaticBuffer<128>& id);

// The one test every enumerator and lookup applies: an object whose
// identifier carries the mark's tag is left over from an interrupted write
// (or is a journal) and is nobody's object.
template <class Object>
bool isLeftover(const Object& object) noexcept {
    return carriesMarkTag(object.getPkcs11Id());
}

// Adopts every finished replacement of the list: a REPLACED mark whose real
// identifier no object of the list has. Returns the adopted objects.
template <class List>
std::vector<typename List::value_type::element_type*> adoptReplacements(List& list) {
    std::vector<typename List::value_type::element_type*> adopted;
    for (auto& candidate : list) {
        if (markOf(candidate->getPkcs11Id()) != Mark::REPLACED) continue;
        const StaticBuffer<128> real = unmarked(candidate->getPkcs11Id());
        bool taken = false;
        for (auto& other : list) {
            if (other->getPkcs11Id().equals(real)) taken = true;
        }
        if (taken) continue;
        candidate->setPkcs11Id(real);
        adopted.push_back(candidate.get());
    }
    return adopted;
}

}  // namespace amw::interruptedwrite
