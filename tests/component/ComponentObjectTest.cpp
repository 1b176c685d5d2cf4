// CTernFileMon and CTernComponent class by class.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../TernFileMon/component/TernFileMonObject.h"
#include "../../TernFileMon/filemon/FileMonitor.h"

using tern::CTernFileMon;

namespace {

std::vector<std::pair<std::string, unsigned>> g_logged;

int TERN_CALLBACK RecordText(const std::string*, int, int, const char* pszText, unsigned int nLength,
                             int, int) {
    g_logged.emplace_back(pszText, nLength);
    return 0;
}

void TERN_CALLBACK HostFunctionA() {}
void TERN_CALLBACK HostFunctionB() {}

}  // namespace

TEST(ComponentObject, ValuesAreStoredAndReadBackThroughTheClassSlots) {
    CTernFileMon object;
    EXPECT_TRUE(object.IsInitialized());
    EXPECT_EQ(object.RefCount(), 0);
    EXPECT_EQ(object.SetValue1(11), 0);
    EXPECT_EQ(object.SetValue2(22), 0);
    EXPECT_EQ(object.SetValue3(33), 0);
    EXPECT_EQ(object.GetValue2(), 22);
    EXPECT_EQ(object.GetValue3(), 33);
    EXPECT_EQ(object.GetDefaultValue(), 0);
    EXPECT_EQ(object.HandleDefaultPair(1, 2), 0);
    EXPECT_EQ(object.Name(), "");
}

TEST(ComponentObject, HostFunctionTableHasTwelveSlotsAndNoOthers) {
    CTernFileMon object;
    const int ids[] = {0x100, 0x200, 0x300, 0x400, 0x500, 0x600,
                       0x700, 0x800, 0x900, 0x1000, 0x1100, 0x1200};
    for (int nId : ids) {
        EXPECT_EQ(object.RegisterHostFunction(nId, HostFunctionA, 0), 0) << std::hex << nId;
        EXPECT_EQ(object.HostFunction(nId), HostFunctionA) << std::hex << nId;
    }
    EXPECT_EQ(object.Name(), "TernFileMon");

    for (int nId : {0xA00, 0xB00, 0xF00, 0x1300, 0, -1}) {
        EXPECT_EQ(object.RegisterHostFunction(nId, HostFunctionB, 0), 0) << std::hex << nId;
        EXPECT_EQ(object.HostFunction(nId), nullptr) << std::hex << nId;
        EXPECT_EQ(object.UnregisterHostFunction(nId, 0), 0);
    }

    // A null function keeps the slot; unregistering one id empties that id only.
    EXPECT_EQ(object.RegisterHostFunction(0x900, nullptr, 0), -1);
    EXPECT_EQ(object.HostFunction(0x900), HostFunctionA);
    EXPECT_EQ(object.UnregisterHostFunction(0x900, 0), 0);
    for (int nId : ids) {
        EXPECT_EQ(object.HostFunction(nId), nId == 0x900 ? nullptr : HostFunctionA) << std::hex << nId;
    }
}

TEST(ComponentObject, WriteLogMeasuresTheTextAndDropsNull) {
    CTernFileMon object;
    g_logged.clear();
    object.WriteLog("dropped: no log function", 1);
    EXPECT_TRUE(g_logged.empty());

    ASSERT_EQ(object.RegisterHostFunction(TERN_HOSTFN_LOG,
                                          reinterpret_cast<TernHostFunction>(RecordText), 0),
              0);
    object.WriteLog(nullptr, 1);
    object.WriteLog("", 1);
    object.WriteLog("Open Dir D:\\ fail::5\n", 1);
    ASSERT_EQ(g_logged.size(), 2u);
    EXPECT_EQ(g_logged[0], std::make_pair(std::string(), 0u));
    EXPECT_EQ(g_logged[1], std::make_pair(std::string("Open Dir D:\\ fail::5\n"), 21u));
}

TEST(ComponentObject, InitializeOnAnInitialisedObjectStartsNoSecondThread) {
    CTernFileMon object;
    ASSERT_TRUE(object.IsInitialized());
    HANDLE hThreadBefore = object.FileMonitor()->WindowThreadHandle();
    EXPECT_EQ(object.Initialize("text"), 0);
    EXPECT_EQ(object.FileMonitor()->WindowThreadHandle(), hThreadBefore);
    EXPECT_EQ(object.HandleText("x"), 0);
    EXPECT_EQ(object.HandlePair(1, 2), 0);
    EXPECT_EQ(object.GetTextById(3), "");
}

TEST(ComponentObject, FirstDnsLabel) {
    EXPECT_EQ(tern::FirstDnsLabel("host.corp.example.com"), "host");
    EXPECT_EQ(tern::FirstDnsLabel("host"), "host");
    EXPECT_EQ(tern::FirstDnsLabel(".corp.example"), "");
    EXPECT_EQ(tern::FirstDnsLabel(""), "");
}
