// Content of certificates, data objects and files: the same card sequences
// for all three kinds. Internal to the driver.
//
// Replacing: check the free space, remove the old content block (an object
// without one is fine), then, unless the new content is empty, create a
// block of the new size, write it and commit it. `cardContentSize` follows
// what the card holds at every step, so a failure after the removal leaves it
// at 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "amw/datastorage.h"
#include "ctl/cardconnection.h"

namespace amwferrix {
namespace detail {

// `isPrivate`: the content is a secret of its owner and is traced by its
// length only. `withoutContentBlock`: the object was created in this call and
// has never had content, so there is nothing to remove first.
void replaceContent(ctl::CardConnection& connection, std::uint16_t blockId,
                    std::uint32_t& cardContentSize, const amw::DataStorage::Content& content,
                    bool isPrivate, bool withoutContentBlock = false);

// Leaves `content` as it was when the card reports no content.
void readCardContent(ctl::CardConnection& connection, std::uint16_t blockId,
                     amw::DataStorage::Content& content, bool isPrivate);

class HeaderView;

// The access conditions a replacement is created with, taken by `extract`
// from one read of the header of the object at `blockId` (`headerSize`
// bytes): the object came from a cache file, which does not keep them.
std::vector<std::uint16_t> readCreationAccess(ctl::CardConnection& connection, std::uint16_t blockId,
                                              std::size_t headerSize, const char* function,
                                              std::vector<std::uint16_t> (*extract)(const HeaderView&));

}  // namespace detail
}  // namespace amwferrix
