// RSA key material handed to the token for import. Components are big-endian
// byte strings of up to 256 bytes (2048-bit keys).
#pragma once

#include "staticbuffer.h"

namespace amw {

struct RsaPublicKeyComponents {
    StaticBuffer<256> modulus;
    StaticBuffer<256> publicExponent;
};

// The private components wipe themselves when the structure goes away, so a
// key never lingers in freed memory.
struct RsaPrivateKeyComponents {
    StaticBuffer<256> p;
    StaticBuffer<256> q;
    StaticBuffer<256> modulus;
    StaticBuffer<256> publicExponent;
    StaticBuffer<256> dp;
    StaticBuffer<256> dq;
    StaticBuffer<256> inv;

    RsaPrivateKeyComponents() = default;
    RsaPrivateKeyComponents(const RsaPrivateKeyComponents&) = default;
    RsaPrivateKeyComponents& operator=(const RsaPrivateKeyComponents&) = default;
    ~RsaPrivateKeyComponents();
    void wipe() noexcept;
};

}  // namespace amw
