// Engine benchmark: the directory change engine beside a raw reference reader
// (one overlapped ReadDirectoryChangesW with a 4096-byte buffer on its own
// completion port, re-issued right after each completion), both watching the
// same folder of the fixed test drive under the same loads:
//   - bursts of 1,000 and 10,000 file creations, then renames, then deletions,
//     spread over 10 subdirectories;
//   - a paced stream of 500 creations, one every 10 ms.
// Prints records delivered per action against the operations, 0-byte
// completions, events per second, and the latency from the creating call to
// the handler call (p50, p99).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../TernFileMon/DirectoryChanges/DirectoryChangeHandler.h"
#include "../TernFileMon/DirectoryChanges/DirectoryChangeWatcher.h"
#include "Percentiles.h"
#include "RawReader.h"
#include "UnixShell.h"

namespace {

using bench::FileIndex;
using bench::kChangeMask;
using bench::NowUs;
using bench::RawReader;

constexpr int kSubdirectories = 10;
constexpr int kMaxFiles = 10000;
constexpr DWORD kQuietMs = 700;
constexpr DWORD kSettleLimitMs = 20000;

// What one observer (engine or reference) has seen.
struct Tally : bench::RawSink {
    std::atomic<long> nAdded{0};
    std::atomic<long> nRemoved{0};
    std::atomic<long> nRenamed{0};
    std::atomic<long> nModified{0};
    std::atomic<long> nEmpty{0};
    std::atomic<long long> nLastEventUs{0};
    std::vector<std::atomic<long long>> addedAtUs;

