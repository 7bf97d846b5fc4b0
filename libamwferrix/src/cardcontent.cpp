#include "cardcontent.h"

#include "amwferrix/apdu.h"
#include "amwferrix/cardfreespace.h"
#include "objectheader.h"
#include "tokentrace.h"
#include "vxexception.h"

namespace amwferrix {
namespace detail {

void replaceContent(ctl::CardConnection& connection, std::uint16_t blockId,
                    std::uint32_t& cardContentSize, const amw::DataStorage::Content& content,
                    bool isPrivate, bool withoutContentBlock) {
    // The card keeps content sizes in 16 bits: a longer content would be cut
    // on the card, so it is refused before anything is sent.
    if (content.length > amw::DataStorage::MAX_CONTENT_SIZE) {
        throw InvalidArgumentException::range(
            "content.length", static_cast<long long>(content.length), 0,
            static_cast<long long>(amw::DataStorage::MAX_CONTENT_SIZE),
            "amwferrix::replaceContent", __FILE__, __LINE__);
    }
    checkCardFreeSpace(connection, cardContentSize, content.length);
    if (!withoutContentBlock) apdu::removeContent(connection, blockId);
    cardContentSize = 0;
    if (content.length == 0) {
        return;
    }
    apdu::createContent(connection, blockId, content.length);
    apdu::writeData(connection, content.data, content.length, isPrivate);
    apdu::commitUpdateContent(connection);
    cardContentSize = static_cast<std::uint32_t>(content.length);
}

void readCardContent(ctl::CardConnection& connection, std::uint16_t blockId,
                     amw::DataStorage::Content& content, bool isPrivate) {
    const std::uint16_t size = apdu::beginReadContent(connection, blockId);
    trace::logNumber(L"size", size);
    if (size == 0) {
        return;
    }
    content.length = size;
    apdu::readData(connection, content.data, size, isPrivate);
}

std::vector<std::uint16_t> readCreationAccess(ctl::CardConnection& connection, std::uint16_t blockId,
                                              std::size_t headerSize, const char* function,
                                              std::vector<std::uint16_t> (*extract)(const HeaderView&)) {
    std::vector<std::uint8_t> header(headerSize);
    apdu::beginReadMetadata(connection, blockId, header.data(), header.size());
    const HeaderView view(header.data(), header.size(), headerSize, function, __FILE__, __LINE__);
    return extract(view);
}

}  // namespace detail
}  // namespace amwferrix
