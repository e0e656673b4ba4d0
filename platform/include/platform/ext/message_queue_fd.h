// A thread's message queue (win_message.h) as a file descriptor, for event
// loops that wait on descriptors.
#pragma once

#include "platform/win_types.h"

namespace platform {

// A file descriptor that is readable while the calling thread's queue holds
// messages, so a host's own event loop (Qt, poll) can pump it. Creates the
// queue if needed. Valid until the thread ends.
PLATFORM_API int GetMessageQueueFd();

}  // namespace platform
