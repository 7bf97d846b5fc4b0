// A cursor over one fuzz input, read front to back. Reads past the end give
// zeros (and shorter byte strings), so every decoder ends on its own when the
// input runs out; seeds are easy to write because nothing is read from the
// back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

    std::uint8_t byte() { return offset < size ? data[offset++] : 0; }
    // Big-endian, as the card sends its numbers.
    std::uint16_t word() {
        const std::uint16_t high = byte();
        return static_cast<std::uint16_t>((high << 8) | byte());
    }
    std::uint32_t dword() {
        const std::uint32_t high = word();
        return (high << 16) | word();
    }
    // Up to `count` bytes: fewer when the input ends first.
    std::vector<std::uint8_t> bytes(std::size_t count) {
        const std::size_t available = count < size - offset ? count : size - offset;
        std::vector<std::uint8_t> out(data + offset, data + offset + available);
        offset += available;
        return out;
    }
    std::vector<std::uint8_t> rest() { return bytes(size - offset); }

    std::size_t remaining() const { return size - offset; }
    bool atEnd() const { return offset == size; }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t offset = 0;
};

}  // namespace fuzz
