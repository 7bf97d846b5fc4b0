#include "amw/datastorage.h"

#include <cstring>

#include "vxexception.h"

namespace amw {

DataStorage::DataStorage() = default;

DataStorage::DataStorage(const DataStorage& other)
    : Storage(other),
      content(other.content ? std::make_unique<Content>(*other.content) : nullptr),
      contentLoaded(other.contentLoaded),
      contentSize(other.contentSize) {}

DataStorage& DataStorage::operator=(const DataStorage& other) {
    if (this != &other) {
        Storage::operator=(other);
        content = other.content ? std::make_unique<Content>(*other.content) : nullptr;
        contentLoaded = other.contentLoaded;
        contentSize = other.contentSize;
    }
    return *this;
}

DataStorage::~DataStorage() = default;

DataStorage::Content& DataStorage::contentBuffer() {
    if (!content) {
        content = std::make_unique<Content>();
    }
    return *content;
}

const DataStorage::Content& DataStorage::getContent() {
    Content& buffer = contentBuffer();
    if (!contentLoaded) {
        buffer = Content();
        readContent(buffer);
        contentLoaded = true;
    }
    return buffer;
}

void DataStorage::setContent(const std::uint8_t* data, std::size_t length) {
    if (length > MAX_CONTENT_SIZE) {
        throw InvalidArgumentException::range("length", static_cast<long long>(length), 0,
                                              MAX_CONTENT_SIZE, "amw::DataStorage::setContent",
                                              __FILE__, __LINE__);
    }
    if (data == nullptr && length > 0) {
        throw InvalidArgumentException::nullPointer("data", "amw::DataStorage::setContent",
                                                    __FILE__, __LINE__);
    }
    Content& buffer = contentBuffer();
    buffer = Content();
    if (length > 0) {
        std::memcpy(buffer.data, data, length);
    }
    buffer.length = length;
    contentLoaded = true;
    contentSize = static_cast<std::uint32_t>(length);
}

void DataStorage::writeDataStorage(std::ostream& stream) const {
    writeUint32(stream, contentSize);
    const bool cached = contentLoaded && !isPrivateContent();
    writeBool(stream, cached);
    if (cached) {
        if (content) {
            writeBuffer(stream, *content);
        } else {
            writeUint32(stream, 0);
        }
    }
}

void DataStorage::readDataStorage(std::istream& stream) {
    contentSize = readUint32(stream);
    contentLoaded = false;
    if (readBool(stream)) {
        readBuffer(stream, contentBuffer(), MAX_CONTENT_SIZE);
        contentLoaded = true;
    } else if (content) {
        *content = Content();
    }
}

}  // namespace amw
