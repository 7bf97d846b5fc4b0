#include <gtest/gtest.h>

#include "ctl/pinpadstructures.h"

namespace ctl {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes VERIFY_APDU = {0x00, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF,
                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

TEST(PinPadStructures, VerifyStructureHasTheFixedFieldsAndTheTemplate) {
    const auto s = PinPadStructures::buildVerifyStructure(5, VERIFY_APDU.data(),
                                                          static_cast<std::uint32_t>(VERIFY_APDU.size()));
    const Bytes header(s.begin(), s.begin() + 19);
    const Bytes expectedHeader = {0x00, 0x37, 0x82, 0x00, 0x00, 0x08, 0x01, 0x02, 0x01, 0x04,
                                  0x04, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00};
    EXPECT_EQ(expectedHeader, header);
    EXPECT_EQ(299u, s.size());
    EXPECT_EQ(VERIFY_APDU, Bytes(s.begin() + 19, s.begin() + 19 + 13));
    EXPECT_EQ(Bytes(280 - 13, 0), Bytes(s.begin() + 19 + 13, s.end()));
}

struct FormatCase {
    std::uint8_t pinOffset;
    std::uint8_t bmFormatString;
};

class VerifyFormatString : public ::testing::TestWithParam<FormatCase> {};

TEST_P(VerifyFormatString, EncodesThePinPositionFromTheDataField) {
    const auto s = PinPadStructures::buildVerifyStructure(GetParam().pinOffset, VERIFY_APDU.data(), 13);
    EXPECT_EQ(GetParam().bmFormatString, s[2]);
}

INSTANTIATE_TEST_SUITE_P(Offsets, VerifyFormatString,
                         ::testing::Values(FormatCase{5, 0x82}, FormatCase{6, 0x8A},
                                           FormatCase{7, 0x92}, FormatCase{20, 0xFA},
                                           // kept to 8 bits
                                           FormatCase{37, 0x82}));

TEST(PinPadStructures, VerifyStructureAcceptsAFullTemplate) {
    const Bytes apdu(280, 0xA5);
    const auto s = PinPadStructures::buildVerifyStructure(5, apdu.data(), 280);
    EXPECT_EQ(Bytes({0x18, 0x01, 0x00, 0x00}), Bytes(s.begin() + 15, s.begin() + 19));
    EXPECT_EQ(apdu, Bytes(s.begin() + 19, s.end()));
}

struct ModifyCase {
    bool askForCurrentPin;
    bool confirmNewPin;
    std::uint8_t bConfirmPIN;
    std::uint8_t bNumberMessage;
    std::uint8_t msgIndex1, msgIndex2, msgIndex3;
};

class ModifyMessages : public ::testing::TestWithParam<ModifyCase> {};

TEST_P(ModifyMessages, CountAndOrderFollowTheFlags) {
    const ModifyCase& c = GetParam();
    const Bytes apdu = {0x00, 0x24, 0x00, 0x01, 0x10};
    const auto s = PinPadStructures::buildModifyStructure(c.askForCurrentPin, c.confirmNewPin, 5, 13,
                                                          apdu.data(), 5);
    EXPECT_EQ(c.bConfirmPIN, s[9]);
    EXPECT_EQ(c.bNumberMessage, s[11]);
    EXPECT_EQ(c.msgIndex1, s[14]);
    EXPECT_EQ(c.msgIndex2, s[15]);
    EXPECT_EQ(c.msgIndex3, s[16]);
}

INSTANTIATE_TEST_SUITE_P(Flags, ModifyMessages,
                         ::testing::Values(ModifyCase{true, true, 0x03, 3, 0, 1, 2},
                                           ModifyCase{false, false, 0x00, 1, 1, 0, 0},
                                           ModifyCase{true, false, 0x02, 2, 0, 1, 0},
                                           ModifyCase{false, true, 0x01, 2, 1, 2, 0}));

TEST(PinPadStructures, ModifyStructureHasTheFixedFieldsOffsetsAndTemplate) {
    const Bytes apdu = {0x00, 0x24, 0x00, 0x01, 0x10, 1, 2, 3, 4, 5, 6, 7, 8,
                        9, 10, 11, 12, 13, 14, 15, 16};
    const auto s = PinPadStructures::buildModifyStructure(true, true, 5, 13, apdu.data(),
                                                          static_cast<std::uint32_t>(apdu.size()));
    EXPECT_EQ(304u, s.size());
    const Bytes header(s.begin(), s.begin() + 24);
    const Bytes expected = {0x01, 0x37, 0x02, 0x08, 0x00, 0x00, 0x08, 0x08, 0x01, 0x03, 0x02, 0x03,
                            0x04, 0x04, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x15, 0x00, 0x00, 0x00};
    EXPECT_EQ(expected, header);
    EXPECT_EQ(apdu, Bytes(s.begin() + 24, s.begin() + 24 + 21));
    EXPECT_EQ(Bytes(280 - 21, 0), Bytes(s.begin() + 24 + 21, s.end()));
}

struct FeatureCase {
    const char* name;
    Bytes list;
    std::uint32_t verify;
    std::uint32_t modify;
};

class FeatureList : public ::testing::TestWithParam<FeatureCase> {};

TEST_P(FeatureList, YieldsTheDirectPinCodes) {
    const FeatureCase& c = GetParam();
    const auto f = PinPadStructures::parseFeatureList(c.list.data(), c.list.size());
    EXPECT_EQ(c.verify, f.verifyPinDirectCode) << c.name;
    EXPECT_EQ(c.modify, f.modifyPinDirectCode) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, FeatureList,
    ::testing::Values(
        FeatureCase{"both", {0x06, 4, 0x00, 0x31, 0x35, 0x24, 0x07, 4, 0x00, 0x31, 0x35, 0x28},
                    0x00313524, 0x00313528},
        FeatureCase{"verify only", {0x06, 4, 0x00, 0x31, 0x35, 0x24}, 0x00313524, 0},
        FeatureCase{"other tags skipped",
                    {0x01, 4, 1, 2, 3, 4, 0x12, 0, 0x07, 4, 0x42, 0x33, 0x00, 0x07},
                    0, 0x42330007},
        FeatureCase{"value running past the end",
                    {0x06, 4, 0x00, 0x31, 0x35, 0x24, 0x07, 4, 0x00, 0x31, 0x35}, 0x00313524, 0},
        FeatureCase{"wrong length ignored", {0x06, 3, 0x00, 0x31, 0x35, 0x07, 4, 0, 0, 0, 9}, 0, 9},
        FeatureCase{"later entry wins",
                    {0x06, 4, 0, 0, 0, 1, 0x06, 4, 0, 0, 0, 2}, 2, 0},
        FeatureCase{"single byte", {0x06}, 0, 0},
        FeatureCase{"empty", {}, 0, 0},
        FeatureCase{"huge length byte", {0x05, 0xFF, 0x06, 4, 0, 0, 0, 1}, 0, 0}),
    [](const ::testing::TestParamInfo<FeatureCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

}  // namespace
}  // namespace ctl
