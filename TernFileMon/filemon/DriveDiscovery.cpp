// Which drives are watched, and the handle notifications that tell the hidden
// window when a watched volume is about to leave.
#include <windows.h>
#include <dbt.h>
#include <winioctl.h>

#include <cctype>
#include <cstring>
#include <utility>
#include <vector>

#include "../common/Win32Handles.h"
#include "FileMonitor.h"

namespace tern {

namespace {

// The descriptor buffer is larger than the fixed part so that the vendor and
// product strings that follow it fit as well.
constexpr DWORD kDescriptorBufferSize = 551;
constexpr DWORD kListDirectoryAccess = 1;
constexpr DWORD kNotificationOpenFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED;

// 0 for "A:..." up to 25 for "Z:...", -1 for anything else.
int DriveSlotOf(const char* pszRoot) {
    const char chLetter = static_cast<char>(std::toupper(static_cast<unsigned char>(pszRoot[0])));
    if (chLetter < 'A' || chLetter > 'Z' || pszRoot[1] != ':') return -1;
    return chLetter - 'A';
}

bool IsFloppyRoot(const ByteString& strRoot) {
    return EqualsNoCase(strRoot, "A:\\") || EqualsNoCase(strRoot, "B:\\");
}

}  // namespace

void CFileMonitor::CollectDrives(DriveRootList* pLocalList, DriveRootList* pRemovableList) const {
    if (pLocalList == nullptr || pRemovableList == nullptr) return;
    const DWORD nLength = ::GetLogicalDriveStringsA(0, nullptr);
    if (nLength == 0) {
        Log(FormatTruncated(MAX_PATH, "GetLogicalDriveStrings failed, Error::%lu",
                            ::GetLastError()));
        return;
    }
    std::vector<char> buffer(nLength + 1, '\0');
    // The drive set can grow between the two calls; what no longer fits is left out.
    ::GetLogicalDriveStringsA(nLength, buffer.data());
    for (DWORD i = 0; i < nLength / 4; ++i) {
        const char* pszEntry = buffer.data() + 4 * i;
        const char chLetter = pszEntry[0];
        if (chLetter == '\0') break;
        switch (::GetDriveTypeA(pszEntry)) {
        case DRIVE_REMOVABLE: {
            const ByteString strRoot = FormatTruncated(MAX_PATH, "%c:\\", chLetter);
            if (!IsFloppyRoot(strRoot)) pRemovableList->push_back(strRoot);
            break;
        }
        case DRIVE_FIXED: {
            const ByteString strLetter = FormatTruncated(MAX_PATH, "%c", chLetter);
            const ByteString strRoot = FormatTruncated(MAX_PATH, "%c:\\", chLetter);
            if (IsUsbDisk(strLetter.c_str())) {
                pRemovableList->push_back(strRoot);
            } else {
                pLocalList->push_back(strRoot);
            }
            break;
        }
        default:
            break;  // CD-ROM, network, RAM disk, no root: never watched
        }
    }
}

bool CFileMonitor::IsUsbDisk(const char* pszLetter) {
    if (pszLetter == nullptr || std::strlen(pszLetter) >= 3) return false;
    const ByteString strVolume = FormatTruncated(MAX_PATH, "\\\\?\\%s:", pszLetter);
    UniqueHandle hVolume(::CreateFileA(strVolume.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       0, nullptr));
    if (!hVolume) return false;
    // DWORD elements keep the descriptor's fields aligned.
    std::vector<DWORD> buffer((kDescriptorBufferSize + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    auto* pDescriptor = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(buffer.data());
    pDescriptor->Size = kDescriptorBufferSize;
    return QueryDeviceDescriptor(hVolume.Get(), pDescriptor) && pDescriptor->BusType == BusTypeUsb;
}

bool CFileMonitor::QueryDeviceDescriptor(HANDLE hVolume, STORAGE_DEVICE_DESCRIPTOR* pDescriptor) {
    if (pDescriptor == nullptr) return false;
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    DWORD nReturned = 0;
    return ::DeviceIoControl(hVolume, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query),
                             pDescriptor, pDescriptor->Size, &nReturned, nullptr) != FALSE;
}

int CFileMonitor::RegisterVolumeNotification(HWND hWnd, const char* pszRoot, bool bRegister) {
    if (pszRoot == nullptr) return 0;
    UniqueHandle hDirectory(::CreateFileA(pszRoot, kListDirectoryAccess,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, kNotificationOpenFlags, nullptr));
    if (!hDirectory) {
        Log(FormatTruncated(MAX_PATH, "Open Dir %s fail::%d\n", pszRoot,
                            static_cast<int>(::GetLastError())));
        return 0;
    }
    if (!bRegister) return 0;
    const int nSlot = DriveSlotOf(pszRoot);
    if (nSlot < 0 || hWnd == nullptr) {
        Log(FormatTruncated(MAX_PATH, "No device notification for %s: %s", pszRoot,
                            hWnd == nullptr ? "no window" : "not a drive root"));
        return 0;
    }
    DEV_BROADCAST_HANDLE filter = {};
    filter.dbch_size = sizeof(filter);
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = hDirectory.Get();
    UniqueDevNotify hNotify(
        ::RegisterDeviceNotificationA(hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
    if (!hNotify) {
        Log(FormatTruncated(MAX_PATH, "RegisterDeviceNotification %s fail::%lu", pszRoot,
                            ::GetLastError()));
        return 0;
    }
    // The newest registration of a drive replaces the one before it.
    ScopedLock lock(m_csRewatch);
    m_arrNotifications[nSlot] = std::move(hNotify);
    return 1;
}

char CFileMonitor::FirstDriveFromMask(DWORD nUnitMask) {
    int i = 0;
    for (; i < 26; ++i) {
        if (nUnitMask & 1) break;
        nUnitMask >>= 1;
    }
    return static_cast<char>('A' + i);
}

UINT CFileMonitor::QueryRemoveDelay(size_t nRemovableRoots) {
    if (nRemovableRoots == 0) return QUERYREMOVE_DELAY_PER_ROOT_MS;
    return static_cast<UINT>(nRemovableRoots) * QUERYREMOVE_DELAY_PER_ROOT_MS;
}

}  // namespace tern
