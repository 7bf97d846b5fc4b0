#include "amwferrix/cardfreespace.h"

#include "amw/exceptions.h"
#include "amwferrix/apdu.h"
#include "logger.h"
#include "tokentrace.h"

namespace amwferrix {

namespace {

std::uint64_t blocksFor(std::uint64_t bytes, std::uint64_t blockSize) {
    return bytes / blockSize + (bytes % blockSize != 0 ? 1 : 0);
}

}  // namespace

void checkCardFreeSpace(ctl::CardConnection& connection, std::uint64_t oldSize,
                        std::uint64_t newSize) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::checkCardFreeSpace");
    trace::logNumber(L"oldSize", oldSize);
    trace::logNumber(L"newSize", newSize);
    if (newSize <= oldSize) {
        return;
    }
    std::uint16_t blockSize = 0;
    std::uint32_t totalBytes = 0;
    std::uint32_t availableBytes = 0;
    apdu::getMemoryInfo(connection, &blockSize, &totalBytes, &availableBytes);
    // A card reporting no block size cannot be reasoned about; treating it as
    // full is the safe answer (and avoids dividing by zero).
    if (blockSize == 0) {
        trace::logMessage(L"card reports block size 0");
        throw amw::CardOutOfMemoryException();
    }
    const std::uint64_t needed = blocksFor(newSize, blockSize);
    const std::uint64_t released = blocksFor(oldSize, blockSize);
    const std::uint64_t free = blocksFor(availableBytes, blockSize);
    trace::logNumber(L"needed_block_count", needed);
    trace::logNumber(L"released_block_count", released);
    trace::logNumber(L"free_block_count", free);
    if (needed > free + released) {
        throw amw::CardOutOfMemoryException();
    }
}

}  // namespace amwferrix
