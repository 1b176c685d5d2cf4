#include "RawReader.h"

#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

double TicksPerUs() {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart) / 1e6;
}

const double g_dTicksPerUs = TicksPerUs();

}  // namespace

long long NowUs() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<long long>(static_cast<double>(now.QuadPart) / g_dTicksPerUs);
}

int FileIndex(const char* pszPath, int nLimit) {
    const char* pszBase = std::strrchr(pszPath, '\\');
    pszBase = pszBase != nullptr ? pszBase + 1 : pszPath;
    if ((pszBase[0] != 'f' && pszBase[0] != 'g') || std::strlen(pszBase) != 10 ||
        std::strcmp(pszBase + 6, ".dat") != 0) {
        return -1;
    }
    const int nIndex = std::atoi(pszBase + 1);
    return nIndex >= 0 && nIndex < nLimit ? nIndex : -1;
}

RawReader::RawReader(const std::string& strDirectory, DWORD nBufferSize, RawSink& sink)
    : m_sink(sink), m_buffer(nBufferSize / sizeof(DWORD)), m_copy(nBufferSize / sizeof(DWORD)) {
    m_hDir.Reset(::CreateFileA(strDirectory.c_str(), FILE_LIST_DIRECTORY,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    if (!m_hDir) return;
    m_hPort.Reset(::CreateIoCompletionPort(m_hDir.Get(), nullptr, 1, 0));
    if (m_hPort && Issue()) {
        m_hThread.Reset(::CreateThread(nullptr, 0, &RawReader::ThreadProc, this, 0, nullptr));
    }
}

RawReader::~RawReader() {
    if (!m_hThread) return;
    // The thread waits only on the port, and the exit packet ends that wait.
    ::PostQueuedCompletionStatus(m_hPort.Get(), 0, 0, nullptr);
    ::WaitForSingleObject(m_hThread.Get(), INFINITE);
}

bool RawReader::Issue() {
    return ::ReadDirectoryChangesW(m_hDir.Get(), m_buffer.data(), static_cast<DWORD>(m_buffer.size() * sizeof(DWORD)),
                                   TRUE, kChangeMask, nullptr, &m_overlapped, nullptr) != FALSE;
}

DWORD WINAPI RawReader::ThreadProc(LPVOID pParam) {
    static_cast<RawReader*>(pParam)->Run();
    return 0;
}

void RawReader::Run() {
    for (;;) {
        DWORD nBytes = 0;
        ULONG_PTR nKey = 0;
        LPOVERLAPPED pOverlapped = nullptr;
        ::GetQueuedCompletionStatus(m_hPort.Get(), &nBytes, &nKey, &pOverlapped, INFINITE);
        if (nKey == 0) return;
        std::memcpy(m_copy.data(), m_buffer.data(), nBytes);
        if (!Issue()) return;
        if (nBytes == 0) {
            m_sink.OnOverflow();
            continue;
        }
        Parse(nBytes);
    }
}

void RawReader::Parse(DWORD nBytes) {
    const BYTE* pBytes = reinterpret_cast<const BYTE*>(m_copy.data());
    DWORD nOffset = 0;
    for (;;) {
        const auto* pInfo = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(pBytes + nOffset);
        char szName[600] = {};
        ::WideCharToMultiByte(CP_ACP, 0, pInfo->FileName,
                              static_cast<int>(pInfo->FileNameLength / sizeof(WCHAR)), szName,
                              sizeof(szName) - 1, nullptr, nullptr);
        m_sink.OnRecord(pInfo->Action, szName);
        if (pInfo->NextEntryOffset == 0 || nOffset + pInfo->NextEntryOffset >= nBytes) return;
        nOffset += pInfo->NextEntryOffset;
    }
}

}  // namespace bench
