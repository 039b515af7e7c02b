// Relays the user's interrupt to the running helpers. A helper started
// through sudo leads a process group of its own, so the terminal's SIGINT no
// longer reaches it, and as root it cannot be signalled by its unprivileged
// client; the sudo process in front of it can be, and passes the signal on.
// The first SIGINT or SIGTERM goes to every registered helper, which cancels
// its running operation and reports that, so the client ends with its usual
// summary; a second one (or one while no helper runs) ends the client the
// ordinary way.
//
// Thread-safe; the handler is async-signal-safe.
#ifndef RAVIK_CLIENT_SIGNAL_RELAY_H_
#define RAVIK_CLIENT_SIGNAL_RELAY_H_

#include <sys/types.h>

namespace ravik::client::signal_relay {

// Relays from now on to `helper`, until remove(). Beyond the relay's
// capacity (far more helpers than disks on a machine) `helper` is not added.
void add(pid_t helper);
void remove(pid_t helper);

// The user interrupted (SIGINT or SIGTERM) while a helper was registered.
bool interrupted();

}  // namespace ravik::client::signal_relay

#endif  // RAVIK_CLIENT_SIGNAL_RELAY_H_
