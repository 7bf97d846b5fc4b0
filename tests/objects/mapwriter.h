// Our own writer of the container map in the object tests: a new key pair's
// record, as key generation writes it.
#pragma once

#include <cstdint>

#include "amw/keypair.h"
#include "internal/cmapfile.h"
#include "objectstestsupport.h"

namespace objectstest {

// The record goes to the index chosen for a new pair, named from the
// identifier, with the key's size; the index is returned.
inline std::uint8_t addNewPair(amw::CachedToken& call, const char* id,
                               std::uint32_t keySpec = amw::KeyPair::SIGNATURE_KEY, std::uint32_t bits = 1024) {
    const std::uint8_t index = cmapfile::chooseContainerIndex(call);
    cmapfile::addContainerInCmapfile(call, index, buf<128>(id), keySpec, bits);
    return index;
}

}  // namespace objectstest
