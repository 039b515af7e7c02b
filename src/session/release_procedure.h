// The release procedure: make the held target durable, eject it, and when the
// eject is refused, wait up to 60 seconds for proof that exactly the held
// target detached before calling the release a success.
//
// Not thread-safe; runs on the session's main thread. Blocks that thread for
// up to about a minute when the eject fails.
#ifndef RAVIK_SESSION_RELEASE_PROCEDURE_H_
#define RAVIK_SESSION_RELEASE_PROCEDURE_H_

#include <chrono>

#include "error/helper_error.h"
#include "session/session_clock.h"
#include "transaction/held_transaction.h"

namespace ravik {

inline constexpr std::chrono::seconds kReleaseDetachWait{60};
inline constexpr std::chrono::milliseconds kReleaseDetachPoll{250};

// Succeeds when the target was ejected, or when the eject failed but the
// exact held target was confirmed detached within the wait. A failed flush
// keeps its own "WRITE_FAILED" error so the application can tell a possibly
// incomplete flush from a durable medium whose removal was not confirmed;
// every other failure is "SAFE_RELEASE_FAILED".
Result<void> run_release_procedure(HeldTransaction& transaction, SessionClock& clock);

}  // namespace ravik

#endif  // RAVIK_SESSION_RELEASE_PROCEDURE_H_
