#include "toolbench.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "rsatestkeys.h"

namespace fs = std::filesystem;

namespace tooltest {
namespace {

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs the program with the streams redirected to files; returns its exit
// status, -1 when it did not exit normally.
int runWithFiles(std::vector<std::string> argv, const fs::path& in, const fs::path& out,
                 const fs::path& err) {
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int inFd = open(in.c_str(), O_RDONLY);
        const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (inFd < 0 || outFd < 0 || errFd < 0) _exit(126);
        dup2(inFd, STDIN_FILENO);
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    int raw = 0;
    if (child < 0 || waitpid(child, &raw, 0) != child) return -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// The PINs of a run: the values of the PIN options and the lines of input.
std::vector<std::string> secretsOf(const std::vector<std::string>& args, const std::string& input) {
    std::vector<std::string> secrets;
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--pin" || args[i] == "--new-pin" || args[i] == "--so-pin") {
            secrets.push_back(args[i + 1]);
        }
    }
    std::istringstream lines(input);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) secrets.push_back(line);
    }
    return secrets;
}

}  // namespace

const Bytes ToolBench::CERT_ID = {0xCE, 0x27, 0x01};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

ToolRun ToolBench::runTool(const std::vector<std::string>& args, const std::string& input) {
    const fs::path dir = fs::path(workDirectory()) / "run";
    fs::create_directories(dir);
    std::ofstream(dir / "in", std::ios::binary | std::ios::trunc) << input;
    std::vector<std::string> argv = {ZENTRIK_TOOL_PATH, "--module", LoadedModule::instance().path()};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun run;
    run.status = runWithFiles(argv, dir / "in", dir / "out", dir / "err");
    run.out = readFile(dir / "out");
    run.err = readFile(dir / "err");
    fs::remove_all(dir);
    for (const std::string& secret : secretsOf(args, input)) {
        EXPECT_FALSE(contains(run.out, secret)) << "a PIN reached standard output:\n" << run.out;
        EXPECT_FALSE(contains(run.err, secret)) << "a PIN reached standard error:\n" << run.err;
    }
    return run;
}

void ToolBench::storeKeyPairAndCertificate(CK_SLOT_ID slot) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE session = openSession(slot);
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    const tokentest::RsaKey key = tokentest::generateRsaKey(1024);
    Template privateKey;
    privateKey.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, CERT_ID)
        .add(CKA_LABEL, std::string("Tool Key")).addBool(CKA_SIGN, true).add(CKA_MODULUS, key.n)
        .add(CKA_PUBLIC_EXPONENT, key.e).add(CKA_PRIME_1, key.p).add(CKA_PRIME_2, key.q)
        .add(CKA_EXPONENT_1, key.dp).add(CKA_EXPONENT_2, key.dq).add(CKA_COEFFICIENT, key.qinv);
    Template publicKey;
    publicKey.addUlong(CKA_CLASS, CKO_PUBLIC_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, CERT_ID)
        .add(CKA_LABEL, std::string("Tool Key")).addBool(CKA_VERIFY, true).add(CKA_MODULUS, key.n)
        .add(CKA_PUBLIC_EXPONENT, key.e);
    Template certificate;
    certificate.addUlong(CKA_CLASS, CKO_CERTIFICATE).addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509)
        .add(CKA_ID, CERT_ID).add(CKA_LABEL, std::string("Tool Certificate"))
        .add(CKA_VALUE, makeCertificate("Tool Certificate"));
    Template data;
    data.addUlong(CKA_CLASS, CKO_DATA).add(CKA_LABEL, std::string("Tool Data"))
        .add(CKA_VALUE, std::string("hello")).addBool(CKA_TOKEN, true);
    for (Template* object : {&privateKey, &publicKey, &certificate, &data}) {
        CK_OBJECT_HANDLE handle = 0;
        ASSERT_EQ(CKR_OK, createObject(session, *object, handle));
    }
    ASSERT_EQ(CKR_OK, p11()->C_Finalize(nullptr));
}

bool ToolBench::userPinWorks(CK_SLOT_ID slot, const std::string& pin) {
    if (p11()->C_Initialize(nullptr) != CKR_OK) return false;
    const CK_SESSION_HANDLE session = openSession(slot);
    const CK_RV rv = login(session, CKU_USER, pin);
    p11()->C_Finalize(nullptr);
    return rv == CKR_OK;
}

}  // namespace tooltest
