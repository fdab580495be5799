#include "platform/system/ProcessProtection.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace tarvo::platform {

void protectProcessMemory() noexcept {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
}

void ignoreBrokenPipes() noexcept { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace tarvo::platform
