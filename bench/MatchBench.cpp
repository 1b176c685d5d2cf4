// Rule matching and copy-source lookup: what one report and one added file
// cost the notification thread. Prints microseconds per call.
//   match_bench.exe        (run from the folder of regex.dll, under the harness's prefix)
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../TernFileMon/copy/ClipboardBuffer.h"
#include "../TernFileMon/copy/CopySource.h"
#include "../TernFileMon/filemon/FileMonitor.h"
#include "../TernFileMon/filemon/RecordedRoots.h"
#include "Stopwatch.h"

namespace {

using terntest::MicrosecondsPerCall;

int g_nWrong = 0;

// Rules that never accept the event, and one at the front that does (the last
// one the report walk reaches).
void BenchRuleMatch() {
    tern::g_arrRecordedRoots.RemoveAll();
    tern::g_arrRecordedRoots.Append("E:\\");
    tern::CFileMonitor monitor(nullptr);
    for (bool bWildcard : {false, true}) {
        for (int nRules : {1, 10, 100, 1000}) {
            FileMonRuleList rules;
            rules.push_back(FileMonRule{bWildcard ? "*.doc" : "report.doc", "", "Modify", "hit"});
            for (int i = 1; i < nRules; ++i) {
                const std::string strName = "other" + std::to_string(i);
                rules.push_back(FileMonRule{strName + (bWildcard ? "*.txt" : ".txt"), "", "Add|Modify", "miss"});
            }
            monitor.m_pLocalRuleList = &rules;
            const double dUs = MicrosecondsPerCall(nRules >= 1000 ? 200 : 2000, [&] {
                FileMonEvent event;
                event.strPath = "D:\\work\\projects\\Report.doc";
                event.strAction = "Modify";
                if (!monitor.MatchModifyEvent(&event, &rules, false, 1) || event.strRuleTag != "hit") ++g_nWrong;
            });
            std::printf("rule match, %4d %-8s rules, whole list walked %9.2f us\n", nRules,
                        bWildcard ? "wildcard" : "exact", dUs);
            monitor.m_pLocalRuleList = nullptr;
        }
    }
    tern::g_arrRecordedRoots.RemoveAll();
}

void SetSection(const std::string& strText) {
    std::memcpy(tern::g_pClipBufferView.Get(), strText.c_str(), strText.size() + 1);
}

bool PutFileDrop(const std::vector<std::string>& vecPaths) {
    std::string strNames;
    for (const std::string& strPath : vecPaths) strNames += strPath + '\0';
    strNames += '\0';
    HGLOBAL hData = ::GlobalAlloc(GMEM_MOVEABLE, sizeof(DROPFILES) + strNames.size());
    if (hData == nullptr) return false;
    auto* pDrop = static_cast<DROPFILES*>(::GlobalLock(hData));
    *pDrop = DROPFILES{};
    pDrop->pFiles = sizeof(DROPFILES);
    std::memcpy(pDrop + 1, strNames.data(), strNames.size());
    ::GlobalUnlock(hData);
    if (!::OpenClipboard(nullptr)) return ::GlobalFree(hData), false;
    ::EmptyClipboard();
    const bool bSet = ::SetClipboardData(CF_HDROP, hData) != nullptr;
    if (!bSet) ::GlobalFree(hData);
    ::CloseClipboard();
    return bSet;
}

void Lookup(const char* pszCase, const std::string& strNewPath, std::string& strTemp,
            const std::string& strExpected, int nCalls) {
    const double dUs = MicrosecondsPerCall(nCalls, [&] {
        if (tern::FindCopySource(strNewPath, strTemp) != strExpected) ++g_nWrong;
    });
    std::printf("copy lookup, %-52s %9.1f us\n", pszCase, dUs);
}

void BenchCopyLookup() {
    if (!tern::CreateClipboardBuffer()) {
        std::printf("copy lookup: cannot create the shared section\n");
        ++g_nWrong;
        return;
    }
    const std::string strIni = tern::GetCopyIniPath();
    ::CreateDirectoryA(strIni.substr(0, strIni.rfind('\\')).c_str(), nullptr);
    FILE* pIni = std::fopen(strIni.c_str(), "wb");
    if (pIni != nullptr) {
        std::fputs("[KeyNameOfCopyFile]\r\nCopyKeyValue=_copy||- Copy\r\n", pIni);
        std::fclose(pIni);
    }
    std::string strTemp = "Q:\\no-temp-here";
    SetSection("C:\\docs\\report.doc");
    Lookup("section with one path, a hit:", "D:\\report.doc", strTemp, "C:\\docs\\report.doc", 200);

    std::string strList;  // 4095 paths of about 250 bytes, none of them the source
    for (int i = 0; i < 4095; ++i) strList += "C:\\" + std::string(230, 'd') + "\\file" + std::to_string(i) + ".txt|";
    SetSection(strList);
    Lookup("section with 4095 long paths, a miss:", "D:\\report.doc", strTemp, "", 20);

    // Every entry in the same folder with its base in the name: each reads the INI files.
    SetSection("C:\\a\\r.txt|C:\\a\\re.txt|C:\\a\\rep.txt|C:\\a\\repo.txt|C:\\a\\x.txt");
    Lookup("4 same-folder candidates with INI reads, then a hit:", "C:\\a\\x_copy.txt", strTemp,
           "C:\\a\\x.txt", 50);

    std::memset(tern::g_pClipBufferView.Get(), 'x', tern::kClipBufferSize);
    Lookup("section full, no terminator:", "D:\\report.doc", strTemp, "", 20);

    SetSection("");
    std::vector<std::string> vecDropped;
    for (int i = 0; i < 100; ++i) vecDropped.push_back("C:\\clip\\file" + std::to_string(i) + ".doc");
    if (!PutFileDrop(vecDropped)) ++g_nWrong;
    Lookup("section empty, clipboard with 100 files, last one:", "E:\\file99.doc", strTemp,
           "C:\\clip\\file99.doc", 50);
    strTemp.clear();  // no user token: the temporary directory is looked for on every file
    Lookup("no user token, temp directory retried each time:", "E:\\file1.doc", strTemp,
           "C:\\clip\\file1.doc", 50);
    ::DeleteFileA(strIni.c_str());
}

}  // namespace

int main() {
    BenchRuleMatch();
    BenchCopyLookup();
    if (g_nWrong != 0) std::printf("WRONG ANSWERS: %d\n", g_nWrong);
    return g_nWrong == 0 ? 0 : 1;
}
