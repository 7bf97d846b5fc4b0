// CKA_VALUE of the objects that keep a content block on the card
// (certificates and data objects). The card stores content sizes in 16 bits,
// so a value is at most 65535 bytes; a longer one is refused before anything
// reaches the card.
#pragma once

#include "amw/datastorage.h"
#include "amw/interruptedwrite.h"
#include "amw/interruptedwritesteps.h"
#include "cryptoki.h"
#include "p11exceptions.h"

namespace p11content {

constexpr CK_ULONG MAX_LENGTH = amw::DataStorage::MAX_CONTENT_SIZE;

using amw::interruptedwrite::AC_DEFAULT;
using amw::interruptedwrite::AC_PUBLIC;

// The copy rule over the content. A size query answers the size the object's
// header reports, without reading the content from the card. Private content
// is copied without the trace of the bytes.
void copyContent(amw::DataStorage& storage, void* buffer, CK_ULONG* length);
// Replaces the content in memory (the caller has run the write checks).
void setContent(amw::DataStorage& storage, const void* buffer, CK_ULONG length);

// An application's CKA_ID may not begin with the mark's tag: the object
// would be out of sight, and the next writer would delete or rename it.
inline void refuseMarkedId(const StaticBuffer<128>& id) {
    if (amw::interruptedwrite::carriesMarkTag(id)) throw AttributValueInvalidException::invalidValue(CKA_ID);
}

}  // namespace p11content
