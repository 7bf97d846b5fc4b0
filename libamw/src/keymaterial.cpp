#include "amw/keymaterial.h"

#include <cstddef>

namespace amw {

namespace {

// Writes through a volatile pointer so the compiler cannot drop the stores of
// an object that is about to die.
template <std::size_t N>
void wipeBuffer(StaticBuffer<N>& buffer) noexcept {
    volatile std::uint8_t* bytes = buffer.data;
    for (std::size_t i = 0; i < N; ++i) {
        bytes[i] = 0;
    }
    buffer.length = 0;
}

}  // namespace

RsaPrivateKeyComponents::~RsaPrivateKeyComponents() { wipe(); }

void RsaPrivateKeyComponents::wipe() noexcept {
    wipeBuffer(p);
    wipeBuffer(q);
    wipeBuffer(modulus);
    wipeBuffer(publicExponent);
    wipeBuffer(dp);
    wipeBuffer(dq);
    wipeBuffer(inv);
}

}  // namespace amw
