#include "p11exceptions.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct MessageCase {
    std::string expected;
    std::string actual;
};

void PrintTo(const MessageCase& c, std::ostream* os) {
    *os << c.expected;
}

class ExceptionMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ExceptionMessageTest, ReadsExactly) {
    EXPECT_EQ(GetParam().expected, GetParam().actual);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, ExceptionMessageTest,
    ::testing::Values(
        MessageCase{"Invalid attribute type [type=3, CKA_LABEL]",
                    AttributeTypeInvalidException(CKA_LABEL).what()},
        MessageCase{"Small buffer for storing P11 object attribute's value [actual=2, expected=8]",
                    AttributeBufferTooSmallException(2, 8).what()},
        MessageCase{
            "Attribute type is sensitive and can not be revealed [type=291, CKA_PRIVATE_EXPONENT]",
            AttributeTypeSensitiveException(CKA_PRIVATE_EXPONENT).what()},
        MessageCase{"Attribute is read-only [type=0, CKA_CLASS]",
                    AttributeReadOnlyException(CKA_CLASS).what()},
        MessageCase{"Template is inconsistent. Multiple occurence of attribute [type=258]",
                    TemplateInconsistentException(CKA_ID).what()},
        MessageCase{"Template is incomplete. Missing attribute type [type=0x102]",
                    TemplateIncompleteException(CKA_ID).what()},
        MessageCase{"Size of attribute value is too big [type=3, actual=200, maximum=128]",
                    AttributValueInvalidException::tooBig(CKA_LABEL, 200, 128).what()},
        MessageCase{"Size of attribute value is too small [type=0, actual=1, minimum=8]",
                    AttributValueInvalidException::tooSmall(CKA_CLASS, 1, 8).what()},
        MessageCase{"Invalid value of attribute [type=0x1]",
                    AttributValueInvalidException::invalidValue(CKA_TOKEN).what()},
        MessageCase{"invalid CK_OBJECT_HANDLE [42]", InvalidObjectHandleException(42).what()},
        MessageCase{"invalid CK_SESSION_HANDLE [7]", InvalidSessionHandleException(7).what()},
        MessageCase{"invalid SLOT_ID 9", SlotNotFoundException(9).what()},
        MessageCase{"The operation has not been inicalized: sign",
                    OperationNotInitialized("sign").what()},
        MessageCase{"Library not initialized", LibraryNotInicializedException().what()},
        MessageCase{
            "Application has already opened R/W session authenticated with SO, unable to login in.",
            ReadWriteSoSessionExistsException().what()},
        MessageCase{"Invalid lenght of encrypted data [length=100]",
                    InvalidEncryptedDataLength(100).what()},
        MessageCase{"Invalid format of encrypted data [no zero separator]",
                    InvalidEncryptedData("no zero separator").what()},
        MessageCase{"Invalid lenght of plain text data [length=300]",
                    InvalidPlainTextDataLength(300).what()},
        MessageCase{"The slot does not contain any reader [slotId=4]",
                    ReaderNotInSlotException(4).what()},
        MessageCase{"Default certificate not found.", DefaultCertificateException().what()}));

TEST(ExceptionMessages, NullOperationNameDoesNotCrash) {
    EXPECT_EQ(std::string("The operation has not been inicalized: "),
              OperationNotInitialized(nullptr).what());
}

TEST(ExceptionMessages, CopiesKeepTheMessage) {
    SlotNotFoundException original(5);
    SlotNotFoundException copy = original;
    EXPECT_EQ(std::string(original.what()), copy.what());
}

}  // namespace
