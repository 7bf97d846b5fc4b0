#include "objectheader.h"

#include <cstring>

#include "amwferrix/apdu.h"
#include "vxexception.h"

namespace amwferrix {
namespace detail {

HeaderView::HeaderView(const std::uint8_t* header, std::size_t headerSize,
                       std::size_t requiredSize, const char* function, const char* file, int line)
    : data(header), size(headerSize) {
    if (header == nullptr) {
        throw InvalidArgumentException::nullPointer("header", function, file, line);
    }
    if (headerSize < requiredSize) {
        throw InvalidArgumentException::range("headerSize", static_cast<long long>(headerSize),
                                              static_cast<long long>(requiredSize),
                                              static_cast<long long>(requiredSize), function, file,
                                              line);
    }
}

const std::uint8_t* HeaderView::take(std::size_t offset, std::size_t count) const {
    if (count > size || offset > size - count) {
        throw InternalErrorException("object header of %llu bytes read at %llu+%llu",
                                     static_cast<unsigned long long>(size),
                                     static_cast<unsigned long long>(offset),
                                     static_cast<unsigned long long>(count));
    }
    return data + offset;
}

std::uint8_t HeaderView::byte(std::size_t offset) const { return *take(offset, 1); }

std::uint16_t HeaderView::hostWord(std::size_t offset) const {
    std::uint16_t value;
    std::memcpy(&value, take(offset, 2), 2);
    return value;
}

std::uint16_t HeaderView::bigEndianWord(std::size_t offset) const {
    const std::uint8_t* p = take(offset, 2);
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

const std::uint8_t* HeaderView::bytes(std::size_t offset, std::size_t count) const {
    return take(offset, count);
}

Metadata::Metadata(ctl::CardConnection& connection, std::uint16_t metaDataSize,
                   const char* function, const char* file, int line)
    : bytes{}, length(metaDataSize) {
    if (metaDataSize > MAX_METADATA_SIZE) {
        throw InvalidArgumentException::range("header.metaDataSize", metaDataSize, 0,
                                              static_cast<long long>(MAX_METADATA_SIZE), function,
                                              file, line);
    }
    apdu::readData(connection, bytes, length);
}

std::uint8_t readMandatoryByte(LvReader& reader) {
    std::uint8_t value = 0;
    std::uint64_t length = 1;
    reader.read(&value, &length, LvReader::FLAG_MANDATORY | LvReader::FLAG_EXACT_SIZE);
    return value;
}

StaticBuffer<8> nameFromHeader(const std::uint8_t* bytes, bool stopAtFirstZero) {
    std::size_t length = 0;
    if (stopAtFirstZero) {
        while (length < 8 && bytes[length] != 0) {
            ++length;
        }
    } else {
        length = 8;
        while (length > 0 && bytes[length - 1] == 0) {
            --length;
        }
    }
    StaticBuffer<8> name(bytes, length);
    for (std::size_t i = 0; i < length; ++i) {
        if (name.data[i] >= 'A' && name.data[i] <= 'Z') {
            name.data[i] = static_cast<std::uint8_t>(name.data[i] - 'A' + 'a');
        }
    }
    return name;
}

std::uint16_t writeAnnouncedMetadata(ctl::CardConnection& connection, const LvWriter& metadata) {
    apdu::writeData(connection, metadata.getData(), metadata.getLength());
    return apdu::commitCreationOrUpdateMetadata(connection);
}

std::uint16_t writeMetadata(ctl::CardConnection& connection, std::uint16_t blockId,
                            const LvWriter& metadata) {
    if (blockId == apdu::BLOCK_ID_NONE) {
        apdu::setMetadataSize(connection, metadata.getLength());
    } else {
        apdu::beginUpdateMetadata(connection, blockId, metadata.getLength());
    }
    return writeAnnouncedMetadata(connection, metadata);
}

}  // namespace detail
}  // namespace amwferrix
