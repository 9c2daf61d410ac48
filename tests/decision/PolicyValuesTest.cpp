// The policy values: read until a company identifier has been obtained, and
// never after.

#include "decision/LxShellExt.h"

#include "tests/support/DebugCapture.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

namespace {

const char c_szInvalid[] = "[CLxShellExt::GetConfigurationInfoFromCCF] ccf is invalid!!";

class PolicyValuesTest : public ::testing::Test {
protected:
    void SetUp() override { vmtest::RemovePolicy(); }
    void TearDown() override { vmtest::RemovePolicy(); }

    CLxShellExt m_ext;
    vmtest::DebugCapture m_capture;
};

TEST_F(PolicyValuesTest, UnusablePolicyLeavesTheFlagsUnreadAndIsTriedAgain)
{
    m_ext.GetConfigurationInfoFromCCF();
    m_ext.GetConfigurationInfoFromCCF();
    EXPECT_EQ(m_ext.m_bDeleteOtherAddin, -1);
    EXPECT_EQ(m_ext.m_bNotLoadSSDriver, -1);
    EXPECT_TRUE(m_ext.m_strCompanyID.empty());
    EXPECT_EQ(m_capture.Count(c_szInvalid), 2u) << m_capture.Dump();
}

// Rows: the text of "DeleteOtherAddin" (absent when null) and the flag it gives.
struct FlagRow {
    const char* m_szValue;
    int m_nExpected;
};

class PolicyFlagTest : public PolicyValuesTest, public ::testing::WithParamInterface<FlagRow> {};

TEST_P(PolicyFlagTest, OnlyTheTextOneTurnsAFlagOn)
{
    const FlagRow& row = GetParam();
    vmtest::PolicyFields fields{{"CompanyID", "ACME"}};
    if (row.m_szValue) {
        fields.push_back({"DeleteOtherAddin", row.m_szValue});
        fields.push_back({"NotLoadSSDriver", row.m_szValue});
    }
    vmtest::WritePolicy(fields);
    m_ext.GetConfigurationInfoFromCCF();
    EXPECT_EQ(m_ext.m_bDeleteOtherAddin, row.m_nExpected);
    EXPECT_EQ(m_ext.m_bNotLoadSSDriver, row.m_nExpected);
    EXPECT_EQ(m_ext.m_strCompanyID, "ACME");
}

INSTANTIATE_TEST_SUITE_P(Values, PolicyFlagTest,
                         ::testing::Values(FlagRow{"1", 1},       // on
                                           FlagRow{"0", 0},       // off
                                           FlagRow{"", 0},        // empty value
                                           FlagRow{"yes", 0},     // any other text
                                           FlagRow{" 1", 0},      // blanks are kept
                                           FlagRow{nullptr, 0})); // absent field

TEST_F(PolicyValuesTest, OnceACompanyIsKnownThePolicyIsNotReadAgain)
{
    vmtest::WritePolicy({{"CompanyID", "ACME"}, {"DeleteOtherAddin", "1"}});
    m_ext.GetConfigurationInfoFromCCF();
    ASSERT_EQ(m_ext.m_strCompanyID, "ACME");

    vmtest::WritePolicy({{"CompanyID", "OTHER"}, {"DeleteOtherAddin", "0"}});
    m_capture.Clear();
    m_ext.GetConfigurationInfoFromCCF();
    vmtest::RemovePolicy();
    m_ext.GetConfigurationInfoFromCCF();
    EXPECT_EQ(m_ext.m_strCompanyID, "ACME");
    EXPECT_EQ(m_ext.m_bDeleteOtherAddin, 1);
    EXPECT_TRUE(m_capture.Texts().empty()) << m_capture.Dump();
}

TEST_F(PolicyValuesTest, WithoutACompanyThePolicyIsReadOnEveryRequest)
{
    vmtest::WritePolicy({{"DeleteOtherAddin", "1"}});
    m_ext.GetConfigurationInfoFromCCF();
    EXPECT_EQ(m_ext.m_bDeleteOtherAddin, 1);

    vmtest::WritePolicy({{"CompanyID", ""}, {"DeleteOtherAddin", "0"}, {"NotLoadSSDriver", "1"}});
    m_ext.GetConfigurationInfoFromCCF();
    EXPECT_EQ(m_ext.m_bDeleteOtherAddin, 0);
    EXPECT_EQ(m_ext.m_bNotLoadSSDriver, 1);
    EXPECT_TRUE(m_ext.m_strCompanyID.empty());

    vmtest::RemovePolicy();
    m_ext.GetConfigurationInfoFromCCF();
    EXPECT_EQ(m_ext.m_bNotLoadSSDriver, 1) << "an unusable file changes no flag";
    EXPECT_TRUE(m_capture.Contains(c_szInvalid));
}

TEST_F(PolicyValuesTest, TracesTheValuesRead)
{
    vmtest::WritePolicy({{"CompanyID", "ACME"}, {"NotLoadSSDriver", "1"}});
    m_ext.GetConfigurationInfoFromCCF();
    EXPECT_TRUE(m_capture.Contains("[CLxShellExt::GetConfigurationInfoFromCCF] CompanyID[ACME], "
                                   "DeleteOtherAddin[0], NotLoadSSDriver[1]"))
        << m_capture.Dump();
}

} // namespace
