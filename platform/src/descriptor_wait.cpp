// Waiting on a foreign file descriptor with a time bound.
#include <poll.h>

#include <cerrno>
#include <chrono>

#include "error_from_errno.h"
#include "platform/ext/descriptor_wait.h"
#include "platform/win_error.h"

namespace platform {

int WaitForDescriptor(int fd, BOOL bForWrite, DWORD dwMilliseconds) {
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd pfd = {fd, static_cast<short>(bForWrite ? POLLOUT : POLLIN), 0};
        const int n = poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n > 0) {
            if (pfd.revents & POLLNVAL) {
                SetLastError(ERROR_INVALID_HANDLE);
                return -1;
            }
            return 1;
        }
        if (n == 0) {
            SetLastError(ERROR_TIMEOUT);
            return 0;
        }
        if (errno != EINTR) {
            SetLastErrorFromErrno(errno);
            return -1;
        }
    }
}

}  // namespace platform
