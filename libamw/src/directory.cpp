#include "amw/directory.h"

#include "samekind.h"

namespace amw {

std::int32_t Directory::compare(const SerializableEntity& other) const {
    return compareByteStrings(directoryName,
                              sameKind<Directory>(other, "Directory").directoryName);
}

void Directory::writeDirectoryName(std::ostream& stream) const {
    writeBuffer(stream, directoryName);
}

void Directory::readDirectoryName(std::istream& stream) { readBuffer(stream, directoryName); }

}  // namespace amw
