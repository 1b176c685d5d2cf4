// Copied under the name "ZUVOVE.exe" by the copy-detection tests: a process of
// the interactive user that lends its token. It waits until it is ended, at
// most a minute, so that a crashed test leaves nothing running for long.
#include <windows.h>

int main() {
    ::Sleep(60000);
    return 0;
}