    Tally() : addedAtUs(kMaxFiles) { Reset(); }
    void Reset() {
        nAdded = nRemoved = nRenamed = nModified = nEmpty = 0;
        nLastEventUs = 0;
        for (auto& at : addedAtUs) at = 0;
    }
    long Total() const { return nAdded + nRemoved + nRenamed + nModified; }
    void OnAdded(const char* pszName) {
        const long long nNow = NowUs();
        ++nAdded;
        nLastEventUs = nNow;
        const int nIndex = FileIndex(pszName, kMaxFiles);
        long long nZero = 0;
        if (nIndex >= 0) addedAtUs[static_cast<size_t>(nIndex)].compare_exchange_strong(nZero, nNow);
    }
    void Count(std::atomic<long>& counter) {
        ++counter;
        nLastEventUs = NowUs();
    }
    void OnRecord(DWORD dwAction, const char* pszName) override {
        switch (dwAction) {
            case FILE_ACTION_ADDED: OnAdded(pszName); break;
            case FILE_ACTION_REMOVED: Count(nRemoved); break;
            case FILE_ACTION_MODIFIED: Count(nModified); break;
            case FILE_ACTION_RENAMED_OLD_NAME: Count(nRenamed); break;
            default: break;
        }
    }
    void OnOverflow() override { ++nEmpty; }
};

class CountingHandler : public tern::CDirectoryChangeHandler {
public:
    explicit CountingHandler(Tally& tally) : m_tally(tally) {}
    void OnFileAdded(const tern::ByteString& strName) override { m_tally.OnAdded(strName.c_str()); }
    void OnFileRemoved(const tern::ByteString&) override { m_tally.Count(m_tally.nRemoved); }
    void OnFileRenamed(const tern::ByteString&, const tern::ByteString&) override {
        m_tally.Count(m_tally.nRenamed);
    }
    void OnFileModified(const tern::ByteString&) override { m_tally.Count(m_tally.nModified); }

private:
    Tally& m_tally;
};

// Waits until neither observer has seen anything for kQuietMs; returns the
// time of the last event seen by either.
void WaitForQuiet(const Tally& engine, const Tally& reference) {
    const ULONGLONG nEnd = ::GetTickCount64() + kSettleLimitMs;
    long nLastTotal = -1;
    ULONGLONG nStableSince = ::GetTickCount64();
    while (::GetTickCount64() < nEnd) {
        const long nTotal = engine.Total() + reference.Total() + engine.nEmpty + reference.nEmpty;
        if (nTotal != nLastTotal) {
            nLastTotal = nTotal;
            nStableSince = ::GetTickCount64();
        } else if (::GetTickCount64() - nStableSince >= kQuietMs) {
            return;
        }
        ::Sleep(20);
    }
}

std::string FileName(const std::string& strRoot, int nIndex, char cPrefix) {
    char szName[64];
    std::snprintf(szName, sizeof(szName), "\\d%d\\%c%05d.dat", nIndex % kSubdirectories, cPrefix,
                  nIndex);
    return strRoot + szName;
}

struct Phase {
    const char* pszName;
    long nOps;
    long nEngine, nReference;
    long nEngineEmpty, nReferenceEmpty;
    double dEngineRate, dReferenceRate;
};

double Rate(long nEvents, long long nStartUs, long long nLastUs) {
    if (nEvents == 0 || nLastUs <= nStartUs) return 0;
    return static_cast<double>(nEvents) * 1e6 / static_cast<double>(nLastUs - nStartUs);
}

// One observed phase of a burst: runs the whole load and tallies.
template <typename Load>
Phase RunPhase(const char* pszName, int nFiles, Tally& engine, Tally& reference,
               tern::CDirectoryChangeWatcher& watcher, Load load,
               std::atomic<long> Tally::*pCounter) {
    engine.Reset();
    reference.Reset();
    const long nEngineEmptyBefore = static_cast<long>(watcher.GetEmptyCompletionCount());
    const long long nStartUs = NowUs();
    load();
    WaitForQuiet(engine, reference);
    Phase phase{};
    phase.pszName = pszName;
    phase.nOps = nFiles;
    phase.nEngine = (engine.*pCounter).load();
    phase.nReference = (reference.*pCounter).load();
    phase.nEngineEmpty = static_cast<long>(watcher.GetEmptyCompletionCount()) - nEngineEmptyBefore;
    phase.nReferenceEmpty = reference.nEmpty;
    phase.dEngineRate = Rate(engine.Total(), nStartUs, engine.nLastEventUs);
    phase.dReferenceRate = Rate(reference.Total(), nStartUs, reference.nLastEventUs);
    return phase;
}

struct Observers {
    Tally engine;
    Tally reference;
};

bool PrepareRoot(const std::string& strRoot, tern::CDirectoryChangeWatcher& watcher,
                 CountingHandler* pHandler) {
    if (!::CreateDirectoryA(strRoot.c_str(), nullptr)) return false;
    return watcher.WatchDirectory(strRoot, kChangeMask, pHandler, TRUE, "*", "") == 0;
}

void MakeSubdirectories(const std::string& strRoot) {
    // Created after the watch began, so that Wine follows them.
    for (int i = 0; i < kSubdirectories; ++i) {
        ::CreateDirectoryA((strRoot + "\\d" + std::to_string(i)).c_str(), nullptr);
    }
}

void RemoveRoot(const std::string& strRoot) {
    for (int i = 0; i < kSubdirectories; ++i) {
        ::RemoveDirectoryA((strRoot + "\\d" + std::to_string(i)).c_str());
    }
    ::RemoveDirectoryA(strRoot.c_str());
}

void PrintPhase(int nFiles, const Phase& phase, double& dWorstRatio) {
    const double dRatio = phase.nReference > 0
                              ? static_cast<double>(phase.nEngine) / phase.nReference
                              : (phase.nEngine > 0 ? 1.0 : 0.0);
    dWorstRatio = std::min(dWorstRatio, dRatio);
    std::printf("| %6d | %-7s | %6ld/%ld | %6ld/%ld | %5.3f | %4ld | %4ld | %9.0f | %9.0f |\n",
                nFiles, phase.pszName, phase.nEngine, phase.nOps, phase.nReference, phase.nOps,
                dRatio, phase.nEngineEmpty, phase.nReferenceEmpty, phase.dEngineRate,
                phase.dReferenceRate);
}

// The same file operations as one Perl loop on the Linux side.
std::string PerlLoop(int nFiles, const char* pszBody) {
    return "perl -e 'for $i (0.." + std::to_string(nFiles - 1) +
           ") { $d = $i % 10; $f = sprintf(q(d%d/f%05d.dat), $d, $i); "
           "$g = sprintf(q(d%d/g%05d.dat), $d, $i); " +
           pszBody + " }'";
}

// Delivered records of one action summed over repeated bursts.
struct PhaseSum {
    long nEngine = 0, nReference = 0;
    void Add(const Phase& phase) {
        nEngine += phase.nEngine;
        nReference += phase.nReference;
    }
    double Ratio() const {
        return nReference > 0 ? static_cast<double>(nEngine) / nReference : 1.0;
    }
};

double RunBurst(const std::string& strBase, int nFiles, bool bFromLinux,
                PhaseSum* pSums = nullptr) {
    Observers obs;
    const std::string strRoot =
        strBase + (bFromLinux ? "\\linux" : "\\burst") + std::to_string(nFiles);
    CountingHandler* pHandler = new CountingHandler(obs.engine);
    double dWorstRatio = 1e9;
    {
        tern::CDirectoryChangeWatcher watcher(false, 8);
        if (!PrepareRoot(strRoot, watcher, pHandler)) {
            std::printf("cannot watch %s\n", strRoot.c_str());
            pHandler->Release();
            return 0;
        }
        RawReader reader(strRoot, 4096, obs.reference);
        MakeSubdirectories(strRoot);
        WaitForQuiet(obs.engine, obs.reference);

        auto windowsLoad = [&](auto perFile) {
            return [&, perFile] {
                for (int i = 0; i < nFiles; ++i) perFile(i);
            };
        };
        auto linuxLoad = [&](const char* pszBody) {
            const std::string strCommand = PerlLoop(nFiles, pszBody);
            return [&, strCommand] {
                if (!terntest::RunUnixShellIn(strRoot, strCommand, 60000)) std::printf("unix load failed\n");
            };
        };
        const auto createLoad = [&](int i) {
            ::CloseHandle(::CreateFileA(FileName(strRoot, i, 'f').c_str(), GENERIC_WRITE, 0,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        };
        const auto renameLoad = [&](int i) {
            ::MoveFileA(FileName(strRoot, i, 'f').c_str(), FileName(strRoot, i, 'g').c_str());
        };
        const auto deleteLoad = [&](int i) { ::DeleteFileA(FileName(strRoot, i, 'g').c_str()); };

        Phase create, rename, remove;
        if (bFromLinux) {
            create = RunPhase("create", nFiles, obs.engine, obs.reference, watcher,
                              linuxLoad("open(F, q(>), $f); close(F);"), &Tally::nAdded);
            rename = RunPhase("rename", nFiles, obs.engine, obs.reference, watcher,
                              linuxLoad("rename($f, $g);"), &Tally::nRenamed);
            remove = RunPhase("delete", nFiles, obs.engine, obs.reference, watcher,
                              linuxLoad("unlink($g);"), &Tally::nRemoved);
        } else {
            create = RunPhase("create", nFiles, obs.engine, obs.reference, watcher,
                              windowsLoad(createLoad), &Tally::nAdded);
            rename = RunPhase("rename", nFiles, obs.engine, obs.reference, watcher,
                              windowsLoad(renameLoad), &Tally::nRenamed);
            remove = RunPhase("delete", nFiles, obs.engine, obs.reference, watcher,
                              windowsLoad(deleteLoad), &Tally::nRemoved);
        }
        PrintPhase(nFiles, create, dWorstRatio);
        PrintPhase(nFiles, rename, dWorstRatio);
        PrintPhase(nFiles, remove, dWorstRatio);
        if (pSums != nullptr) {
            pSums[0].Add(create);
            pSums[1].Add(rename);
            pSums[2].Add(remove);
        }
        watcher.UnwatchAllDirectories();
    }
    pHandler->Release();
    RemoveRoot(strRoot);
    return dWorstRatio;
}

Percentiles LatencyOf(const Tally& tally, const std::vector<long long>& createdAtUs) {
    std::vector<long long> samples;
    for (size_t i = 0; i < createdAtUs.size(); ++i) {
        const long long nAt = tally.addedAtUs[i].load();
        if (nAt != 0) samples.push_back(nAt - createdAtUs[i]);
    }
    return PercentilesOf(std::move(samples));
}

double RunPaced(const std::string& strBase) {
    constexpr int kFiles = 500;
    Observers obs;
    const std::string strRoot = strBase + "\\paced";
    CountingHandler* pHandler = new CountingHandler(obs.engine);
    std::vector<long long> createdAtUs(kFiles, 0);
    double dDifference = 0;
    {
        tern::CDirectoryChangeWatcher watcher(false, 8);
        if (!PrepareRoot(strRoot, watcher, pHandler)) {
            std::printf("cannot watch %s\n", strRoot.c_str());
            pHandler->Release();
            return 0;
        }
        RawReader reader(strRoot, 4096, obs.reference);
        MakeSubdirectories(strRoot);
        WaitForQuiet(obs.engine, obs.reference);
        obs.engine.Reset();
        obs.reference.Reset();
        const long nEngineEmptyBefore = static_cast<long>(watcher.GetEmptyCompletionCount());

        ::timeBeginPeriod(1);
        const long long nStartUs = NowUs();
        for (int i = 0; i < kFiles; ++i) {
            // Paced against the start, so that a slow call does not shift the rest.
            const long long nDueUs = nStartUs + 10000LL * i;
            while (NowUs() < nDueUs) ::Sleep(1);
            const std::string strName = FileName(strRoot, i, 'f');
            createdAtUs[static_cast<size_t>(i)] = NowUs();
            ::CloseHandle(::CreateFileA(strName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        }
        ::timeEndPeriod(1);
        WaitForQuiet(obs.engine, obs.reference);

        const Percentiles engine = LatencyOf(obs.engine, createdAtUs);
        const Percentiles reference = LatencyOf(obs.reference, createdAtUs);
        std::printf("| engine    | %ld/%d | %ld | %6.2f | %6.2f |\n", obs.engine.nAdded.load(),
                    kFiles, static_cast<long>(watcher.GetEmptyCompletionCount()) - nEngineEmptyBefore,
                    engine.dP50Ms, engine.dP99Ms);
        std::printf("| reference | %ld/%d | %ld | %6.2f | %6.2f |\n", obs.reference.nAdded.load(),
                    kFiles, obs.reference.nEmpty.load(), reference.dP50Ms, reference.dP99Ms);
        dDifference = engine.dP99Ms - reference.dP99Ms;
        watcher.UnwatchAllDirectories();
        for (int i = 0; i < kFiles; ++i) ::DeleteFileA(FileName(strRoot, i, 'f').c_str());
    }
    pHandler->Release();
    RemoveRoot(strRoot);
    return dDifference;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string strDrive = argc > 1 ? argv[1] : "D:\\";
    const std::string strBase =
        strDrive + "engine-bench-" + std::to_string(::GetCurrentProcessId());
    if (!::CreateDirectoryA(strBase.c_str(), nullptr)) {
        std::printf("cannot create %s (error %lu)\n", strBase.c_str(), ::GetLastError());
        return 1;
    }

    std::printf("Bursts (engine and reference watch the same tree at the same time)\n\n");
    std::printf("| files  | action  | engine     | reference  | ratio | eng 0-byte | ref 0-byte | "
                "engine ev/s | ref ev/s |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    const double dWorst1k = RunBurst(strBase, 1000, false);
    const double dWorst10k = RunBurst(strBase, 10000, false);

    std::printf("\nThe same bursts made from the Linux side (one Perl loop per action), which\n"
                "Wine reports faster than a 4096-byte buffer can take them\n\n");
    std::printf("| files  | action  | engine     | reference  | ratio | eng 0-byte | ref 0-byte | "
                "engine ev/s | ref ev/s |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    // Overflows drop records at random, so each size runs three times and
    // the two observers are compared over the sums.
    constexpr int kLinuxRounds = 3;
    PhaseSum linux1k[3], linux10k[3];
    for (int nRound = 0; nRound < kLinuxRounds; ++nRound) {
        RunBurst(strBase, 1000, true, linux1k);
        RunBurst(strBase, 10000, true, linux10k);
    }
    std::printf("\nLinux-side bursts, engine/reference over %d rounds:\n", kLinuxRounds);
    const char* const apszActions[] = {"create", "rename", "delete"};
    for (int i = 0; i < 3; ++i) {
        std::printf("  1000 %s: %ld/%ld = %.3f;  10000 %s: %ld/%ld = %.3f\n", apszActions[i],
                    linux1k[i].nEngine, linux1k[i].nReference, linux1k[i].Ratio(),
                    apszActions[i], linux10k[i].nEngine, linux10k[i].nReference,
                    linux10k[i].Ratio());
    }

    std::printf("\nPaced stream: 500 creations, one every 10 ms\n\n");
    std::printf("| observer  | added | 0-byte | p50 ms | p99 ms |\n");
    std::printf("|---|---|---|---|---|\n");
    const double dP99Difference = RunPaced(strBase);
    ::RemoveDirectoryA(strBase.c_str());

    const double dWorst = std::min(dWorst1k, dWorst10k);
    std::printf("\nworst engine/reference delivery ratio over the bursts of the bench: %.3f "
                "(target >= 0.95: %s)\n",
                dWorst, dWorst >= 0.95 ? "met" : "MISSED");
    std::printf("engine p99 - reference p99 in the paced stream: %.2f ms (target <= 5 ms: %s)\n",
                dP99Difference, dP99Difference <= 5.0 ? "met" : "MISSED");
    return 0;
}
