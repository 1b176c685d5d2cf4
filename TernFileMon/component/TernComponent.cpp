#include "TernComponent.h"

#include <cstring>

namespace tern {

namespace {

constexpr int kHostFunctionIds[] = {0x200, 0x300, 0x400,  0x500,  0x600, 0x700,
                                    0x800, 0x900, 0x1000, 0x1200, 0x1100};

}  // namespace

CTernComponent::~CTernComponent() = default;

std::string CTernComponent::GetText() { return std::string(); }

int CTernComponent::SetValue2(int nValue) {
    m_nValue2 = nValue;
    return 0;
}

int CTernComponent::GetValue3() { return m_nValue3; }

TernHostFunction* CTernComponent::HostFunctionSlot(int nId) {
    for (size_t i = 0; i < sizeof(kHostFunctionIds) / sizeof(kHostFunctionIds[0]); ++i) {
        if (kHostFunctionIds[i] == nId) return &m_arrHostFunctions[i];
    }
    return nullptr;
}

TernHostFunction CTernComponent::HostFunction(int nId) const {
    if (nId == TERN_HOSTFN_LOG) return reinterpret_cast<TernHostFunction>(m_pfnLog.load());
    TernHostFunction* pSlot = const_cast<CTernComponent*>(this)->HostFunctionSlot(nId);
    return pSlot != nullptr ? *pSlot : nullptr;
}

int CTernComponent::RegisterHostFunction(int nId, TernHostFunction pFunction, int /*nExtra*/) {
    TernHostFunction* pSlot = HostFunctionSlot(nId);
    if (nId != TERN_HOSTFN_LOG && pSlot == nullptr) return 0;  // unknown id: nothing stored
    if (pFunction == nullptr) return -1;                       // the slot keeps its function
    if (nId == TERN_HOSTFN_LOG) {
        m_pfnLog.store(reinterpret_cast<TernLogFunction>(pFunction));
    } else {
        *pSlot = pFunction;
    }
    return 0;
}

int CTernComponent::UnregisterHostFunction(int nId, int /*nExtra*/) {
    if (nId == TERN_HOSTFN_LOG) {
        m_pfnLog.store(nullptr);
    } else if (TernHostFunction* pSlot = HostFunctionSlot(nId)) {
        *pSlot = nullptr;
    }
    return 0;
}

int CTernComponent::GetDefaultValue() { return 0; }

int CTernComponent::HandleDefaultPair(int /*nFirst*/, int /*nSecond*/) { return 0; }

int CTernComponent::GetValue2() { return m_nValue2; }

int CTernComponent::SetValue3(int nValue) {
    m_nValue3 = nValue;
    return 0;
}

int CTernComponent::QuerySupportedCommand(std::string /*strCommand*/) { return -1; }

int CTernComponent::SetValue1(int nValue) {
    m_nValue1 = nValue;
    return 0;
}

std::string FirstDnsLabel(const std::string& strDnsName) {
    return strDnsName.substr(0, strDnsName.find('.'));
}

std::string CTernComponent::GetMachineName() {
    std::string strResult;

    WCHAR szDnsName[1024] = {};
    DWORD nDnsSize = 1024;
    ::GetComputerNameExW(ComputerNamePhysicalDnsFullyQualified, szDnsName, &nDnsSize);

    char szBuffer[256] = {};
    ::WideCharToMultiByte(CP_ACP, 0, szDnsName, -1, szBuffer, sizeof(szBuffer), nullptr, nullptr);
    if (szBuffer[0] != '\0') strResult = FirstDnsLabel(szBuffer);

    if (strResult.empty()) {
        std::memset(szBuffer, 0, sizeof(szBuffer));
        DWORD nSize = sizeof(szBuffer);
        if (::GetComputerNameA(szBuffer, &nSize) == 1) strResult = szBuffer;
    }
    return strResult;
}

void CTernComponent::WriteLog(const char* pszText, int nLevel) {
    const TernLogFunction pfnLog = m_pfnLog.load();
    if (pfnLog == nullptr || pszText == nullptr) return;
    pfnLog(&m_strName, TERN_LOG_CODE_A, TERN_LOG_CODE_B, pszText,
           static_cast<unsigned int>(std::strlen(pszText)), nLevel, 0);
}

}  // namespace tern
