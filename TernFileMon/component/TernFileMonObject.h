// CTernFileMon: the file monitoring component object and its two interfaces.
#ifndef TERNFILEMON_COMPONENT_TERNFILEMONOBJECT_H
#define TERNFILEMON_COMPONENT_TERNFILEMONOBJECT_H

#include "../common/DebugOutput.h"
#include "../copy/CopySource.h"
#include "TernComponent.h"

namespace tern {

class CFileMonitor;

// Reference-counted through ITernFileMon; owns one CFileMonitor from
// construction to destruction. The nested interface objects hold no state:
// each finds this object from its own address and forwards to the virtual
// operations below.
class CTernFileMon : public CTernComponent {
public:
    CTernFileMon();
    ~CTernFileMon() override;

    ITernFileMon* GetComponentInterface() override;    // slot 0: AddRef, then ITernFileMon
    ICommonControl* GetCommonControl() override;       // slot 1: count unchanged
    int RegisterHostFunction(int nId, TernHostFunction pFunction,
                             int nExtra) override;     // slot 6: also names the component

    virtual int Initialize(std::string strText);                                  // slot 15
    virtual int HandleText(std::string strText);                                  // slot 16
    virtual int HandlePair(int nFirst, int nSecond);                              // slot 17
    virtual std::string GetTextById(int nId);                                     // slot 18
    virtual bool StartMonitoring(FileMonCallback pFunction,
                                 FileMonFilterList* pFilterList);                 // slot 19
    virtual bool CheckEvent(FileMonRuleList* pRuleList, FileMonEvent* pEvent);    // slot 20
    virtual bool AddDrive(const char* pDriveLetter);                              // slot 21
    virtual bool StopMonitoring(int nMonitorType);                                // slot 22

    bool IsInitialized() const { return m_bInit; }
    CFileMonitor* FileMonitor() const { return m_pMonintorFile; }

    class XCommonControl : public ICommonControl {
    public:
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;
        int STDMETHODCALLTYPE Initialize(std::string strText) override;
        int STDMETHODCALLTYPE HandleText(std::string strText) override;
        int STDMETHODCALLTYPE HandlePair(int nFirst, int nSecond) override;
        int STDMETHODCALLTYPE GetValue3() override;
        std::string STDMETHODCALLTYPE GetTextById(int nId) override;
        std::string STDMETHODCALLTYPE GetText() override;
        int STDMETHODCALLTYPE SetValue2(int nValue) override;
        int STDMETHODCALLTYPE RegisterHostFunction(int nId, TernHostFunction pFunction,
                                                   int nExtra) override;
        int STDMETHODCALLTYPE UnregisterHostFunction(int nId, int nExtra) override;
        int STDMETHODCALLTYPE QuerySupportedCommand(std::string strCommand) override;
        int STDMETHODCALLTYPE SetValue1(int nValue) override;
        std::string STDMETHODCALLTYPE GetMachineName() override;

    private:
        CTernFileMon* Owner();
    };

    class XTernFileMon : public ITernFileMon {
    public:
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;
        bool STDMETHODCALLTYPE StartMonitoring(FileMonCallback pFunction,
                                               FileMonFilterList* pFilterList) override;
        bool STDMETHODCALLTYPE StopMonitoring(int nMonitorType) override;
        bool STDMETHODCALLTYPE CheckEvent(FileMonRuleList* pRuleList,
                                          FileMonEvent* pEvent) override;
        bool STDMETHODCALLTYPE AddDrive(const char* pDriveLetter) override;

    private:
        CTernFileMon* Owner();
    };

private:
    // First, so that it goes last: the debugger lines of the whole teardown,
    // the notification thread's included, are written before the object is gone.
    CDebugOutputUse m_debugOutputUse;
    // Ended after the notification thread (the destructor's body), before the
    // debugger output: the retry thread of the user-temp lookup.
    CUserTempLookupUse m_userTempLookupUse;
    CFileMonitor* m_pMonintorFile = nullptr;
    XCommonControl m_xCommonControl;
    XTernFileMon m_xTernFileMon;
    bool m_bInit = false;
};

}  // namespace tern

#endif
