// The mechanisms the module offers, in one table. Each row says what a
// mechanism does (the operations it serves), whether the module hashes the
// data on the host first, how the block for the card's raw RSA operation is
// encoded, and which parameter structure the application passes. The table
// feeds C_GetMechanismList, C_GetMechanismInfo, the checks of C_SignInit and
// C_DecryptInit and the keys' CKA_ALLOWED_MECHANISMS; a new mechanism is a new
// row and, for a new encoding, a new formatter (internal/rsaencoding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "cryptoki.h"
#include "messagedigest.h"

inline constexpr CK_ULONG RSA_MIN_KEY_BITS = 1024;
inline constexpr CK_ULONG RSA_MAX_KEY_BITS = 2048;

enum class BlockEncoding : std::uint8_t {
    NONE,       // key generation: no block
    PKCS1_V15,  // signature type 1 block / encryption type 2 block
    PSS,        // EMSA-PSS signature encoding
    OAEP        // EME-OAEP encryption encoding
};

enum class ParameterType : std::uint8_t {
    NONE,  // parameters, if any, are ignored
    PSS,   // CK_RSA_PKCS_PSS_PARAMS
    OAEP   // CK_RSA_PKCS_OAEP_PARAMS
};

struct MechanismRow {
    CK_MECHANISM_TYPE type;
    CK_FLAGS operations;                // CKF_SIGN, CKF_DECRYPT or CKF_GENERATE_KEY_PAIR
    std::optional<HashAlgorithm> hash;  // hashed on the host before encoding
    BlockEncoding encoding;
    ParameterType parameter;
};

// Every mechanism, in the order C_GetMechanismList reports them.
std::span<const MechanismRow> mechanismTable() noexcept;
const MechanismRow* findMechanism(CK_MECHANISM_TYPE type) noexcept;
// CKF_HW, the row's operations and the key sizes the card supports.
CK_MECHANISM_INFO mechanismInfo(const MechanismRow& row) noexcept;
// The mechanisms a key can be used with (every row that signs or decrypts),
// in table order: the value of CKA_ALLOWED_MECHANISMS.
std::span<const CK_MECHANISM_TYPE> keyMechanisms() noexcept;

// A mechanism chosen for an operation, with its parameters copied out of the
// application's structure (which need not outlive the init call).
struct OperationMechanism {
    const MechanismRow* row = nullptr;
    // The hash of the PSS or OAEP parameters, or the row's own hash.
    HashAlgorithm hash = HashAlgorithm::SHA1;
    HashAlgorithm mgfHash = HashAlgorithm::SHA1;
    std::size_t saltLength = 0;
    std::vector<std::uint8_t> label;  // OAEP encoding parameter (may be empty)
};

// Checks the mechanism against the operation (CKF_SIGN or CKF_DECRYPT) and a
// key of `modulusBits`, and reads its parameters: CKR_MECHANISM_INVALID for a
// mechanism the module lacks or one of the other operation,
// CKR_MECHANISM_PARAM_INVALID for missing, malformed or unsupported
// parameters (a PSS salt or an OAEP hash too long for the key included).
CK_RV selectMechanism(const CK_MECHANISM& mechanism, CK_FLAGS operation, std::size_t modulusBits,
                      OperationMechanism& out);
