// A multi-part signature keeps up to a block of the data being signed in the
// session. When the signature is abandoned (replaced by a new init, or its
// session closed) that data must not stay behind in the session's memory.
// The session lives in a buffer of the test's own, so what is left in that
// memory afterwards can be looked at.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <vector>

#include "internal/objecthandles.h"
#include "internal/session.h"

namespace {

// Shorter than every hash's block, so that all of it waits in the digest.
const std::vector<std::uint8_t> SECRET(40, 0xA7);

bool holdsSecret(const unsigned char* memory, std::size_t size) {
    return std::search(memory, memory + size, SECRET.begin(), SECRET.end()) != memory + size;
}

OperationMechanism hashAndSign(CK_MECHANISM_TYPE type) {
    CK_MECHANISM mechanism{type, nullptr, 0};
    OperationMechanism selected;
    EXPECT_EQ(CKR_OK, selectMechanism(mechanism, CKF_SIGN, 2048, selected));
    return selected;
}

class OperationWipe : public ::testing::TestWithParam<CK_MECHANISM_TYPE> {
protected:
    void SetUp() override {
        ObjectIdentity identity;
        identity.pkcs11Id.assign(SECRET.data(), 1);
        identity.objectClass = CKO_PRIVATE_KEY;
        key = ObjectHandles::handleFor(identity);
        session = new (memory) Session(1, Session::RW_SESSION, nullptr, nullptr, nullptr);
    }
    void TearDown() override {
        if (session != nullptr) session->~Session();
    }
    // Starts a multi-part signature and passes it the secret.
    void signSecretInParts() {
        session->initOperationWithPrivateKeyHandle(key, Session::SIGN_OPERATION, hashAndSign(GetParam()));
        std::optional<MessageDigest>& digest = session->getOperationDigest(Session::SIGN_OPERATION);
        digest.emplace(*session->getOperationMechanism(Session::SIGN_OPERATION).row->hash);
        digest->update(SECRET.data(), SECRET.size());
        ASSERT_TRUE(holdsSecret(memory, sizeof memory)) << "the digest keeps the data in the session";
    }

    alignas(Session) unsigned char memory[sizeof(Session)] = {};
    Session* session = nullptr;
    CK_OBJECT_HANDLE key = 0;
};

TEST_P(OperationWipe, ANewInitWipesTheAbandonedData) {
    ASSERT_NO_FATAL_FAILURE(signSecretInParts());
    session->initOperationWithPrivateKeyHandle(key, Session::SIGN_OPERATION, hashAndSign(GetParam()));
    EXPECT_FALSE(holdsSecret(memory, sizeof memory));
}

TEST_P(OperationWipe, ClosingTheSessionWipesTheAbandonedData) {
    ASSERT_NO_FATAL_FAILURE(signSecretInParts());
    session->~Session();
    session = nullptr;
    EXPECT_FALSE(holdsSecret(memory, sizeof memory));
}

INSTANTIATE_TEST_SUITE_P(EveryHashBlockSize, OperationWipe,
                         ::testing::Values(CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS, CKM_SHA512_RSA_PKCS));

}  // namespace
