// Counts the process's open handles. GetProcessHandleCount reports 0 under
// Wine, so the handle values themselves are probed.
#ifndef TERNFILEMON_TESTS_HANDLECOUNT_H
#define TERNFILEMON_TESTS_HANDLECOUNT_H

namespace terntest {

unsigned CountOpenHandles();

}  // namespace terntest

#endif
