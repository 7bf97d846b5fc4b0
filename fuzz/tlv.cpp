// The TLV and LV readers over arbitrary bytes, driven by a script at the
// front of the input:
//   1 byte   mode: even = TLV reads, odd = LV reads
//   1 byte   number of steps n (at most 64)
//   2n bytes the steps: an operation byte and a tag (TLV) or capacity (LV)
//   rest     the bytes read
// Whatever the bytes, a read either succeeds inside the input or throws the
// reader's own exception; the cursor never passes the end, and a copy never
// exceeds the capacity it was given. LV items that were read are written
// back with LvWriter and must read back the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzzenvironment.h"
#include "fuzzinput.h"
#include "staticbuffer.h"
#include "tlvparser.h"
#include "vxexception.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

void runTlv(const std::vector<std::uint8_t>& steps, const std::vector<std::uint8_t>& bytes) {
    TlvReader reader(bytes.data(), bytes.size());
    for (std::size_t i = 0; i + 1 < steps.size(); i += 2) {
        const std::uint8_t operation = steps[i];
        const std::uint8_t tag = steps[i + 1];
        const bool includeHeader = (operation & 0x10) != 0;
        const std::uint64_t before = reader.getOffset();
        try {
            switch (operation % 5) {
                case 0: {  // size query: consumes nothing
                    std::uint64_t length = 0;
                    reader.readNext(tag, nullptr, &length, includeHeader, false);
                    require(reader.getOffset() == before);
                    require(length <= bytes.size());
                    break;
                }
                case 1: {  // copy into a buffer of a chosen capacity
                    std::uint8_t buffer[32];
                    const std::uint64_t capacity = operation >> 3;
                    std::uint64_t length = capacity;
                    reader.readNext(tag, buffer, &length, includeHeader, false);
                    require(length <= capacity);
                    break;
                }
                case 2:  // enter a constructed element, skip anything else
                    reader.readNext(tag, nullptr, nullptr, false, false);
                    break;
                case 3:  // skip
                    reader.readNext(tag, nullptr, nullptr, false, true);
                    break;
                default: {  // the StaticBuffer form
                    StaticBuffer<64> out;
                    reader.readNext(tag, &out, includeHeader);
                    require(out.length <= 64);
                    break;
                }
            }
        } catch (const VxException&) {
            // The reader is discarded after a failure, as its callers do.
            return;
        }
        require(reader.getOffset() >= before && reader.getOffset() <= bytes.size());
    }
}

void runLv(const std::vector<std::uint8_t>& steps, const std::vector<std::uint8_t>& bytes) {
    LvReader reader(bytes.data(), bytes.size());
    LvWriter writer;
    std::vector<std::vector<std::uint8_t>> items;
    std::vector<bool> present;
    for (std::size_t i = 0; i + 1 < steps.size(); i += 2) {
        const unsigned flags = steps[i] & 0x03;
        std::uint8_t buffer[256];
        std::uint64_t length = steps[i + 1];
        const std::uint64_t capacity = length;
        const std::uint64_t before = reader.getOffset();
        bool wasPresent = false;
        try {
            wasPresent = reader.read(buffer, &length, flags);
        } catch (const VxException&) {
            break;
        }
        require(length <= capacity);
        require(reader.getOffset() > before && reader.getOffset() <= bytes.size());
        try {
            if (wasPresent) {
                writer.write(buffer, length);
            } else {
                writer.writeAbsent();
            }
        } catch (const VxException&) {
            // What was read always fits back into the writer's block, unless
            // the input held more than a block's worth of items.
            require(reader.getOffset() > LvWriter::CAPACITY);
            break;
        }
        items.emplace_back(buffer, buffer + length);
        present.push_back(wasPresent);
    }
    LvReader again(writer.getData(), writer.getLength());
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::uint8_t buffer[256];
        std::uint64_t length = sizeof buffer;
        bool wasPresent = false;
        try {
            wasPresent = again.read(buffer, &length, 0);
        } catch (const VxException&) {
            require(false);
        }
        require(wasPresent == present[i]);
        require(length == items[i].size());
        require(length == 0 || std::memcmp(buffer, items[i].data(), length) == 0);
    }
    require(again.atEnd());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareEnvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const std::uint8_t mode = input.byte();
    const std::size_t stepCount = input.byte() % 65;
    const std::vector<std::uint8_t> steps = input.bytes(2 * stepCount);
    const std::vector<std::uint8_t> bytes = input.rest();
    if (mode % 2 == 0) {
        runTlv(steps, bytes);
    } else {
        runLv(steps, bytes);
    }
    return 0;
}
