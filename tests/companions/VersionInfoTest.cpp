// Every shipped binary of this build carries the project's version, the
// product's names and a description of its own, as Explorer's properties
// dialog and an inventory tool read them; every program a manifest that runs
// it as its caller, without virtualization.

#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

struct VersionRow {
    const char* m_szFile;
    const char* m_szDescription;
};

// One row per file the packages install from a build.
const VersionRow c_versionRows[] = {
    {"vormidmgr.dll", "Lumidex shell-execute hook"},
    {"cipher.dll", "Lumidex policy-file library"},
    {"vormidmgr.exe", "Lumidex launcher"},
    {"vmplugin.dll", "Lumidex sample enforcement plug-in"},
    {"quorix01.dll", "Lumidex Office add-in"},
    {"quorix02.dll", "Lumidex Office add-in"},
    {"quorix03.dll", "Lumidex Office add-in"},
    {"shellexec.exe", "Lumidex shell-execute host"},
    {"tracewatch.exe", "Lumidex debug-output viewer"},
    {"ciphertool.exe", "Lumidex policy and document tool"},
    {"addinhost.exe", "Lumidex Office add-in host"},
    {"vmcheck.exe", "Lumidex machine check"},
};

std::string StringValue(const std::vector<char>& a_block, const char* a_szName)
{
    std::string strPath = std::string("\\StringFileInfo\\040904B0\\") + a_szName;
    void* pValue = nullptr;
    UINT cch = 0;
    if (!VerQueryValueA(a_block.data(), strPath.c_str(), &pValue, &cch) || !pValue)
        return "(missing)";
    return std::string(static_cast<const char*>(pValue), strnlen(static_cast<const char*>(pValue), cch));
}

// The execution level that a program's manifest (RT_MANIFEST, id 1) asks
// for, "(no manifest)" when it has none.
std::string RequestedExecutionLevel(const std::string& a_strPath)
{
    HMODULE hModule = LoadLibraryExA(a_strPath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!hModule)
        return "(not loaded)";
    std::string strManifest;
    if (HRSRC hResource = FindResourceA(hModule, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24))) {
        HGLOBAL hData = LoadResource(hModule, hResource);
        const char* pData = hData ? static_cast<const char*>(LockResource(hData)) : nullptr;
        if (pData)
            strManifest.assign(pData, SizeofResource(hModule, hResource));
    }
    FreeLibrary(hModule);
    size_t iElement = strManifest.find("<requestedExecutionLevel ");
    size_t iLevel = strManifest.find("level=\"", iElement);
    if (iElement == std::string::npos || iLevel == std::string::npos)
        return "(no manifest)";
    iLevel += 7;
    return strManifest.substr(iLevel, strManifest.find('"', iLevel) - iLevel);
}

class VersionInfoTest : public ::testing::TestWithParam<VersionRow> {};

TEST_P(VersionInfoTest, CarriesTheProjectVersionAndItsNames)
{
    const VersionRow& row = GetParam();
    std::string strPath = vmtest::BinDir() + "\\" + row.m_szFile;
    SCOPED_TRACE("GetFileVersionInfoA(\"" + strPath + "\")");
    DWORD dwHandle = 0;
    DWORD cb = GetFileVersionInfoSizeA(strPath.c_str(), &dwHandle);
    ASSERT_NE(cb, 0u) << "no version resource, error " << GetLastError();
    std::vector<char> block(cb);
    ASSERT_TRUE(GetFileVersionInfoA(strPath.c_str(), 0, cb, block.data()));

    void* pFixed = nullptr;
    UINT cbFixed = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &pFixed, &cbFixed));
    const auto* pInfo = static_cast<const VS_FIXEDFILEINFO*>(pFixed);
    EXPECT_EQ(pInfo->dwFileVersionMS, MAKELONG(VM_VERSION_MINOR, VM_VERSION_MAJOR));
    EXPECT_EQ(pInfo->dwFileVersionLS, MAKELONG(VM_VERSION_TWEAK, VM_VERSION_PATCH));
    EXPECT_EQ(pInfo->dwProductVersionMS, pInfo->dwFileVersionMS);
    EXPECT_EQ(pInfo->dwProductVersionLS, pInfo->dwFileVersionLS);
    bool bProgram = std::string(row.m_szFile).find(".exe") != std::string::npos;
    EXPECT_EQ(pInfo->dwFileType, bProgram ? DWORD(VFT_APP) : DWORD(VFT_DLL));

    EXPECT_EQ(StringValue(block, "FileVersion"), VM_VERSION_TEXT);
    EXPECT_EQ(StringValue(block, "ProductVersion"), VM_VERSION_TEXT);
    EXPECT_EQ(StringValue(block, "ProductName"), "Korvane Lumidex");
    EXPECT_EQ(StringValue(block, "CompanyName"), "Korvane");
    EXPECT_EQ(StringValue(block, "FileDescription"), row.m_szDescription);
    EXPECT_EQ(StringValue(block, "OriginalFilename"), row.m_szFile);
    // A program without a manifest is virtualized when a standard user runs it.
    if (bProgram) {
        EXPECT_EQ(RequestedExecutionLevel(strPath), "asInvoker");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, VersionInfoTest, ::testing::ValuesIn(c_versionRows));

} // namespace
