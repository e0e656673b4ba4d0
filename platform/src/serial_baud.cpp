// Baud rates outside the standard table, through the kernel's termios2 and
// BOTHER. <asm/termbits.h> clashes with glibc's <termios.h>, hence a file of
// its own.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "serial_port.h"

namespace platform {

int SetCustomBaud(int fd, DWORD dwBaud) {
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return errno;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = dwBaud;
    tio.c_ospeed = dwBaud;
    if (ioctl(fd, TCSETS2, &tio) != 0)
        return errno;
    return 0;
}

int GetCustomBaud(int fd, DWORD* pBaud) {
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return errno;
    *pBaud = tio.c_ospeed;
    return 0;
}

}  // namespace platform
