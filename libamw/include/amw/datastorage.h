// Objects with a content block on the card: certificates, data objects and
// files. The content is read from the card only when first asked for; objects
// listed from the card carry none until then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "amw/storage.h"
#include "staticbuffer.h"

namespace amw {

class DataStorage : public Storage {
public:
    using Content = StaticBuffer<65536>;
    // The card stores content sizes in 16 bits.
    static constexpr std::size_t MAX_CONTENT_SIZE = 65535;

    DataStorage();
    DataStorage(const DataStorage& other);
    DataStorage& operator=(const DataStorage& other);
    ~DataStorage() override;

    virtual void commitCreationOrMetadataChanges() = 0;
    virtual void commitContentChanges() = 0;
    // Private content is never written to a cache file.
    virtual bool isPrivateContent() const = 0;
    // Reads the content from the card into `content`.
    virtual void readContent(Content& content) = 0;
    // The object's access conditions in the order its kind's create takes
    // them (a replacement of the object is created with them), read from
    // the card when not known; empty when the card cannot tell.
    virtual std::vector<std::uint16_t> getCreationAccessConditions() { return {}; }

    // The content, read through readContent the first time (from an emptied
    // buffer) and kept from then on.
    const Content& getContent();
    // Replaces the content (at most MAX_CONTENT_SIZE bytes, else
    // InvalidArgumentException); it counts as loaded and sets the content size.
    void setContent(const std::uint8_t* data, std::size_t length);
    bool isContentLoaded() const noexcept { return contentLoaded; }

    // Size of the content as the card's header reports it.
    std::uint32_t getContentSize() const noexcept { return contentSize; }
    void setContentSize(std::uint32_t size) noexcept { contentSize = size; }

protected:
    // The part every content-bearing record starts with:
    //   content size (4), content flag (1) [+ content LV (<= 65535)]
    // The flag is 1 only for loaded content that is not private.
    void writeDataStorage(std::ostream& stream) const;
    void readDataStorage(std::istream& stream);

private:
    Content& contentBuffer();

    // Allocated on first use: most listed objects never load their content.
    std::unique_ptr<Content> content;
    // Content read from a cache file, kept at its own size until somebody
    // asks for it: a 64 KiB buffer for every object of a list made each
    // search from current cache files allocate and zero about a megabyte.
    std::vector<std::uint8_t> cachedContent;
    bool contentLoaded = false;
    std::uint32_t contentSize = 0;
};

}  // namespace amw
