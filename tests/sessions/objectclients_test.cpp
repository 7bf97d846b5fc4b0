// Real clients in other processes on the same card: pkcs11-tool writes,
// lists, reads and deletes objects while this process keeps using the card,
// and OpenSSL loads keys by URI through the libp11 engine.
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
        dir = fs::path(workDirectory()) / "clients";
        fs::create_directories(dir);
        int status = 0;
        const std::string key = (dir / "key.pem").string();
        runCommand("openssl genrsa -out '" + key + "' 1024", status);
        ASSERT_EQ(0, status);
        runCommand("openssl rsa -in '" + key + "' -outform DER -out '" + (dir / "key.der").string() + "'", status);
        runCommand("openssl rsa -in '" + key + "' -pubout -outform DER -out '" + (dir / "pub.der").string() + "'",
                   status);
        runCommand("openssl rsa -in '" + key + "' -pubout -out '" + (dir / "pub.pem").string() + "'", status);
        std::ofstream(dir / "data.bin") << "client data";
        const Bytes cert = makeCertificate("Zentrik Client");
        std::ofstream(dir / "cert.der", std::ios::binary).write(reinterpret_cast<const char*>(cert.data()),
                                                                 static_cast<std::streamsize>(cert.size()));
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

TEST_F(ObjectClients, Pkcs11ToolWritesListsReadsAndDeletesEveryKind) {
    int status = 0;
    std::string out = withLogin("--write-object " + file("cert.der") + " --type cert --id 4b02 --label clientcert", status);
    ASSERT_EQ(0, status) << out;
    out = withLogin("--write-object " + file("data.bin") + " --type data --label clientdata", status);
    ASSERT_EQ(0, status) << out;
    out = withLogin("--write-object " + file("key.der") + " --type privkey --id 4b02 --label clientkey", status);
    ASSERT_EQ(0, status) << out;
    out = withLogin("--write-object " + file("pub.der") + " --type pubkey --id 4b02 --label clientkey", status);
    ASSERT_EQ(0, status) << out;

    out = withLogin("--list-objects", status);
    EXPECT_EQ(0, status) << out;
    for (const char* expected : {"Certificate Object", "clientcert", "Data object", "clientdata",
                                 "Private Key Object", "Public Key Object", "4b02"}) {
        EXPECT_NE(std::string::npos, out.find(expected)) << expected << "\n" << out;
    }
    out = tool("--list-objects", status);
    EXPECT_EQ(0, status) << out;
    EXPECT_EQ(std::string::npos, out.find("Private Key Object")) << out;
    EXPECT_NE(std::string::npos, out.find("clientcert")) << out;

    out = tool("--read-object --type cert --id 4b02 --output-file " + file("read.der"), status);
    EXPECT_EQ(0, status) << out;
    std::ifstream original(dir / "cert.der", std::ios::binary), read(dir / "read.der", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(original), {}),
              std::string(std::istreambuf_iterator<char>(read), {}));

    out = withLogin("--delete-object --type data --label clientdata", status);
    EXPECT_EQ(0, status) << out;
    out = withLogin("--delete-object --type privkey --id 4b02", status);
    EXPECT_EQ(0, status) << out;
    out = withLogin("--list-objects", status);
    EXPECT_EQ(std::string::npos, out.find("clientdata")) << out;
    EXPECT_EQ(std::string::npos, out.find("Private Key Object")) << out;
    EXPECT_NE(std::string::npos, out.find("Public Key Object")) << out;
}

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

TEST_F(ObjectClients, OpenSslLoadsTheKeysByUri) {
    int status = 0;
    std::string out = withLogin("--write-object " + file("key.der") + " --type privkey --id 4b03", status);
    ASSERT_EQ(0, status) << out;
    out = withLogin("--write-object " + file("pub.der") + " --type pubkey --id 4b03", status);
    ASSERT_EQ(0, status) << out;
    const fs::path config = dir / "openssl.cnf";
    std::ofstream(config) << "openssl_conf = init\n[init]\nengines = engines\n[engines]\npkcs11 = pkcs11\n"
                          << "[pkcs11]\nengine_id = pkcs11\nMODULE_PATH = " << LoadedModule::instance().path()
                          << "\ninit = 0\n";
    const std::string openssl = "OPENSSL_CONF='" + config.string() + "' openssl ";
    std::ifstream expectedFile(dir / "pub.pem");
    const std::string expected(std::istreambuf_iterator<char>(expectedFile), {});
    out = runCommand(openssl + "pkey -engine pkcs11 -inform engine -pubout -in 'pkcs11:id=%4B%03;type=private;pin-value=" +
                         USER_PIN + "' 2>/dev/null",
                     status);
    EXPECT_EQ(0, status) << out;
    EXPECT_NE(std::string::npos, out.find(expected)) << out;
    out = runCommand(openssl + "pkey -engine pkcs11 -inform engine -pubin -pubout -in 'pkcs11:id=%4B%03;type=public' 2>/dev/null",
                     status);
    EXPECT_EQ(0, status) << out;
    EXPECT_NE(std::string::npos, out.find(expected)) << out;
}

#if defined(ZENTRIK_LOAD_CERT_BY_URI)
TEST_F(ObjectClients, OpenSslLoadsTheCertificateByUri) {
    int status = 0;
    std::string out = withLogin("--write-object " + file("cert.der") + " --type cert --id 4b04 --label uricert", status);
    ASSERT_EQ(0, status) << out;
    const fs::path config = dir / "openssl-cert.cnf";
    std::ofstream(config) << "openssl_conf = init\n[init]\nengines = engines\n[engines]\npkcs11 = pkcs11\n"
                          << "[pkcs11]\nengine_id = pkcs11\nMODULE_PATH = " << LoadedModule::instance().path()
                          << "\ninit = 0\n";
    out = runCommand("OPENSSL_CONF='" + config.string() + "' " + ZENTRIK_LOAD_CERT_BY_URI +
                         " 'pkcs11:object=uricert;type=cert' " + file("loaded.der"),
                     status);
    ASSERT_EQ(0, status) << out;
    std::ifstream original(dir / "cert.der", std::ios::binary), loaded(dir / "loaded.der", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(original), {}),
              std::string(std::istreambuf_iterator<char>(loaded), {}));
}
#endif

#endif

}  // namespace
}  // namespace sessiontest
