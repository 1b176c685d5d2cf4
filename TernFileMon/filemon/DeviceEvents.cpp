// Device arrival and removal as the hidden window hears of them, and the
// one-shot timers that re-attach roots once a device has settled.
#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <cstring>

#include "RecordedRoots.h"
#include "FileMonitor.h"

namespace tern {

LONG g_nNewDiskRetries = 0;

namespace {

constexpr UINT_PTR kFirstTimerId = TIMER_NEWDISK;
constexpr UINT_PTR kLastTimerId = TIMER_QUERYREMOVE;

// The volume record of an event, or null when the event is about something
// else. Any process can send this message: only a record whose own size
// covers a whole volume record is read past its header (the system copies
// exactly that many bytes across processes).
const DEV_BROADCAST_VOLUME* VolumeOf(LPARAM dwData) {
    const auto* pHeader = reinterpret_cast<const DEV_BROADCAST_HDR*>(dwData);
    if (pHeader == nullptr || pHeader->dbch_devicetype != DBT_DEVTYP_VOLUME) return nullptr;
    if (pHeader->dbch_size < sizeof(DEV_BROADCAST_VOLUME)) return nullptr;
    return reinterpret_cast<const DEV_BROADCAST_VOLUME*>(pHeader);
}

bool IsCdromDrive(char chLetter) {
    const ByteString strDrive = FormatTruncated(20, "%c:", chLetter);
    return ::GetDriveTypeA(strDrive.c_str()) == DRIVE_CDROM;
}

}  // namespace

BOOL CFileMonitor::OnDeviceChange(WPARAM nEventType, LPARAM dwData) {
    if (::IsWindow(m_hWnd.load())) {
        Log("OnDeviceChange");
    } else {
        Log("OnDeviceChange ----Create Windows");
        CreateMonitorWindow();
    }
    // Until a monitor type has been started there is nothing to follow, and
    // once the monitor is going away nothing more is started.
    if (m_pfnUsbCallback == nullptr && m_pfnLocalCallback == nullptr) return TRUE;
    if (IsClosing()) return TRUE;

    switch (nEventType) {
    case DBT_DEVICEARRIVAL:
        if (const DEV_BROADCAST_VOLUME* pVolume = VolumeOf(dwData)) {
            OnVolumeArrival(FirstDriveFromMask(pVolume->dbcv_unitmask));
        }
        break;
    case DBT_DEVICEQUERYREMOVE:
        OnQueryRemove();
        break;
    case DBT_DEVICEREMOVECOMPLETE:
        if (const DEV_BROADCAST_VOLUME* pVolume = VolumeOf(dwData)) {
            OnVolumeRemoveComplete(FirstDriveFromMask(pVolume->dbcv_unitmask));
        }
        break;
    case DBT_CUSTOMEVENT:
        OnCustomEvent();
        break;
    default:
        break;
    }
    return TRUE;
}

// Every arriving volume but a CD-ROM is watched as FILEMON_USB. A volume that
// cannot be opened yet (still being mounted or formatted) is tried again later.
// An arrival of a root that is already watched and recorded changes nothing:
// repeated (or forged) arrivals cost a lookup each, never a new watch.
void CFileMonitor::OnVolumeArrival(char chLetter) {
    const ByteString strRoot = FormatTruncated(MAX_PATH, "%c:\\", chLetter);
    if (IsCdromDrive(chLetter)) {
        Log("OnDeviceChange-----CD ROM");
        return;
    }
    ScopedLock lock(m_csRewatch);
    if (IsAttachedUsbRoot(strRoot)) return;
    if (RegisterVolumeNotification(m_hWnd.load(), strRoot.c_str(), true) != 0) {
        AddRootForType(strRoot, FILEMON_USB);
        return;
    }
    DisarmTimer(TIMER_NEWDISK);
    std::memset(m_szPendingDrive, 0, sizeof(m_szPendingDrive));
    std::strncpy(m_szPendingDrive, strRoot.c_str(), sizeof(m_szPendingDrive) - 1);
    ArmTimer(TIMER_NEWDISK, NEWDISK_FIRST_DELAY_MS);
}

// No watch may hold a leaving volume open: the removable roots go at once and
// come back when the timer finds which of them remain.
void CFileMonitor::OnQueryRemove() {
    DriveRootList lstLocal;
    DriveRootList lstRemovable;
    CollectDrives(&lstLocal, &lstRemovable);
    const UINT nDelay = QueryRemoveDelay(lstRemovable.size());
    UnwatchRecordedRoots();
    g_arrRecordedRoots.RemoveAll();
    ArmTimer(TIMER_QUERYREMOVE, nDelay);
}

void CFileMonitor::OnVolumeRemoveComplete(char chLetter) {
    if (IsCdromDrive(chLetter)) {
        Log("OnDeviceChange-----CD ROM");
        return;
    }
    UnwatchRecordedRoots();
    g_arrRecordedRoots.RemoveAll();
    DisarmTimer(TIMER_REMOVE);
    ArmTimer(TIMER_REMOVE, REMOVE_DELAY_MS);
}

void CFileMonitor::OnCustomEvent() {
    Log("DBT_CUSTOMEVENT");
    UnwatchAllDrives();
    DisarmTimer(TIMER_CUSTOMEVENT);
    ArmTimer(TIMER_CUSTOMEVENT, CUSTOMEVENT_DELAY_MS);
}

bool CFileMonitor::IsAttachedUsbRoot(const ByteString& strRoot) {
    return g_arrRecordedRoots.ContainsNoCase(strRoot) && m_DirWatcher.IsAlreadyWatched(strRoot);
}

void CFileMonitor::OnTimer(UINT_PTR nTimerId) {
    if (IsClosing()) return;
    switch (nTimerId) {
    case TIMER_NEWDISK:
        DisarmTimer(TIMER_NEWDISK);
        OnNewDiskTimer();
        break;
    case TIMER_CUSTOMEVENT:
        DisarmTimer(TIMER_CUSTOMEVENT);
        OnCustomEventTimer();
        break;
    case TIMER_REMOVE:
        DisarmTimer(TIMER_REMOVE);
        Log("TIMER_REMOVE");
        RewatchRemovableDrives();
        break;
    case TIMER_QUERYREMOVE:
        DisarmTimer(TIMER_QUERYREMOVE);
        Log("TIMER_QUERYREMOVE");
        RewatchRemovableDrives();
        break;
    default:
        break;
    }
}

// The failures are counted across arrivals and the count survives a success,
// so a run of bad volumes gives up sooner; the limit resets the count.
void CFileMonitor::OnNewDiskTimer() {
    Log("New Hard DIsk Come");
    if (RegisterVolumeNotification(m_hWnd.load(), m_szPendingDrive, true) != 0) {
        RewatchAllDrives();
        RewatchRemovableDrivesLocked();
        return;
    }
    Log("Reset Timer Format too long, not monitor the disk::");
    Log(m_szPendingDrive);
    if (++g_nNewDiskRetries >= static_cast<LONG>(NEWDISK_RETRY_LIMIT)) {
        g_nNewDiskRetries = 0;
        return;
    }
    ArmTimer(TIMER_NEWDISK, NEWDISK_RETRY_DELAY_MS);
}

void CFileMonitor::OnCustomEventTimer() {
    if (m_pfnUsbCallback == nullptr && m_pfnLocalCallback == nullptr) return;
    UnwatchAllDrives();
    RewatchRemovableDrivesLocked();
    RewatchAllDrives();
    DriveRootList lstLocal;
    DriveRootList lstRemovable;
    CollectDrives(&lstLocal, &lstRemovable);
    for (const ByteString& strRoot : lstLocal) {
        RegisterVolumeNotification(m_hWnd.load(), strRoot.c_str(), true);
    }
}

bool CFileMonitor::ArmTimer(UINT_PTR nTimerId, UINT nPeriodMs) {
    const UINT nElapse = std::max<UINT>(1, nPeriodMs / m_nTimerDivisor.load());
    const bool bArmed = ::SetTimer(m_hWnd.load(), nTimerId, nElapse, nullptr) != 0;
    if (!bArmed) {
        Log(FormatTruncated(MAX_PATH, "SetTimer %u failed, Error::%lu: its device action will not run",
                            static_cast<unsigned>(nTimerId), ::GetLastError()));
    }
    if (nTimerId >= kFirstTimerId && nTimerId <= kLastTimerId) {
        m_arrArmedPeriods[nTimerId - kFirstTimerId] = bArmed ? nPeriodMs : 0;
    }
    return bArmed;
}

void CFileMonitor::DisarmTimer(UINT_PTR nTimerId) {
    ::KillTimer(m_hWnd.load(), nTimerId);
    if (nTimerId >= kFirstTimerId && nTimerId <= kLastTimerId) {
        m_arrArmedPeriods[nTimerId - kFirstTimerId] = 0;
    }
}

UINT CFileMonitor::ArmedTimerPeriod(UINT_PTR nTimerId) const {
    if (nTimerId < kFirstTimerId || nTimerId > kLastTimerId) return 0;
    return m_arrArmedPeriods[nTimerId - kFirstTimerId].load();
}

void CFileMonitor::SetTimerDivisor(UINT nDivisor) {
    m_nTimerDivisor = nDivisor != 0 ? nDivisor : 1;
}

}  // namespace tern
