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
#ifndef RAVIK_JOB_SIGNAL_RELAY_H_
#define RAVIK_JOB_SIGNAL_RELAY_H_

#include <sys/types.h>

namespace ravik::job::signal_relay {

// Relays from now on to `helper`, until remove(). Beyond the relay's
// capacity (far more helpers than disks on a machine) `helper` is not added.
void add(pid_t helper);
void remove(pid_t helper);

// The user interrupted (SIGINT or SIGTERM) while a helper was registered,
// or a front end called cancel().
bool interrupted();

// What the first SIGINT does, asked for by a front end without a terminal (a
// window's Cancel), from any thread: every registered helper is sent SIGINT,
// cancels its running operation and reports that, and the job ends with each
// disk's outcome saying what reached it. A helper started through sudo is
// reached through the sudo process in front of it. One that runs as root
// with nothing in front of it (pkexec executes the helper itself) cannot be
// signalled by its unprivileged client.
void cancel();

// Forgets an earlier interrupt or cancel(), before a front end that lives
// on starts its next job.
void new_job();

}  // namespace ravik::job::signal_relay

#endif  // RAVIK_JOB_SIGNAL_RELAY_H_
