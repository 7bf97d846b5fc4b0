#include "fuzzcard.h"

#include <algorithm>
#include <cstring>

#include "vxexception.h"

namespace fuzz {

std::uint32_t FuzzCard::askedLength(const std::uint8_t* command, std::uint32_t commandLength) {
    if (commandLength <= 5) {
        return commandLength == 5 ? (command[4] == 0 ? 256u : command[4]) : 0u;
    }
    const std::uint32_t lc = command[4];
    if (commandLength == 5 + lc + 1) {
        const std::uint8_t le = command[commandLength - 1];
        return le == 0 ? 256u : le;
    }
    return 0;
}

std::uint16_t FuzzCard::nextStatusWord() {
    if (++exchanges > MAX_EXCHANGES) {
        throw InternalErrorException("fuzzed card: no further answers");
    }
    if (input.atEnd()) {
        return 0x6F00;
    }
    return input.word();
}

std::uint16_t FuzzCard::transmit(const std::uint8_t* command, std::uint32_t commandLength,
                                 std::uint8_t* response, std::uint32_t* responseLength,
                                 std::uint32_t) {
    const std::uint32_t capacity = *responseLength;
    const std::uint16_t sw = nextStatusWord();
    const std::uint16_t announced = input.word();
    std::uint32_t length =
        announced == ASKED_LENGTH ? askedLength(command, commandLength) : announced;
    length = std::min(length, capacity);
    const std::vector<std::uint8_t> data = input.bytes(length);
    std::memset(response, 0, length);
    if (!data.empty()) {
        std::memcpy(response, data.data(), data.size());
    }
    *responseLength = length;
    return sw;
}

std::uint16_t FuzzCard::pinPadVerify(std::uint8_t, const std::uint8_t*, std::uint32_t) {
    return nextStatusWord();
}

std::uint16_t FuzzCard::pinPadModify(bool, bool, std::uint8_t, std::uint8_t, const std::uint8_t*,
                                     std::uint32_t) {
    return nextStatusWord();
}

}  // namespace fuzz
