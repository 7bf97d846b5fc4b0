// Certificates, data objects, files and directories: creation (the caller
// commits the new object's metadata and content in the same transaction)
// and deletion.
#include "amwferrix/apdu.h"
#include "amwferrix/dataobject.h"
#include "amwferrix/directory.h"
#include "amwferrix/file.h"
#include "amwferrix/token.h"
#include "amwferrix/x509certificate.h"
#include "cardobject.h"
#include "logger.h"
#include "tokentrace.h"
#include "vxexception.h"

namespace amwferrix {

using detail::cardObject;

namespace {

// A new object holds no content yet; marking the empty content as loaded
// keeps anybody from asking the card for the content of an object that is
// not on it.
void startWithEmptyContent(amw::DataStorage& object) { object.setContent(nullptr, 0); }

}  // namespace

std::unique_ptr<amw::X509Certificate> Token::createCertificate(
    const StaticBuffer<128>& label, const StaticBuffer<128>& id, std::uint8_t containerIndex,
    std::uint32_t keySpec, bool trusted, std::uint16_t acRead, std::uint16_t acUpdate,
    std::uint16_t acDelete) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::createCertificate");
    trace::logHex(L"id.data = ", id.data, id.length);
    trace::logBool(L"trusted", trusted);
    apdu::createCertificate(connection, trusted ? 1 : 0, acRead, acUpdate, acDelete);
    auto certificate = std::make_unique<X509Certificate>(connection, id, trusted, label,
                                                         containerIndex, keySpec);
    certificate->createdWithoutContent();
    startWithEmptyContent(*certificate);
    return certificate;
}

void Token::deleteCertificate(amw::X509Certificate& certificate) {
    static constexpr char FN[] = "amwferrix::Token::deleteCertificate";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    const auto& card = cardObject<X509Certificate>(certificate, FN);
    trace::logNumber(L"blockId", card.getBlockId());
    apdu::deleteObject(connection, card.getBlockId());
}

std::unique_ptr<amw::DataObject> Token::createDataObject(
    const StaticBuffer<128>& label, const StaticBuffer<128>& id,
    const StaticBuffer<128>& objectId, const StaticBuffer<128>& application,
    std::uint16_t acFirst, std::uint16_t acReadContent, std::uint16_t acThird,
    std::uint16_t acFourth) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::createDataObject");
    apdu::createDataObject(connection, acFirst, acReadContent, acThird, acFourth);
    auto dataObject = std::make_unique<DataObject>(connection, id, label, objectId, application,
                                                   acReadContent);
    dataObject->createdWithoutContent();
    startWithEmptyContent(*dataObject);
    return dataObject;
}

void Token::deleteDataObject(amw::DataObject& dataObject) {
    static constexpr char FN[] = "amwferrix::Token::deleteDataObject";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    const auto& card = cardObject<DataObject>(dataObject, FN);
    trace::logNumber(L"blockId", card.getBlockId());
    apdu::deleteObject(connection, card.getBlockId());
}

std::unique_ptr<amw::File> Token::createFile(const amw::Directory* dir,
                                             const StaticBuffer<8>& fileName,
                                             std::uint16_t acRead, std::uint16_t acSecond,
                                             std::uint16_t acThird) {
    static constexpr char FN[] = "amwferrix::Token::createFile";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    if (dir == nullptr) {
        throw InvalidArgumentException::nullPointer("dir", FN, __FILE__, __LINE__);
    }
    const auto& directory = cardObject<const Directory>(*dir, FN);
    trace::logHex(L"dir->getDirectoryName().data = ", directory.getDirectoryName().data,
                  directory.getDirectoryName().length);
    trace::logHex(L"fileName.data = ", fileName.data, fileName.length);
    apdu::createFile(connection, directory.getBlockId(), fileName.data,
                     static_cast<std::uint32_t>(fileName.length), acRead, acSecond, acThird);
    auto file = std::make_unique<File>(connection, fileName, directory.getDirectoryName(), acRead,
                                       acSecond, acThird);
    startWithEmptyContent(*file);
    return file;
}

void Token::deleteFile(amw::File& file) {
    static constexpr char FN[] = "amwferrix::Token::deleteFile";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    const auto& card = cardObject<File>(file, FN);
    trace::logNumber(L"blockId", card.getBlockId());
    apdu::deleteObject(connection, card.getBlockId());
}

std::unique_ptr<amw::Directory> Token::createDirectory(const StaticBuffer<8>& directoryName,
                                                       std::uint16_t acFirst,
                                                       std::uint16_t acSecond) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::createDirectory");
    trace::logHex(L"directoryName.data = ", directoryName.data, directoryName.length);
    apdu::createDirectory(connection, directoryName.data,
                          static_cast<std::uint32_t>(directoryName.length), acFirst, acSecond);
    return std::make_unique<Directory>(connection, directoryName);
}

void Token::deleteDirectory(amw::Directory& directory) {
    static constexpr char FN[] = "amwferrix::Token::deleteDirectory";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    const auto& card = cardObject<Directory>(directory, FN);
    trace::logNumber(L"blockId", card.getBlockId());
    apdu::deleteObject(connection, card.getBlockId());
}

}  // namespace amwferrix
