#pragma once

#include "platform/system/FileDescriptor.hpp"

#include <sys/types.h>

namespace tarvo::platform {

// A child just started, and our ends of the pipes to it.
struct SpawnedChild {
    pid_t pid = -1;         // -1 when it could not be started
    FileDescriptor pidfd;   // readable once it has exited; absent on kernels without pidfd_open
    FileDescriptor input;   // we write what it reads on its standard input
    FileDescriptor output;  // we read what it writes on its standard output
};

// Starts the program found in the first absolute PATH entry that holds it,
// as ChildProcess describes the child. The child's own pipe ends are closed
// before this returns, so that its exit shows as the end of its output.
SpawnedChild spawnFromPath(const char* program);

}  // namespace tarvo::platform
