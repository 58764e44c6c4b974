// The arbitrary-rate interface needs the kernel's termios2, whose header clashes with the C
// library's <termios.h>; so it lives alone in this file.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>

#include "serial/Port.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace Port {

bool SetRate(int fd, quint32 rate, int& err) {
    struct termios2 t {};
    if (rate == 0) {
        err = EINVAL;  // rate 0 would hang up the line
        return false;
    }
    if (ioctl(fd, TCGETS2, &t) != 0) {
        err = errno;
        return false;
    }
    // Input rate bits cleared: the input runs at the output rate.
    t.c_cflag &= ~(CBAUD | CIBAUD);
    t.c_cflag |= BOTHER;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    if (ioctl(fd, TCSETS2, &t) != 0) {
        err = errno;
        return false;
    }
    return true;
}

bool GetRate(int fd, quint32& inRate, quint32& outRate) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    inRate = t.c_ispeed;
    outRate = t.c_ospeed;
    return true;
}

}  // namespace Port
