// Entities are only ever compared with entities of their own kind (one cache
// file holds one kind); anything else is a programming error.
#pragma once

#include "cachememory/serializableentity.h"
#include "vxexception.h"

namespace amw {

template <class T>
const T& sameKind(const SerializableEntity& other, const char* className) {
    const T* typed = dynamic_cast<const T*>(&other);
    if (typed == nullptr) {
        throw InternalErrorException("%s::compare with an entity of another kind", className);
    }
    return *typed;
}

}  // namespace amw
