// The wait for the instrument's pending operations by service request (DriverSetup
// "WaitMode=Event"), shared by the members that wait: WaitForOperationComplete, the frequency
// response run and the reads that acquire.
#pragma once

#include "core/Driver.h"

#include <string_view>

namespace korvane {

enum class CompletionWait {
  kPoll,      // no wait was made: Poll mode, or the session cannot deliver service requests
  kComplete,  // the operations ended
  kTimedOut,  // they had not ended within the time; the enables are the caller's again
};

// In Event mode, where the session's transport delivers service requests and the caller has not
// enabled the event queue for itself: sends `command` (may be empty) and "*OPC" with the event
// status enable narrowed to the operation-complete bit and the service request enable to the
// event summary bit, waits for the request without sending anything, then clears the event
// status and puts the caller's enables back (also after a timeout). Otherwise sends nothing and
// answers kPoll. What its "*ESR?" reads clear is kept as the status check keeps it (CDriver::
// KeepEvents): an averaging run's Status still sees its completion, and error bits go to the next
// status check when it is on. A failure returns the I/O layer's HRESULT.
HRESULT WaitForCompletionEvent(CDriver& session, std::string_view command, LONG timeoutMs, CompletionWait* outcome);

// The ":DIG" of a read that acquires. In Event mode, where the session delivers service requests,
// it goes with the wait above, and a timeout is `member`'s I/O timeout; otherwise it goes alone
// and the reply's I/O timeout (MaxTimeMilliseconds) is the wait, as before.
HRESULT DigitizeForRead(CDriver& session, LONG maxTimeMs, const char* member);

}  // namespace korvane
