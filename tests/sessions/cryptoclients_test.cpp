// Real clients sign, decrypt, generate keys and draw random bytes with the
// card in other processes: pkcs11-tool, OpenSSL through the libp11 engine
// (a certificate request and a self-signed certificate signed by the card
// key), and PyKCS11. OpenSSL checks every result with the public key.
#include <filesystem>
#include <fstream>

#include "cryptohelpers.h"

namespace fs = std::filesystem;

namespace sessiontest {
namespace {

#if defined(ZENTRIK_PKCS11_TOOL) && !defined(ZENTRIK_SANITIZED_BUILD)

const char* const KEY_ID = "4c01";

class CryptoClients : public SessionBench {
protected:
    void SetUp() override {
        SessionBench::SetUp();
        if (IsSkipped()) return;
        insertFreshCard(PLAIN_SLOT);
        dir = fs::path(workDirectory()) / "cryptoclients";
        fs::create_directories(dir);
    }
    std::string tool(const std::string& arguments, int& status) {
        return runCommand(std::string(ZENTRIK_PKCS11_TOOL) + " --module '" + LoadedModule::instance().path() +
                              "' --slot " + std::to_string(PLAIN_SLOT) + " --login --pin " + USER_PIN + " " +
                              arguments,
                          status);
    }
    std::string file(const char* name) const { return "'" + (dir / name).string() + "'"; }
    Bytes read(const char* name) const {
        std::ifstream in(dir / name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    void write(const char* name, const Bytes& bytes) const {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    // Generates the card key with pkcs11-tool and exports its public half
    // as pub.pem.
    void generateWithTool(int bits) {
        int status = 0;
        std::string out = tool("--keypairgen --key-type rsa:" + std::to_string(bits) + " --id " + KEY_ID +
                                   " --label cardkey",
                               status);
        ASSERT_EQ(0, status) << out;
        out = tool(std::string("--read-object --type pubkey --id ") + KEY_ID + " --output-file " + file("pub.der"),
                   status);
        ASSERT_EQ(0, status) << out;
        out = runCommand("openssl pkey -pubin -inform DER -in " + file("pub.der") + " -out " + file("pub.pem"),
                         status);
        ASSERT_EQ(0, status) << out;
    }
    std::string openssl(const std::string& arguments, int& status) {
        return runCommand("openssl " + arguments, status);
    }
    fs::path dir;
};

TEST_F(CryptoClients, Pkcs11ToolGeneratesSignsDecryptsAndDrawsRandomBytes) {
    ASSERT_NO_FATAL_FAILURE(generateWithTool(2048));
    int status = 0;
    const Bytes info = sha256DigestInfo(bytesOf("signed by pkcs11-tool"));
    write("info.bin", info);
    std::string out = tool(std::string("--sign -m RSA-PKCS --id ") + KEY_ID + " --input-file " + file("info.bin") +
                               " --output-file " + file("sig.bin"),
                           status);
    ASSERT_EQ(0, status) << out;
    EXPECT_EQ(256u, read("sig.bin").size());
    out = openssl("pkeyutl -verifyrecover -pubin -inkey " + file("pub.pem") + " -in " + file("sig.bin") +
                      " -out " + file("recovered.bin"),
                  status);
    ASSERT_EQ(0, status) << out;
    EXPECT_EQ(info, read("recovered.bin"));

    write("plain.bin", bytesOf("decrypted by pkcs11-tool"));
    out = openssl("pkeyutl -encrypt -pubin -inkey " + file("pub.pem") + " -in " + file("plain.bin") + " -out " +
                      file("enc.bin"),
                  status);
    ASSERT_EQ(0, status) << out;
    out = tool(std::string("--decrypt -m RSA-PKCS --id ") + KEY_ID + " --input-file " + file("enc.bin") +
                   " --output-file " + file("dec.bin"),
               status);
    ASSERT_EQ(0, status) << out;
    EXPECT_EQ(bytesOf("decrypted by pkcs11-tool"), read("dec.bin"));

    out = tool("--generate-random 32 --output-file " + file("random.bin"), status);
    ASSERT_EQ(0, status) << out;
    EXPECT_EQ(32u, read("random.bin").size());
    EXPECT_NE(Bytes(32), read("random.bin"));
}

TEST_F(CryptoClients, OpenSslSignsARequestAndASelfSignedCertificateWithTheCardKey) {
    ASSERT_NO_FATAL_FAILURE(generateWithTool(1024));
    const fs::path config = dir / "openssl.cnf";
    std::ofstream(config) << "openssl_conf = init\n[init]\nengines = engines\n[engines]\npkcs11 = pkcs11\n"
                          << "[pkcs11]\nengine_id = pkcs11\nMODULE_PATH = " << LoadedModule::instance().path()
                          << "\ninit = 0\n[req]\ndistinguished_name = dn\n[dn]\n";
    const std::string withEngine = "OPENSSL_CONF='" + config.string() + "' openssl ";
    const std::string key = std::string("-engine pkcs11 -keyform engine -key 'pkcs11:id=%4C%01;type=private;pin-value=") +
                            USER_PIN + "'";
    int status = 0;
    std::string out = runCommand(withEngine + "req -new " + key + " -subj /CN=Zentrik\\ Request -out " +
                                     file("request.pem"),
                                 status);
    ASSERT_EQ(0, status) << out;
    out = openssl("req -verify -noout -in " + file("request.pem"), status);
    EXPECT_EQ(0, status) << out;
    EXPECT_NE(std::string::npos, out.find("verify OK")) << out;

    out = runCommand(withEngine + "req -new -x509 -days 2 " + key +
                         " -subj /CN=Zentrik\\ Card\\ CA -addext basicConstraints=critical,CA:TRUE"
                         " -addext keyUsage=critical,keyCertSign,digitalSignature -out " + file("cert.pem"),
                     status);
    ASSERT_EQ(0, status) << out;
    out = openssl("verify -CAfile " + file("cert.pem") + " " + file("cert.pem"), status);
    EXPECT_EQ(0, status) << out;
    EXPECT_NE(std::string::npos, out.find(": OK")) << out;
    // The certificate carries the card's public key.
    out = openssl("x509 -in " + file("cert.pem") + " -noout -pubkey", status);
    std::ifstream pub(dir / "pub.pem");
    EXPECT_NE(std::string::npos, out.find(std::string(std::istreambuf_iterator<char>(pub), {}))) << out;
}

// The interpreter that has PyKCS11: the distribution's package lives in the
// system interpreter, which another python3 on the PATH may hide.
std::string pythonWithPyKcs11() {
    for (const char* python : {"/usr/bin/python3", "python3"}) {
        int status = 0;
        runCommand(std::string(python) + " -c 'import PyKCS11'", status);
        if (status == 0) return python;
    }
    return {};
}

std::string valueAfter(const std::string& output, const std::string& name) {
    const std::size_t start = output.find(name + "=");
    if (start == std::string::npos) return {};
    const std::size_t from = start + name.size() + 1;
    return output.substr(from, output.find('\n', from) - from);
}

TEST_F(CryptoClients, PyKcs11SignsAndDecrypts) {
    const std::string python = pythonWithPyKcs11();
    if (python.empty()) GTEST_SKIP() << "no python3 with PyKCS11";
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    GenerationRequest request;
    request.bits = 1024;
    request.id = {0x4C, 0x01};
    const KeyHandles keys = generateOnCard(session, request);
    const PublicKey publicKey = publicKeyOf(session, keys.publicKey);
    const Bytes info = sha256DigestInfo(bytesOf("signed by PyKCS11"));
    const Bytes secret = bytesOf("decrypted by PyKCS11");
    const std::string script = (fs::path(__FILE__).parent_path() / "pykcs11_crypto.py").string();

    int status = 0;
    const std::string out = runCommand(python + " '" + script + "' '" + LoadedModule::instance().path() + "' " +
                                           std::to_string(PLAIN_SLOT) + " " + USER_PIN + " " + KEY_ID + " " +
                                           hexText(info, false) + " " +
                                           hexText(encryptWith(publicKey, secret), false),
                                       status);
    ASSERT_EQ(0, status) << out;
    const std::string signature = valueAfter(out, "signature");
    Bytes signatureBytes;
    for (std::size_t i = 0; i + 1 < signature.size(); i += 2) {
        signatureBytes.push_back(static_cast<std::uint8_t>(std::stoi(signature.substr(i, 2), nullptr, 16)));
    }
    EXPECT_EQ(info, recoverSigned(publicKey, signatureBytes)) << out;
    EXPECT_EQ(hexText(secret, false), valueAfter(out, "plaintext")) << out;
    EXPECT_EQ(32u, valueAfter(out, "random").size()) << out;
}

#endif

}  // namespace
}  // namespace sessiontest
