// ternwatch-scenario: the main job's scripted user. Waits until ternwatch is
// watching, then performs a short, paced set of real file operations on the
// test drives (a new file, a paste of a copied file, an office save, a rename,
// a deletion, a removable-drive arrival) and removes what it made.
#include <cstdio>
#include <cstring>
#include <string>

#include "ScenarioSteps.h"

namespace {

const char* const USAGE =
    "Usage: ternwatch-scenario [--fixed ROOT] [--removable ROOT] [--folder NAME]\n"
    "                          [--no-wait] [--keep]\n"
    "\n"
    "Waits (up to 30 s) until ternwatch is watching, then performs a new file, a\n"
    "paste of a copied file, an office save, a rename, a deletion and a removable\n"
    "drive arrival on ROOT (default D:\\, a fixed drive) and ROOT (default E:\\, a\n"
    "removable drive), in a folder NAME (default ternwatch-demo-<process id>).\n"
    "  --no-wait  start at once   --keep  leave the files behind\n";

bool TakeValue(int argc, char** argv, int& i, std::string& strValue) {
    if (i + 1 >= argc) return false;
    strValue = argv[++i];
    return !strValue.empty();
}

}  // namespace

int main(int argc, char** argv) {
    tern::ScenarioSettings settings;
    bool bWait = true;
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        bool bOk = true;
        if (strArg == "--help" || strArg == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (strArg == "--fixed") {
            bOk = TakeValue(argc, argv, i, settings.strFixedRoot);
        } else if (strArg == "--removable") {
            bOk = TakeValue(argc, argv, i, settings.strRemovableRoot);
        } else if (strArg == "--folder") {
            bOk = TakeValue(argc, argv, i, settings.strFolderName);
        } else if (strArg == "--no-wait") {
            bWait = false;
        } else if (strArg == "--keep") {
            settings.bKeep = true;
        } else {
            bOk = false;
        }
        if (!bOk) {
            std::fprintf(stderr, "ternwatch-scenario: bad argument '%s'\n%s", strArg.c_str(), USAGE);
            return 2;
        }
    }
    for (std::string* pRoot : {&settings.strFixedRoot, &settings.strRemovableRoot}) {
        if (pRoot->back() != '\\') *pRoot += '\\';
    }
    if (bWait && !tern::ScenarioSteps::WaitForWatcher(30000)) {
        std::fprintf(stderr, "ternwatch-scenario: ternwatch did not start watching within 30 s\n");
        return 1;
    }
    tern::ScenarioSteps steps(settings);
    return steps.Run() ? 0 : 1;
}
