#include "amw/datastorage.h"


#include "vxexception.h"

namespace amw {

namespace {

// Content may be the value of a private data object: it is zeroed before its
// memory goes back, like PINs and key components. Bytes past the length are
// zero already (buffers are filled by assign, or read from an emptied
// buffer), so the bytes in use are all there is to wipe.
void discard(std::unique_ptr<DataStorage::Content>& content) noexcept {
    if (!content) return;
    volatile std::uint8_t* bytes = content->data;
    const std::size_t used = content->size() < content->capacity() ? content->size() : content->capacity();
    for (std::size_t i = 0; i < used; ++i) bytes[i] = 0;
    content->length = 0;
    content.reset();
}

}  // namespace

DataStorage::DataStorage() = default;

DataStorage::DataStorage(const DataStorage& other)
    : Storage(other),
      content(other.content ? std::make_unique<Content>(*other.content) : nullptr),
      cachedContent(other.cachedContent),
      contentLoaded(other.contentLoaded),
      contentSize(other.contentSize) {}

DataStorage& DataStorage::operator=(const DataStorage& other) {
    if (this != &other) {
        Storage::operator=(other);
        std::unique_ptr<Content> copy = other.content ? std::make_unique<Content>(*other.content) : nullptr;
        discard(content);
        content = std::move(copy);
        cachedContent = other.cachedContent;
        contentLoaded = other.contentLoaded;
        contentSize = other.contentSize;
    }
    return *this;
}

DataStorage::~DataStorage() { discard(content); }

DataStorage::Content& DataStorage::contentBuffer() {
    if (!content) {
        content = std::make_unique<Content>();
    }
    return *content;
}

const DataStorage::Content& DataStorage::getContent() {
    const bool fromCacheFile = contentLoaded && !content;
    Content& buffer = contentBuffer();
    if (!contentLoaded) {
        buffer.clear();
        readContent(buffer);
        contentLoaded = true;
    } else if (fromCacheFile) {
        buffer.assign(cachedContent.data(), cachedContent.size());
        std::vector<std::uint8_t>().swap(cachedContent);
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
    contentBuffer().assign(data, length);
    std::vector<std::uint8_t>().swap(cachedContent);
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
            writeBufferBytes(stream, cachedContent.data(), cachedContent.size());
        }
    }
}

void DataStorage::readDataStorage(std::istream& stream) {
    contentSize = readUint32(stream);
    contentLoaded = false;
    discard(content);
    std::vector<std::uint8_t>().swap(cachedContent);
    if (readBool(stream)) {
        const std::uint32_t length = readBufferLength(stream, MAX_CONTENT_SIZE);
        cachedContent.resize(length);
        if (length > 0) {
            readBytes(stream, cachedContent.data(), length);
        }
        contentLoaded = true;
    }
}

}  // namespace amw
