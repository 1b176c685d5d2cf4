// The recording and replay exports of TernFileMon.dll (ordinals 5 and 6).
#include <exception>
#include <string>

#include "../DirectoryChanges/Trace.h"
#include "../include/TernFileMonReplay.h"
#include "../policy/PolicyEnvironment.h"
#include "../policy/PolicyReplay.h"

extern "C" TernPolicyRecorder TERN_CALLBACK SetPolicyRecorder(TernPolicyRecorder pfnRecorder) {
    return tern::g_pfnPolicyRecorder.exchange(pfnRecorder, std::memory_order_acq_rel);
}

extern "C" int TERN_CALLBACK ReplayPolicyNotes(const TernReplaySetup* pSetup,
                                               TernNoteSource pfnSource, void* pContext) {
    if (pSetup == nullptr || pSetup->cbSize < sizeof(TernReplaySetup) || pfnSource == nullptr) {
        return TERN_REPLAY_NULL_ARGUMENT;
    }
    try {
        return tern::ReplayPolicyNotesFrom(*pSetup, pfnSource, pContext);
    } catch (const std::exception& e) {
        TERN_TRACE((std::string("ReplayPolicyNotes Exception: ") + e.what()).c_str());
    } catch (...) {
        TERN_TRACE("ReplayPolicyNotes Exception");
    }
    return TERN_REPLAY_FAILED;
}
