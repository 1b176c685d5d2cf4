// TernFileMon public interface: what a host compiles against.
//
// A host loads TernFileMon.dll, reads GetInterfaceList if it likes, creates the
// component with CreateObject("ITernFileMon", &pControl, &init) and from then on
// talks to it through ITernFileMon and ICommonControl, slot by slot.
//
// Toolchain requirement: the records exchanged with the host (FileMonEvent,
// FileMonRule, the rule list, the text arguments of ICommonControl) are made of
// std::string and std::list. Host and component therefore share their layout
// only when both are built with the same compiler and standard library
// (for this build: mingw-w64 g++ with libstdc++).
#ifndef TERNFILEMON_INCLUDE_TERNFILEMON_H
#define TERNFILEMON_INCLUDE_TERNFILEMON_H

#include <windows.h>
#include <unknwn.h>

#include <cstdint>
#include <list>
#include <string>

// Every function the host hands to the component, and every interface slot,
// uses the standard Windows calling convention (callee pops on 32-bit).
#define TERN_CALLBACK WINAPI

// ---------------------------------------------------------------------------
// Monitor types
// ---------------------------------------------------------------------------
enum : int {
    FILEMON_ALL = 0,    // accepted by the file monitor's stop only: detach everything
    FILEMON_USB = 1,    // removable drives and fixed disks on a USB bus
    FILEMON_LOCAL = 2,  // the other fixed disks
};

// ---------------------------------------------------------------------------
// Records exchanged with the host
// ---------------------------------------------------------------------------

// One accepted user action, handed to the host's report callback.
struct FileMonEvent {
    std::string strPath;     // the changed path; for a copy "source ==> target"
    std::string strTime;     // local time of the change
    std::string strAction;   // "Add", "Copy", "Delete", "Modify" or "Rename"
    std::string strRuleTag;  // tag of the accepting rule
    std::string strSource;   // copy or rename source
    std::string strTarget;   // copy or rename target
};

// One filter rule. The component reads strPattern, strActions and strRuleTag.
struct FileMonRule {
    std::string strPattern;  // exact file name, or a wildcard pattern when it contains '*'
    std::string strName;     // the host's own label for the rule; never read
    std::string strActions;  // action names separated by '|', any letter case ("Add|Delete")
    std::string strRuleTag;  // copied into FileMonEvent::strRuleTag on acceptance
};

typedef std::list<FileMonRule> FileMonRuleList;

// The report callback of one monitor type. Called on the component's
// notification thread, never on the host's thread; its result is ignored.
typedef void(TERN_CALLBACK* FileMonCallback)(FileMonEvent* pEvent);

// What the host passes to StartMonitoring. Must outlive the monitoring it configures.
struct FileMonFilterList {
    int nMonitorType;             // FILEMON_USB or FILEMON_LOCAL
    FileMonRuleList* pRuleList;   // the host's rules; read, never changed
};

// ---------------------------------------------------------------------------
// Host functions
// ---------------------------------------------------------------------------

// A host function as stored by RegisterHostFunction. Only the log function
// (id TERN_HOSTFN_LOG) is ever called by this component.
typedef void(TERN_CALLBACK* TernHostFunction)(void);

// The host's log function (id TERN_HOSTFN_LOG). pName points to the component's
// name string object; pszText is lent for the duration of the call only.
// It may be called from several threads at once.
typedef int(TERN_CALLBACK* TernLogFunction)(const std::string* pName, int nCodeA, int nCodeB,
                                            const char* pszText, unsigned int nLength, int nLevel,
                                            int nLast);

enum : int {
    TERN_HOSTFN_LOG = 0x100,
    TERN_LOG_CODE_A = 48,
    TERN_LOG_CODE_B = 32,
};

// The pInit record of CreateObject: two pointer-sized words. On the 32-bit
// build these are exactly two 32-bit words; on the 64-bit build each word is
// 64 bits wide so that word 0 holds a whole function pointer. Word 1 is passed
// on (truncated to 32 bits) as the extra argument of RegisterHostFunction.
struct TernInitRecord {
    TernLogFunction pfnLog;  // word 0: the host's log function, or null
    std::uintptr_t nExtra;   // word 1
};

// ---------------------------------------------------------------------------
// Interfaces. Slot order is binding: hosts call by slot.
// ---------------------------------------------------------------------------

