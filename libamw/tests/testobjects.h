// Concrete model objects for tests: the card driver's classes add the card
// side; these add nothing but a way to serve content and count commits.
#pragma once

#include <cstring>
#include <initializer_list>
#include <vector>

#include "amw/dataobject.h"
#include "amw/directory.h"
#include "amw/file.h"
#include "amw/keypair.h"
#include "amw/x509certificate.h"

namespace amwtest {

template <std::size_t N>
StaticBuffer<N> buffer(std::initializer_list<std::uint8_t> bytes) {
    std::vector<std::uint8_t> v(bytes);
    return StaticBuffer<N>(v.data(), v.size());
}

template <std::size_t N>
StaticBuffer<N> text(const char* s) {
    return StaticBuffer<N>(s, std::strlen(s));
}

class TestKeyPair : public amw::KeyPair {
public:
    using KeyPair::KeyPair;
    void commitCreationOrMetadataChanges() override { ++commits; }
    int commits = 0;
};

// Content served by readContent; `privateContent` as the card would decide.
template <class Base>
class WithContent : public Base {
public:
    using Base::Base;
    void commitCreationOrMetadataChanges() override {}
    void commitContentChanges() override {}
    bool isPrivateContent() const override { return privateContent; }
    void readContent(amw::DataStorage::Content& content) override {
        ++reads;
        content.assign(cardContent.data(), cardContent.size());
    }
    std::vector<std::uint8_t> cardContent;
    bool privateContent = false;
    int reads = 0;
};

using TestCertificate = WithContent<amw::X509Certificate>;
using TestDataObject = WithContent<amw::DataObject>;
using TestFile = WithContent<amw::File>;

// A directory record is the name followed by the card's part; here a 16-bit
// block id stands for that part.
class TestDirectory : public amw::Directory {
public:
    using Directory::Directory;
    void commitCreationOrMetadataChanges() override {}
    void writeStream(std::ostream& stream) const override {
        writeDirectoryName(stream);
        writeUint16(stream, blockId);
    }
    void readStream(std::istream& stream) override {
        readDirectoryName(stream);
        blockId = readUint16(stream);
    }
    std::uint16_t blockId = 0x8000;
};

}  // namespace amwtest
