#pragma once

#include <cstddef>

namespace tarvo::platform {

// The one descriptor that carries the answer to the caller. Modules, the
// certificate store and any library we load may print on standard output;
// none of that may mix into the answer, so at start-up the caller's standard
// output is set aside for the answer alone and descriptor 1 points to
// /dev/null for everyone else.

// Called once, before anything else is read or loaded. When standard output
// is closed there is no answer channel, and every delivery fails.
void setAsideAnswerChannel() noexcept;

// The set-aside copy of standard output (close-on-exec, above 2), -1 when
// there is none, or standard output itself in a process that never set it aside.
int answerDescriptor() noexcept;

// Claims the right to write the one document of the run; true only for the
// first claim. Both the ordinary writers and the emergency answer of a
// failed foreign call claim before their first byte, so no document ever
// follows another. Safe in a signal handler.
bool claimAnswer() noexcept;

}  // namespace tarvo::platform
