// The event policy run again over recorded notes: the component's own policy
// handlers, answered by the recording instead of the clock and copy detection.
#ifndef TERNFILEMON_POLICY_POLICYREPLAY_H
#define TERNFILEMON_POLICY_POLICYREPLAY_H

#include "../include/TernFileMonReplay.h"

namespace tern {

// Replays every note of pfnSource; returns a TERN_REPLAY_* code. Borrows the
// process-wide file monitor and usb roots while it runs, so it refuses to run
// while a file monitor exists. May throw (out of memory, a host callback).
int ReplayPolicyNotesFrom(const TernReplaySetup& setup, TernNoteSource pfnSource, void* pContext);

}  // namespace tern

#endif
