// The module's object handle table: one handle per object and class, from a
// counter, dropped with its object, and no growth from repeated searches.
#include <gtest/gtest.h>

#include <set>

#include "internal/objecthandles.h"

namespace {

ObjectIdentity identity(std::uint8_t card, std::uint8_t id, CK_OBJECT_CLASS objectClass) {
    ObjectIdentity result;
    result.cardId.fill(card);
    const std::uint8_t bytes[] = {id, 0x00, id};
    result.pkcs11Id.assign(bytes, sizeof bytes);
    result.objectClass = objectClass;
    return result;
}

TEST(ObjectHandles, OneObjectAndClassHasOneHandle) {
    const CK_OBJECT_HANDLE handle = ObjectHandles::handleFor(identity(1, 7, CKO_CERTIFICATE));
    EXPECT_NE(0u, handle);
    EXPECT_EQ(handle, ObjectHandles::handleFor(identity(1, 7, CKO_CERTIFICATE)));
    // The other half of a key pair, the same identifier on another card, and
    // another identifier are other objects.
    std::set<CK_OBJECT_HANDLE> distinct = {handle, ObjectHandles::handleFor(identity(1, 7, CKO_PUBLIC_KEY)),
                                           ObjectHandles::handleFor(identity(2, 7, CKO_CERTIFICATE)),
                                           ObjectHandles::handleFor(identity(1, 8, CKO_CERTIFICATE))};
    EXPECT_EQ(4u, distinct.size());
    const ObjectIdentity* found = ObjectHandles::find(handle);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(CKO_CERTIFICATE, found->objectClass);
    EXPECT_TRUE(found->pkcs11Id.equals(identity(1, 7, CKO_CERTIFICATE).pkcs11Id));
}

TEST(ObjectHandles, RemovedHandleIsNeverHandedOutAgain) {
    const CK_OBJECT_HANDLE first = ObjectHandles::handleFor(identity(3, 1, CKO_DATA));
    ObjectHandles::remove(first);
    EXPECT_EQ(nullptr, ObjectHandles::find(first));
    const CK_OBJECT_HANDLE again = ObjectHandles::handleFor(identity(3, 1, CKO_DATA));
    EXPECT_NE(first, again);
    ObjectHandles::remove(identity(3, 1, CKO_DATA));
    EXPECT_EQ(nullptr, ObjectHandles::find(again));
    EXPECT_EQ(nullptr, ObjectHandles::find(0));
}

TEST(ObjectHandles, RepeatedSearchesDoNotGrowTheTable) {
    const auto searchCycle = [] {
        for (std::uint8_t id = 0; id < 20; ++id) ObjectHandles::handleFor(identity(4, id, CKO_DATA));
    };
    searchCycle();
    const std::size_t size = ObjectHandles::size();
    for (int cycle = 0; cycle < 100000; ++cycle) searchCycle();
    EXPECT_EQ(size, ObjectHandles::size());
}

}  // namespace
