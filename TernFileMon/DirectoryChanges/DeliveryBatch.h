// The batch of changes being delivered on the calling thread, if any.
//
// A batch is what one completed read of a watch reported (or a few reads of
// one watch that were decoded together): the watcher hands it on as one chain,
// and the notification thread delivers it in one go. Every
// change of a batch had happened before the batch was handed on, so a look at
// the state of the machine taken once the delivery of a batch has begun is
// later than every change in it. A handler that asks the same question for each
// change of a batch (has the clipboard changed?) may therefore ask it once per
// batch: the answer is as fresh, for every change of the batch, as one read
// right before that change's own handling.
#ifndef TERNFILEMON_DIRECTORYCHANGES_DELIVERYBATCH_H
#define TERNFILEMON_DIRECTORYCHANGES_DELIVERYBATCH_H

namespace tern {

// Marks the delivery of one batch on the calling thread for its lifetime.
// Batches are delivered one at a time (on the notification thread, or the
// notification window's thread). A scope opened while the thread already
// delivers a batch belongs to that batch: the transport that hands a chain on
// call by call marks the whole chain, and the dispatch of each call inside it
// adds nothing.
class CDeliveryBatchScope {
public:
    CDeliveryBatchScope();
    ~CDeliveryBatchScope();
    CDeliveryBatchScope(const CDeliveryBatchScope&) = delete;
    CDeliveryBatchScope& operator=(const CDeliveryBatchScope&) = delete;

private:
    bool m_bOuter = false;
};

// A number that names the batch being delivered on the calling thread, new for
// every batch; 0 when the calling thread is not delivering one.
unsigned long CurrentDeliveryBatch();

}  // namespace tern

#endif
