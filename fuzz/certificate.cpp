// Certificate DER: the serial number, issuer and subject cut out of
// arbitrary bytes by P11X509Certificate::parseCertificate, compared with a
// small reference walker written here that keeps every element inside its
// parent. Both must agree on whether a field is there and on its bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "fuzzenvironment.h"
#include "internal/p11objects/p11classes.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

struct Element {
    std::size_t start;       // the tag
    std::size_t valueStart;  // after the length bytes
    std::size_t end;         // after the value
};

// The element at `offset` that must carry `tag` and end by `limit`; the
// length bytes as the module's reader documents them (short form, or 0x80 + n
// big-endian bytes with n from 0 to 8).
std::optional<Element> element(const std::uint8_t* der, std::size_t offset, std::size_t limit,
                               std::uint8_t tag) {
    if (offset >= limit || der[offset] != tag) return std::nullopt;
    std::size_t position = offset + 1;
    if (position >= limit) return std::nullopt;
    const std::uint8_t first = der[position++];
    std::uint64_t length = first;
    if ((first & 0x80) != 0) {
        const unsigned count = first & 0x7Fu;
        if (count > 8 || count > limit - position) return std::nullopt;
        length = 0;
        for (unsigned i = 0; i < count; ++i) length = (length << 8) | der[position++];
    }
    if (length > limit - position) return std::nullopt;
    return Element{offset, position, position + static_cast<std::size_t>(length)};
}

std::optional<std::pair<std::size_t, std::size_t>> referenceField(const std::uint8_t* der,
                                                                  std::size_t size, int field) {
    static const std::vector<std::uint8_t> skipped[] = {
        {}, {0x02, 0x30}, {0x02, 0x30, 0x30, 0x30}};
    static const std::uint8_t target[] = {0x02, 0x30, 0x30};
    const auto certificate = element(der, 0, size, 0x30);
    if (!certificate) return std::nullopt;
    const auto tbs = element(der, certificate->valueStart, certificate->end, 0x30);
    if (!tbs) return std::nullopt;
    // The version element is optional (absent means v1); a broken one leaves
    // the position on its tag, where the serial number then fails.
    const auto version = element(der, tbs->valueStart, tbs->end, 0xA0);
    std::size_t position = version ? version->end : tbs->valueStart;
    for (std::uint8_t tag : skipped[field]) {
        const auto next = element(der, position, tbs->end, tag);
        if (!next) return std::nullopt;
        position = next->end;
    }
    const auto found = element(der, position, tbs->end, target[field]);
    if (!found || found->end - found->start > 65536) return std::nullopt;
    return std::make_pair(found->start, found->end - found->start);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareEnvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto out = std::make_unique<StaticBuffer<65536>>();
    for (int field = P11X509Certificate::FIELD_SERIAL_NUMBER;
         field <= P11X509Certificate::FIELD_SUBJECT; ++field) {
        out->length = 0;
        const bool parsed = P11X509Certificate::parseCertificate(data, size, field, *out);
        const auto expected = referenceField(data, size, field);
        require(parsed == expected.has_value());
        if (parsed) {
            require(out->length == expected->second);
            require(std::memcmp(out->data, data + expected->first, expected->second) == 0);
        }
    }
    return 0;
}
