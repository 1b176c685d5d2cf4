// The monitoring operations of ITernFileMon and ICommonControl, called the
// way a host calls them: through the DLL's CreateObject and the interfaces.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "TernFileMon.h"

// The host's callbacks are called with the standard Windows convention (the
// callee pops its argument on the 32-bit build).
static_assert(std::is_same<FileMonCallback, void(WINAPI*)(FileMonEvent*)>::value,
              "report callbacks use the standard Windows calling convention");

namespace {

std::vector<std::string> g_logLines;

int TERN_CALLBACK CollectLog(const std::string*, int, int, const char* pszText, unsigned int,
                             int, int) {
    g_logLines.emplace_back(pszText != nullptr ? pszText : "");
    return 0;
}

void TERN_CALLBACK IgnoreReport(FileMonEvent*) {}

class MonitorControl : public ::testing::Test {
protected:
    void SetUp() override {
        g_logLines.clear();
        m_hModule = ::LoadLibraryA("TernFileMon.dll");
        ASSERT_NE(m_hModule, nullptr);
        auto pfnCreate = TernGetExport<PFN_CreateObject>(m_hModule, "CreateObject");
        ASSERT_NE(pfnCreate, nullptr);
        TernInitRecord init = {CollectLog, 0};
        m_pMonitor = pfnCreate("ITernFileMon", &m_pControl, &init);
        ASSERT_NE(m_pMonitor, nullptr);
        ASSERT_NE(m_pControl, nullptr);
        g_logLines.clear();
    }
    void TearDown() override {
        if (m_pMonitor != nullptr) {
            EXPECT_EQ(m_pMonitor->Release(), 0u);
        }
        if (m_hModule != nullptr) ::FreeLibrary(m_hModule);
    }
    bool Logged(const std::string& strLine) const {
        for (const std::string& str : g_logLines) {
            if (str == strLine) return true;
        }
        return false;
    }

    HMODULE m_hModule = nullptr;
    ITernFileMon* m_pMonitor = nullptr;
    ICommonControl* m_pControl = nullptr;
};

}  // namespace

TEST_F(MonitorControl, StartRefusesUnknownTypesAndPassesTheRestOn) {
    FileMonRuleList rules;
    for (int nType : {0, 3, -1}) {
        g_logLines.clear();
        FileMonFilterList filter = {nType, &rules};
        EXPECT_FALSE(m_pMonitor->StartMonitoring(IgnoreReport, &filter)) << nType;
        EXPECT_EQ(g_logLines, std::vector<std::string>{"unkonw filemonitor Type"}) << nType;
    }

    // A null filter list cannot name a type: refused with a line of its own.
    g_logLines.clear();
    EXPECT_FALSE(m_pMonitor->StartMonitoring(IgnoreReport, nullptr));
    EXPECT_EQ(g_logLines.size(), 1u);

    // True means handed to the file monitor, which refuses a null callback itself.
    for (int nType : {FILEMON_USB, FILEMON_LOCAL}) {
        g_logLines.clear();
        FileMonFilterList filter = {nType, &rules};
        EXPECT_TRUE(m_pMonitor->StartMonitoring(nullptr, &filter)) << nType;
        EXPECT_TRUE(Logged("StartFileMonitor pFilterList or pFunction is NULL")) << nType;
    }
}

TEST_F(MonitorControl, StopRefusesEveryTypeButOneAndTwo) {
    for (int nType : {0, 3, -7}) {
        g_logLines.clear();
        EXPECT_FALSE(m_pMonitor->StopMonitoring(nType)) << nType;
        EXPECT_EQ(g_logLines, std::vector<std::string>{"unkonw filemonitor Type"}) << nType;
    }
    // Types never started are still passed on and answered with true.
    for (int nType : {FILEMON_LOCAL, FILEMON_USB}) {
        g_logLines.clear();
        EXPECT_TRUE(m_pMonitor->StopMonitoring(nType)) << nType;
        EXPECT_TRUE(Logged("Enter Stop FileMonitor")) << nType;
        EXPECT_TRUE(Logged("Enter Stop END")) << nType;
        EXPECT_FALSE(Logged("unkonw filemonitor Type")) << nType;
    }
}

TEST_F(MonitorControl, CheckEventNeedsARuleListAndToleratesANullRecord) {
    FileMonRuleList rules;
    rules.push_back(FileMonRule{"a.txt", "", "Add", "tag"});
    EXPECT_FALSE(m_pMonitor->CheckEvent(nullptr, nullptr));
    EXPECT_EQ(g_logLines, std::vector<std::string>{"Not Init or Init Fail, Start Error"});

    g_logLines.clear();
    EXPECT_FALSE(m_pMonitor->CheckEvent(&rules, nullptr));
    FileMonEvent event;
    event.strPath = "D:\\a.txt";
    event.strAction = "Add";
    // No root is recorded for FILEMON_USB: the query accepts nothing.
    EXPECT_FALSE(m_pMonitor->CheckEvent(&rules, &event));
    EXPECT_EQ(event.strRuleTag, "");
    EXPECT_TRUE(g_logLines.empty());
}

TEST_F(MonitorControl, AddDriveRefusesANullLetter) {
    EXPECT_FALSE(m_pMonitor->AddDrive(nullptr));
}

TEST_F(MonitorControl, CommonControlOperationsIgnoreTheirArguments) {
    const std::string strLong(100000, 'x');
    EXPECT_EQ(m_pControl->Initialize(strLong), 0);
    EXPECT_EQ(m_pControl->Initialize(""), 0);
    EXPECT_EQ(m_pControl->HandleText(strLong), 0);
    EXPECT_EQ(m_pControl->HandlePair(-1, 0x7fffffff), 0);
    EXPECT_EQ(m_pControl->GetTextById(-5), "");
    EXPECT_EQ(m_pControl->GetTextById(0), "");
    EXPECT_TRUE(g_logLines.empty());
}
