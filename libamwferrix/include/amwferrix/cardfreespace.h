// The guard every content write passes before it touches the card.
#pragma once

#include <cstdint>

#include "ctl/cardconnection.h"

namespace amwferrix {

// Throws amw::CardOutOfMemoryException "CARD OUT OF MEMORY" when content of
// `newSize` bytes would not fit in place of `oldSize` bytes: the blocks the
// new content needs must not exceed the free blocks plus the blocks that the
// old content releases. Nothing is asked of the card unless the content grows.
void checkCardFreeSpace(ctl::CardConnection& connection, std::uint64_t oldSize,
                        std::uint64_t newSize);

}  // namespace amwferrix
