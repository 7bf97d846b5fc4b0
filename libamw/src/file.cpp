#include "amw/file.h"

#include "samekind.h"

namespace amw {

File::File(const StaticBuffer<8>& fileName_, const StaticBuffer<8>& directoryName_,
           std::uint16_t acRead, std::uint16_t acSecond, std::uint16_t acThird)
    : fileName(fileName_), directoryName(directoryName_), access{acRead, acSecond, acThird} {}

void File::writeStream(std::ostream& stream) const {
    writeDataStorage(stream);
    writeBuffer(stream, fileName);
    writeBuffer(stream, directoryName);
    for (std::uint16_t value : access) {
        writeUint16(stream, value);
    }
}

void File::readStream(std::istream& stream) {
    readDataStorage(stream);
    readBuffer(stream, fileName);
    readBuffer(stream, directoryName);
    for (std::uint16_t& value : access) {
        value = readUint16(stream);
    }
}

std::int32_t File::compare(const SerializableEntity& other) const {
    const File& file = sameKind<File>(other, "File");
    std::int32_t byDirectory = compareByteStrings(directoryName, file.directoryName);
    return byDirectory != 0 ? byDirectory : compareByteStrings(fileName, file.fileName);
}

}  // namespace amw
