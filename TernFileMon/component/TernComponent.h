// CCommon and CTernComponent: the framework base of every component object.
#ifndef TERNFILEMON_COMPONENT_TERNCOMPONENT_H
#define TERNFILEMON_COMPONENT_TERNCOMPONENT_H

#include <atomic>
#include <string>

#include "../include/TernFileMon.h"

namespace tern {

// Root of every component class: the reference count and the two interface
// getters (virtual slots 0 and 1). Deliberately without a virtual destructor;
// objects are destroyed through CTernComponent.
class CCommon {
public:
    virtual IUnknown* GetComponentInterface() = 0;  // slot 0
    virtual IUnknown* GetCommonControl() = 0;       // slot 1

protected:
    CCommon() = default;
    ~CCommon() = default;

    // Plain arithmetic: the host must not race AddRef against Release.
    int m_nRefCount = 0;
};

// The component base: name, three host-set values, the host function table and
// the component log. Virtual slots 2 to 14 (with GCC the destructor occupies
// two table entries, so the later slots sit one entry further down; hosts only
// ever call through ICommonControl and ITernFileMon, whose tables are exact).
class CTernComponent : public CCommon {
public:
    CTernComponent() = default;
    CTernComponent(const CTernComponent&) = delete;
    CTernComponent& operator=(const CTernComponent&) = delete;

    virtual ~CTernComponent();                                                // slot 2
    virtual std::string GetText();                                            // slot 3
    virtual int SetValue2(int nValue);                                        // slot 4
    virtual int GetValue3();                                                  // slot 5
    virtual int RegisterHostFunction(int nId, TernHostFunction pFunction,
                                     int nExtra);                             // slot 6
    virtual int UnregisterHostFunction(int nId, int nExtra);                  // slot 7
    virtual int GetDefaultValue();                                            // slot 8
    virtual int HandleDefaultPair(int nFirst, int nSecond);                   // slot 9
    virtual int GetValue2();                                                  // slot 10
    virtual int SetValue3(int nValue);                                        // slot 11
    virtual int QuerySupportedCommand(std::string strCommand);                // slot 12
    virtual int SetValue1(int nValue);                                        // slot 13
    virtual std::string GetMachineName();                                     // slot 14

    // Hands a message to the host's log function (id 0x100): the name object,
    // 48, 32, the text, its length, the level and 0. Dropped when no log
    // function is registered or the text is null. Callable from any thread.
    void WriteLog(const char* pszText, int nLevel);

    // Read-only views for the component's own code and its tests.
    int RefCount() const { return m_nRefCount; }
    const std::string& Name() const { return m_strName; }
    TernHostFunction HostFunction(int nId) const;

protected:
    int m_nValue1 = 0;
    std::string m_strName;
    // Written by the host's thread, read by the component's threads: one atomic store.
    std::atomic<TernLogFunction> m_pfnLog{nullptr};
    int m_nValue2 = 0;
    int m_nValue3 = 0;
    // Ids 0x200 to 0x900, then 0x1000, 0x1200, 0x1100, in this order.
    TernHostFunction m_arrHostFunctions[11] = {};

private:
    // The table entry of a host function id other than 0x100, or null.
    TernHostFunction* HostFunctionSlot(int nId);
};

// The text before the first '.' of a DNS name, or the whole name without a dot.
std::string FirstDnsLabel(const std::string& strDnsName);

}  // namespace tern

#endif
