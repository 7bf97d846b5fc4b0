#include "internal/mechanisms.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

using H = HashAlgorithm;
constexpr auto NO_HASH = std::nullopt;

constexpr MechanismRow TABLE[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, CKF_GENERATE_KEY_PAIR, NO_HASH, BlockEncoding::NONE, ParameterType::NONE},
    {CKM_RSA_PKCS, CKF_SIGN | CKF_DECRYPT, NO_HASH, BlockEncoding::PKCS1_V15, ParameterType::NONE},
    {CKM_RSA_PKCS_OAEP, CKF_DECRYPT, NO_HASH, BlockEncoding::OAEP, ParameterType::OAEP},
    {CKM_RSA_PKCS_PSS, CKF_SIGN, NO_HASH, BlockEncoding::PSS, ParameterType::PSS},
    {CKM_SHA1_RSA_PKCS, CKF_SIGN, H::SHA1, BlockEncoding::PKCS1_V15, ParameterType::NONE},
    {CKM_SHA224_RSA_PKCS, CKF_SIGN, H::SHA224, BlockEncoding::PKCS1_V15, ParameterType::NONE},
    {CKM_SHA256_RSA_PKCS, CKF_SIGN, H::SHA256, BlockEncoding::PKCS1_V15, ParameterType::NONE},
    {CKM_SHA384_RSA_PKCS, CKF_SIGN, H::SHA384, BlockEncoding::PKCS1_V15, ParameterType::NONE},
    {CKM_SHA512_RSA_PKCS, CKF_SIGN, H::SHA512, BlockEncoding::PKCS1_V15, ParameterType::NONE},
    {CKM_SHA1_RSA_PKCS_PSS, CKF_SIGN, H::SHA1, BlockEncoding::PSS, ParameterType::PSS},
    {CKM_SHA224_RSA_PKCS_PSS, CKF_SIGN, H::SHA224, BlockEncoding::PSS, ParameterType::PSS},
    {CKM_SHA256_RSA_PKCS_PSS, CKF_SIGN, H::SHA256, BlockEncoding::PSS, ParameterType::PSS},
    {CKM_SHA384_RSA_PKCS_PSS, CKF_SIGN, H::SHA384, BlockEncoding::PSS, ParameterType::PSS},
    {CKM_SHA512_RSA_PKCS_PSS, CKF_SIGN, H::SHA512, BlockEncoding::PSS, ParameterType::PSS},
};

constexpr std::size_t countKeyMechanisms() {
    std::size_t count = 0;
    for (const MechanismRow& row : TABLE) count += (row.operations & (CKF_SIGN | CKF_DECRYPT)) != 0 ? 1 : 0;
    return count;
}

constexpr auto KEY_MECHANISMS = [] {
    std::array<CK_MECHANISM_TYPE, countKeyMechanisms()> types{};
    std::size_t next = 0;
    for (const MechanismRow& row : TABLE) {
        if ((row.operations & (CKF_SIGN | CKF_DECRYPT)) != 0) types[next++] = row.type;
    }
    return types;
}();

// The hash mechanisms a PSS or OAEP structure may name, and the MGF1 variants.
struct HashName {
    CK_ULONG value;
    HashAlgorithm algorithm;
};
constexpr HashName HASH_MECHANISMS[] = {
    {CKM_SHA_1, H::SHA1}, {CKM_SHA224, H::SHA224}, {CKM_SHA256, H::SHA256},
    {CKM_SHA384, H::SHA384}, {CKM_SHA512, H::SHA512}};
constexpr HashName MGF1_FUNCTIONS[] = {
    {CKG_MGF1_SHA1, H::SHA1}, {CKG_MGF1_SHA224, H::SHA224}, {CKG_MGF1_SHA256, H::SHA256},
    {CKG_MGF1_SHA384, H::SHA384}, {CKG_MGF1_SHA512, H::SHA512}};

template <std::size_t N>
bool lookUp(const HashName (&names)[N], CK_ULONG value, HashAlgorithm& out) {
    for (const HashName& name : names) {
        if (name.value == value) {
            out = name.algorithm;
            return true;
        }
    }
    return false;
}

// The longest OAEP label accepted; the label is only hashed, but a length
// near the address space is certainly a caller's mistake.
constexpr CK_ULONG MAX_LABEL_LENGTH = 65536;

