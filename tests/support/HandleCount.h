// Counts the process's open handles and threads. GetProcessHandleCount reports 0 under
// Wine, so the handle values themselves are probed.
#ifndef TERNFILEMON_TESTS_HANDLECOUNT_H
#define TERNFILEMON_TESTS_HANDLECOUNT_H

namespace terntest {

// The least of a few counts taken 20 ms apart: a handle that a background
// thread (the component's or Wine's own) holds only for a moment is not
// counted, while every handle that stays open is.
unsigned CountOpenHandles();
// The least of a few counts of this process's threads, taken the same way.
unsigned CountThreads();

}  // namespace terntest

#endif
