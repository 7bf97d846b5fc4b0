#include "objecthelpers.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace sessiontest {

Template& Template::add(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
    types.push_back(type);
    values.push_back(value);
    return *this;
}

Template& Template::add(CK_ATTRIBUTE_TYPE type, const std::string& value) { return add(type, bytesOf(value)); }

Template& Template::addBool(CK_ATTRIBUTE_TYPE type, bool value) {
    return add(type, Bytes{static_cast<std::uint8_t>(value ? CK_TRUE : CK_FALSE)});
}

Template& Template::addUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) { return add(type, ulongBytes(value)); }

CK_ATTRIBUTE* Template::data() {
    attributes.clear();
    for (std::size_t i = 0; i < values.size(); ++i) {
        attributes.push_back(CK_ATTRIBUTE{types[i], values[i].empty() ? nullptr : values[i].data(),
                                          static_cast<CK_ULONG>(values[i].size())});
    }
    return attributes.empty() ? nullptr : attributes.data();
}

Bytes ulongBytes(CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::vector<CK_OBJECT_HANDLE> findAll(CK_SESSION_HANDLE session, Template search) {
    std::vector<CK_OBJECT_HANDLE> found;
    EXPECT_EQ(CKR_OK, p11()->C_FindObjectsInit(session, search.data(), search.size()));
    for (;;) {
        CK_OBJECT_HANDLE handle = 0;
        CK_ULONG count = 0;
        EXPECT_EQ(CKR_OK, p11()->C_FindObjects(session, &handle, 1, &count));
        if (count == 0) break;
        found.push_back(handle);
    }
    EXPECT_EQ(CKR_OK, p11()->C_FindObjectsFinal(session));
    return found;
}

CK_RV createObject(CK_SESSION_HANDLE session, Template object, CK_OBJECT_HANDLE& handle) {
    return p11()->C_CreateObject(session, object.data(), object.size(), &handle);
}

Bytes attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query{type, nullptr, 0};
    EXPECT_EQ(CKR_OK, p11()->C_GetAttributeValue(session, object, &query, 1)) << "type " << type;
    if (query.ulValueLen == CK_UNAVAILABLE_INFORMATION) return {};
    Bytes value(query.ulValueLen);
    query.pValue = value.data();
    EXPECT_EQ(CKR_OK, p11()->C_GetAttributeValue(session, object, &query, 1)) << "type " << type;
    return value;
}

std::string runCommand(const std::string& command, int& status) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return output;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int raw = ::pclose(pipe);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

Bytes makeCertificate(const std::string& commonName) {
    const fs::path dir = fs::path(workDirectory()) / ("cert-" + commonName);
    fs::create_directories(dir);
    int status = 0;
    const std::string output = runCommand(
        "openssl req -x509 -newkey rsa:1024 -nodes -days 2 -subj '/CN=" + commonName + "' -keyout '" +
            (dir / "key.pem").string() + "' -outform DER -out '" + (dir / "cert.der").string() + "'",
        status);
    EXPECT_EQ(0, status) << output;
    std::ifstream file(dir / "cert.der", std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

Bytes makeVersionOneCertificate(const std::string& commonName) {
    const fs::path dir = fs::path(workDirectory()) / ("v1cert-" + commonName);
    fs::create_directories(dir);
    const std::string key = (dir / "key.pem").string();
    const std::string request = (dir / "request.pem").string();
    const std::string certificate = (dir / "cert.der").string();
    int status = 0;
    std::string output = runCommand("openssl req -new -newkey rsa:1024 -nodes -subj '/CN=" + commonName +
                                        "' -keyout '" + key + "' -out '" + request + "'",
                                    status);
    EXPECT_EQ(0, status) << output;
    output = runCommand("openssl x509 -req -in '" + request + "' -signkey '" + key +
                            "' -days 2 -outform DER -out '" + certificate + "'",
                        status);
    EXPECT_EQ(0, status) << output;
    std::ifstream file(certificate, std::ios::binary);
    Bytes der(std::istreambuf_iterator<char>(file), {});
    // 30 82 xx xx | 30 82 yy yy | then the serial number, no [0] element.
    EXPECT_TRUE(der.size() > 8 && der[8] == 0x02) << "not a version 1 certificate";
    return der;
}

}  // namespace sessiontest
