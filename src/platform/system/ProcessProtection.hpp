#pragma once

namespace tarvo::platform {

// Keeps the PIN out of reach of the user's other processes for the whole
// run: the process becomes non-dumpable (no core file, no ptrace attach, no
// reading of /proc/<pid>/mem by anyone but root) and its core size limit
// drops to zero, also for a caller that raised it. Called first thing at start-up.
void protectProcessMemory() noexcept;

// A reader that has gone away turns our writes into EPIPE errors instead of
// ending the process with SIGPIPE. Children that we start get the default
// disposition back (see PinentryProcess).
void ignoreBrokenPipes() noexcept;

}  // namespace tarvo::platform
