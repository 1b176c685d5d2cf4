// The main job's scripted user: a short, paced sequence of real file
// operations on the test drives that exercises every kind of report.
#ifndef TERNFILEMON_HOST_SCENARIO_SCENARIOSTEPS_H
#define TERNFILEMON_HOST_SCENARIO_SCENARIOSTEPS_H

#include <windows.h>

#include <functional>
#include <string>

namespace tern {

struct ScenarioSettings {
    std::string strFixedRoot = "D:\\";      // a local fixed drive
    std::string strRemovableRoot = "E:\\";  // a removable drive
    std::string strFolderName;              // the demo folder on both drives
    DWORD nPauseMs = 400;                   // between steps: Wine drops records of bursts
    bool bKeep = false;                     // leave the files for a look afterwards
};

class ScenarioSteps {
public:
    explicit ScenarioSteps(const ScenarioSettings& settings);

    // Waits until ternwatch says it is watching (its named event); false on timeout.
    static bool WaitForWatcher(DWORD nTimeoutMs);

    // Runs every step; false when a step failed (the rest is still tried).
    bool Run();

private:
    bool MakeFolders();
    bool NewFile();
    bool PasteCopiedFile();
    bool OfficeSave();
    bool RenameFile();
    bool DeleteFile();
    bool RemovableArrival();
    void CleanUp();

    // Says what comes, does it, says when it failed, and pauses.
    bool Step(const std::string& strWhat, const std::function<bool()>& fnDo);
    void Pause() const { ::Sleep(m_settings.nPauseMs); }

    ScenarioSettings m_settings;
    std::string m_strFixedDir;      // D:\<folder>
    std::string m_strRemovableDir;  // E:\<folder>
    std::string m_strArrivedFile;   // written on E:\ after the arrival
    bool m_bAllOk = true;
};

// Publishes the list of copied files the way the client's clipboard helper
// does: in the shared section "Global\Nimb_Clipbrd_Buffer" when it exists,
// else as a file-drop list on the clipboard. An empty list clears both.
bool PublishCopiedFiles(const std::string& strBarSeparatedPaths);

// Sends the hidden window "FileMon" a volume arrival for a drive letter.
bool SendVolumeArrival(char chDrive);

bool WriteTextFile(const std::string& strPath, const std::string& strText);

}  // namespace tern

#endif