// Reads a parameter structure that the application laid out with this
// platform's packing and CK_ULONG width; a length other than the structure's
// own is refused rather than read past.
template <class Parameters>
bool readParameters(const CK_MECHANISM& mechanism, Parameters& out) {
    if (mechanism.pParameter == nullptr || mechanism.ulParameterLen != sizeof(Parameters)) return false;
    std::memcpy(&out, mechanism.pParameter, sizeof out);
    return true;
}

// Reads the PSS or OAEP parameters and the hash and mask generation
// function they name, both of which must be known.
template <class Parameters>
bool readHashParameters(const CK_MECHANISM& mechanism, Parameters& parameters, OperationMechanism& out) {
    return readParameters(mechanism, parameters) && lookUp(HASH_MECHANISMS, parameters.hashAlg, out.hash) &&
           lookUp(MGF1_FUNCTIONS, parameters.mgf, out.mgfHash);
}

CK_RV readPss(const CK_MECHANISM& mechanism, std::size_t modulusBits, OperationMechanism& out) {
    CK_RSA_PKCS_PSS_PARAMS parameters;
    if (!readHashParameters(mechanism, parameters, out)) return CKR_MECHANISM_PARAM_INVALID;
    // A hash-and-sign mechanism names its hash twice; both must agree.
    if (out.row->hash && *out.row->hash != out.hash) return CKR_MECHANISM_PARAM_INVALID;
    // The encoded message has modulusBits - 1 bits and holds the hash, the
    // salt and two more bytes.
    const std::size_t encodedLength = (modulusBits - 1 + 7) / 8;
    const std::size_t hashLength = MessageDigest::digestSize(out.hash);
    if (encodedLength < hashLength + 2 || parameters.sLen > encodedLength - hashLength - 2) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    out.saltLength = parameters.sLen;
    return CKR_OK;
}

CK_RV readOaep(const CK_MECHANISM& mechanism, std::size_t modulusBits, OperationMechanism& out) {
    CK_RSA_PKCS_OAEP_PARAMS parameters;
    if (!readHashParameters(mechanism, parameters, out)) return CKR_MECHANISM_PARAM_INVALID;
    // The label is given with CKZ_DATA_SPECIFIED; some applications pass 0
    // for "no label", which means the same empty label.
    const bool noSource = parameters.source == 0 && parameters.ulSourceDataLen == 0;
    if (parameters.source != CKZ_DATA_SPECIFIED && !noSource) return CKR_MECHANISM_PARAM_INVALID;
    if (parameters.ulSourceDataLen > MAX_LABEL_LENGTH ||
        (parameters.pSourceData == nullptr && parameters.ulSourceDataLen != 0)) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    const std::size_t k = modulusBits / 8;
    if (k < 2 * MessageDigest::digestSize(out.hash) + 2) return CKR_MECHANISM_PARAM_INVALID;
    const auto* label = static_cast<const std::uint8_t*>(parameters.pSourceData);
    out.label.assign(label, label + parameters.ulSourceDataLen);
    return CKR_OK;
}

}  // namespace

std::span<const MechanismRow> mechanismTable() noexcept { return TABLE; }

const MechanismRow* findMechanism(CK_MECHANISM_TYPE type) noexcept {
    const auto row = std::find_if(std::begin(TABLE), std::end(TABLE),
                                  [type](const MechanismRow& r) { return r.type == type; });
    return row == std::end(TABLE) ? nullptr : row;
}

CK_MECHANISM_INFO mechanismInfo(const MechanismRow& row) noexcept {
    return CK_MECHANISM_INFO{RSA_MIN_KEY_BITS, RSA_MAX_KEY_BITS, CKF_HW | row.operations};
}

std::span<const CK_MECHANISM_TYPE> keyMechanisms() noexcept { return KEY_MECHANISMS; }

CK_RV selectMechanism(const CK_MECHANISM& mechanism, CK_FLAGS operation, std::size_t modulusBits,
                      OperationMechanism& out) {
    const MechanismRow* row = findMechanism(mechanism.mechanism);
    if (row == nullptr || (row->operations & operation) == 0) return CKR_MECHANISM_INVALID;
    out = OperationMechanism{};
    out.row = row;
    if (row->hash) {
        out.hash = *row->hash;
        out.mgfHash = *row->hash;
    }
    switch (row->parameter) {
    case ParameterType::NONE: return CKR_OK;
    case ParameterType::PSS: return readPss(mechanism, modulusBits, out);
    case ParameterType::OAEP: return readOaep(mechanism, modulusBits, out);
    }
    return CKR_MECHANISM_INVALID;
}
