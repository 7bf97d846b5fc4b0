// Helpers of the object suites: templates, searches and attribute reads
// through the module's function list.
#pragma once

#include <string>
#include <vector>

#include "sessionbench.h"

namespace sessiontest {

using Bytes = std::vector<std::uint8_t>;

// A template whose attributes own their values.
class Template {
public:
    Template& add(CK_ATTRIBUTE_TYPE type, const Bytes& value);
    Template& add(CK_ATTRIBUTE_TYPE type, const std::string& value);
    Template& addBool(CK_ATTRIBUTE_TYPE type, bool value);
    Template& addUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
    CK_ATTRIBUTE* data();
    CK_ULONG size() const { return static_cast<CK_ULONG>(values.size()); }

private:
    std::vector<CK_ATTRIBUTE_TYPE> types;
    std::vector<Bytes> values;
    std::vector<CK_ATTRIBUTE> attributes;
};

Bytes ulongBytes(CK_ULONG value);
Bytes bytesOf(const std::string& text);

// Every handle a search with the template finds, taken one at a time.
std::vector<CK_OBJECT_HANDLE> findAll(CK_SESSION_HANDLE session, Template search = {});
CK_RV createObject(CK_SESSION_HANDLE session, Template object, CK_OBJECT_HANDLE& handle);
// The attribute's value; fails the test when it cannot be read.
Bytes attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
// Runs a shell command; returns its standard output (and error), sets the
// exit status.
std::string runCommand(const std::string& command, int& status);
// A self-signed certificate (DER) made by OpenSSL with the common name.
Bytes makeCertificate(const std::string& commonName);
// The same as an X.509 version 1 certificate: its to-be-signed part has no
// version element (openssl x509 -req without extensions makes one).
Bytes makeVersionOneCertificate(const std::string& commonName);

}  // namespace sessiontest
