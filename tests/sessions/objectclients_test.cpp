// Another process on the same card: pkcs11-tool writes and deletes an object
// while this process keeps using the card, and this process sees each change
// at once. The client flows themselves are in tests/clients.
#include <filesystem>
#include <fstream>

#include "objecthelpers.h"

namespace fs = std::filesystem;

namespace sessiontest {
namespace {

#if defined(ZENTRIK_PKCS11_TOOL) && !defined(ZENTRIK_SANITIZED_BUILD)

class ObjectClients : public SessionBench {
protected:
    void SetUp() override {
        SessionBench::SetUp();
        if (IsSkipped()) return;
        insertFreshCard(PLAIN_SLOT);
        dir = fs::path(workDirectory()) / "otherprocess";
        fs::create_directories(dir);
        std::ofstream(dir / "data.bin") << "client data";
    }
    std::string tool(const std::string& arguments, int& status) {
        return runCommand(std::string(ZENTRIK_PKCS11_TOOL) + " --module '" + LoadedModule::instance().path() +
                              "' --slot " + std::to_string(PLAIN_SLOT) + " " + arguments,
                          status);
    }
    std::string withLogin(const std::string& arguments, int& status) {
        return tool("--login --pin " + std::string(USER_PIN) + " " + arguments, status);
    }
    std::string file(const char* name) const { return "'" + (dir / name).string() + "'"; }
    fs::path dir;
};

TEST_F(ObjectClients, AnotherProcessesChangesAreSeenAtOnce) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    EXPECT_TRUE(findAll(session).empty());

    int status = 0;
    std::string out = withLogin("--write-object " + file("data.bin") + " --type data --label shared", status);
    ASSERT_EQ(0, status) << out;
    const std::vector<CK_OBJECT_HANDLE> found = findAll(session);
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(bytesOf("client data"), attribute(session, found[0], CKA_VALUE));

    out = withLogin("--delete-object --type data --label shared", status);
    ASSERT_EQ(0, status) << out;
    CK_ATTRIBUTE query{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, p11()->C_GetAttributeValue(session, found[0], &query, 1));
    EXPECT_TRUE(findAll(session).empty());
}

#endif

}  // namespace
}  // namespace sessiontest
