// What the process holds: open handles, threads, private memory. Counts
// for leak checks that must hold on a busy machine.
#ifndef TERNFILEMON_TESTS_PROCESSCOUNTS_H
#define TERNFILEMON_TESTS_PROCESSCOUNTS_H

namespace terntest {

// The count taken a few times 30 ms apart, the least kept: what a background
// thread (the component's or Wine's own) holds only for a moment is not
// counted, while everything that stays is.
unsigned long LeastOf(unsigned long (*pfnCount)(), int nSamples);

unsigned long OpenHandles();
unsigned long Threads();
// Private memory of the Wine process in kB, read on the Linux side.
unsigned long RssAnonKb();

}  // namespace terntest

#endif
