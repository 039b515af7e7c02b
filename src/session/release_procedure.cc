#include "session/release_procedure.h"

#include <string>

namespace ravik {

Result<void> run_release_procedure(HeldTransaction& transaction, SessionClock& clock) {
  if (auto prepared = transaction.prepare_eject(); !prepared) {
    if (prepared.error().code() == codes::kWriteFailed) return prepared;
    return fail(codes::kSafeReleaseFailed,
                "Could not prepare the exact held target for release: " +
                    prepared.error().message());
  }
  auto ejected = transaction.eject_prepared();
  if (ejected) return {};
  const std::string& eject_error = ejected.error().message();

  const SessionClock::TimePoint started = clock.now();
  while (true) {
    auto detached = transaction.exact_detach_confirmed();
    if (!detached) {
      return fail(codes::kSafeReleaseFailed,
                  "Could not prove that the exact held target detached after eject "
                  "failed (" +
                      eject_error + "): " + detached.error().message());
    }
    if (*detached) return {};
    const auto waited =
        std::chrono::duration_cast<std::chrono::seconds>(clock.now() - started);
    if (waited >= kReleaseDetachWait) {
      return fail(codes::kSafeReleaseFailed,
                  "Could not physically eject the exact held target, and removal was "
                  "not confirmed: " +
                      eject_error);
    }
    clock.sleep_for(kReleaseDetachPoll);
  }
}

}  // namespace ravik