struct ICommonControl : public IUnknown {
    // slots 0-2: QueryInterface (hands back this interface for every id, count
    // unchanged), AddRef and Release (both return the count and change nothing).
    virtual int STDMETHODCALLTYPE Initialize(std::string strText) = 0;                         // 3
    virtual int STDMETHODCALLTYPE HandleText(std::string strText) = 0;                         // 4
    virtual int STDMETHODCALLTYPE HandlePair(int nFirst, int nSecond) = 0;                     // 5
    virtual int STDMETHODCALLTYPE GetValue3() = 0;                                             // 6
    virtual std::string STDMETHODCALLTYPE GetTextById(int nId) = 0;                            // 7
    virtual std::string STDMETHODCALLTYPE GetText() = 0;                                       // 8
    virtual int STDMETHODCALLTYPE SetValue2(int nValue) = 0;                                   // 9
    virtual int STDMETHODCALLTYPE RegisterHostFunction(int nId, TernHostFunction pFunction,
                                                       int nExtra) = 0;                        // 10
    virtual int STDMETHODCALLTYPE UnregisterHostFunction(int nId, int nExtra) = 0;             // 11
    virtual int STDMETHODCALLTYPE QuerySupportedCommand(std::string strCommand) = 0;           // 12
    virtual int STDMETHODCALLTYPE SetValue1(int nValue) = 0;                                   // 13
    virtual std::string STDMETHODCALLTYPE GetMachineName() = 0;                                // 14
};

struct ITernFileMon : public IUnknown {
    // slots 0-2: QueryInterface (this interface for every id), AddRef, and
    // Release, whose last call destroys the component.
    virtual bool STDMETHODCALLTYPE StartMonitoring(FileMonCallback pFunction,
                                                   FileMonFilterList* pFilterList) = 0;        // 3
    virtual bool STDMETHODCALLTYPE StopMonitoring(int nMonitorType) = 0;                       // 4
    virtual bool STDMETHODCALLTYPE CheckEvent(FileMonRuleList* pRuleList,
                                              FileMonEvent* pEvent) = 0;                       // 5
    virtual bool STDMETHODCALLTYPE AddDrive(const char* pDriveLetter) = 0;                     // 6
};

// ---------------------------------------------------------------------------
// Exports (undecorated names, ordinals 1 to 3)
// ---------------------------------------------------------------------------

// The record GetInterfaceList hands out: seven constant strings (field 3 is null).
struct TernInterfaceInfo {
    const char* pszInterfaceName;  // "ITernFileMon"
    const char* pszVersion;        // "1.0.0.0"
    const char* pszReserved;       // null
    const char* pszInterfaceId;    // "{93F1FC27-C450-4F40-9341-810A5F696B9D}"
    const char* pszComponentName;  // "TernFileMon"
    const char* pszComponentCode;  // "L00100157"
    const char* pszBuildDate;      // "May 20 2020"
};

typedef ITernFileMon*(TERN_CALLBACK* PFN_CreateObject)(const char* pszName,
                                                        ICommonControl** ppCommonControl,
                                                        TernInitRecord* pInit);
typedef int(TERN_CALLBACK* PFN_GetInterfaceList)(const TernInterfaceInfo** ppInfo);
typedef int(TERN_CALLBACK* PFN_QuerySupportedCommand)(std::string strCommand);

// Looks up one export of a loaded TernFileMon.dll with its exact type, e.g.
//   auto pfnCreate = TernGetExport<PFN_CreateObject>(hModule, "CreateObject");
template <typename ExportPointer>
inline ExportPointer TernGetExport(HMODULE hModule, const char* pszName) {
    // Through void(*)(): the one function pointer type any other may be cast from cleanly.
    return reinterpret_cast<ExportPointer>(
        reinterpret_cast<void (*)()>(::GetProcAddress(hModule, pszName)));
}

#ifdef TERNFILEMON_BUILDING_DLL
#define TERNFILEMON_API
#else
#define TERNFILEMON_API __declspec(dllimport)
#endif

extern "C" {
TERNFILEMON_API ITernFileMon* TERN_CALLBACK CreateObject(const char* pszName,
                                                         ICommonControl** ppCommonControl,
                                                         TernInitRecord* pInit);
TERNFILEMON_API int TERN_CALLBACK GetInterfaceList(const TernInterfaceInfo** ppInfo);
TERNFILEMON_API int TERN_CALLBACK QuerySupportedCommand(std::string strCommand);
}

#endif
