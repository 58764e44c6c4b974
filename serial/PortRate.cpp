// The arbitrary-rate interface needs the kernel's termios2, whose header clashes with the C
// library's <termios.h>; so it lives alone in this file.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>
#include <errno.h>
#include <string.h>

#include "serial/Port.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace Port {

namespace {

// The Bnnn code of a standard rate, so that every tool shows it; BOTHER for the others.
unsigned StandardCode(quint32 rate) {
    static const struct {
        quint32 rate;
        unsigned code;
    } codes[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                 {150, B150},       {200, B200},       {300, B300},       {600, B600},
                 {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                 {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                 {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& c : codes)
        if (c.rate == rate) return c.code;
    return BOTHER;
}

}  // namespace

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
    t.c_cflag |= StandardCode(rate);
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

namespace Port {

static_assert(sizeof(struct termios2) <= sizeof(TSavedDevice::Termios));

TSavedDevice SaveDevice(int fd) {
    TSavedDevice saved;
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return saved;
    memcpy(saved.Termios, &t, sizeof t);
    saved.Valid = true;
    saved.HasModem = ioctl(fd, TIOCMGET, &saved.Modem) == 0;
    return saved;
}

bool RestoreDevice(int fd, const TSavedDevice& saved) {
    if (!saved.Valid) return false;
    struct termios2 t {};
    memcpy(&t, saved.Termios, sizeof t);
    bool ok = ioctl(fd, TCSETS2, &t) == 0;
    if (saved.HasModem) {
        // Only the lines a program drives; the others are inputs.
        const int driven = TIOCM_RTS | TIOCM_DTR;
        int on = saved.Modem & driven, off = ~saved.Modem & driven;
        if (on != 0) ok = ioctl(fd, TIOCMBIS, &on) == 0 && ok;
        if (off != 0) ok = ioctl(fd, TIOCMBIC, &off) == 0 && ok;
    }
    return ok;
}

}  // namespace Port
