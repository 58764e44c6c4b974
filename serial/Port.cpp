#include "serial/Port.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <mutex>

#include "serial/Serial.h"

namespace Port {

QByteArray MapFolder() {
    QByteArray base = qgetenv("XDG_CONFIG_HOME");
    if (base.isEmpty() || !base.startsWith('/')) base = qgetenv("HOME") + "/.config";
    return base + "/dnc-server/ports";
}

// Names with no entry in the port map follow the numbering a PC user knows:
//   COM1..COM4   /dev/ttyS0..ttyS3     the built-in serial ports
//   COM5..COM8   /dev/ttyUSB0..ttyUSB3 USB-to-RS-232 adapters (FTDI, PL2303, CH340, ...)
//   COM9..COM12  /dev/ttyACM0..ttyACM3 USB adapters of the modem class
// so a machine with one plain port finds it as COM1 and a plugged-in adapter as COM5,
// both without any set-up. Every other name, and any other device, needs an entry in the
// map: a symbolic link COMn -> device in MapFolder().
QByteArray DefaultDevice(int port) {
    if (port >= 1 && port <= 4) return "/dev/ttyS" + QByteArray::number(port - 1);
    if (port >= 5 && port <= 8) return "/dev/ttyUSB" + QByteArray::number(port - 5);
    if (port >= 9 && port <= 12) return "/dev/ttyACM" + QByteArray::number(port - 9);
    return {};
}

QByteArray DevicePath(int port) {
    if (port < 1 || port > MaxPort) return {};
    const QByteArray entry = MapFolder() + "/COM" + QByteArray::number(port);
    struct stat st {};
    if (lstat(entry.constData(), &st) == 0) return entry;
    return DefaultDevice(port);
}

bool Exists(int port) {
    const QByteArray path = DevicePath(port);
    if (path.isEmpty()) return false;
    struct stat st {};
    if (stat(path.constData(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const int fd = open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY || errno == EACCES || errno == EPERM;
    termios t{};
    const bool tty = tcgetattr(fd, &t) == 0;
    close(fd);
    return tty;
}

QByteArray ErrnoText(int err) {
    switch (err) {
        case 0:
            return {};
        case EACCES:
        case EPERM:
            return "Permission denied";
        case EBUSY:
        case EWOULDBLOCK:
            return "Device or resource busy";
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return "No such device";
        case EIO:
            return "Input/output error";
        case EINVAL:
            return "Invalid argument";
        case ENOTTY:
            return "Not a serial device";
        default:
            return QByteArray(strerror(err));
    }
}

int OpenExclusive(const QByteArray& path, int& err) {
    const int fd = open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    // flock keeps out every cooperating program (and root); TIOCEXCL keeps out every
    // further open of the tty by non-root programs.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        err = errno;
        close(fd);
        return -1;
    }
    return fd;
}

void CloseExclusive(int fd) {
    if (fd < 0) return;
    ioctl(fd, TIOCNXCL);
    close(fd);  // also releases the flock
}

bool IsPseudoTerminal(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;  // UNIX98 pty slaves
}

int InQueue(int fd) {
    int n = 0;
    return ioctl(fd, TIOCINQ, &n) == 0 ? n : -1;
}

int OutQueue(int fd) {
    int n = 0;
    return ioctl(fd, TIOCOUTQ, &n) == 0 ? n : -1;
}

void SetModemLine(int fd, int line, bool on) {
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);  // fails harmlessly where there are none
}

namespace {

bool RealLineState(int fd, TLineState& state) {
    int modem = 0;
    if (ioctl(fd, TIOCMGET, &modem) != 0) return false;
    state.Modem = modem;
    serial_icounter_struct c{};
    if (ioctl(fd, TIOCGICOUNT, &c) == 0) {
        state.Brk = c.brk;
        state.Frame = c.frame;
        state.Overrun = c.overrun;
        state.Parity = c.parity;
        state.BufOverrun = c.buf_overrun;
    }
    return true;
}

std::mutex readerMutex;
TLineStateReader testReader;

}  // namespace

bool ReadLineState(int fd, TLineState& state) {
    TLineStateReader reader;
    {
        std::lock_guard lock(readerMutex);
        reader = testReader;
    }
    return reader ? reader(fd, state) : RealLineState(fd, state);
}

void SetLineStateReaderForTests(TLineStateReader reader) {
    std::lock_guard lock(readerMutex);
    testReader = std::move(reader);
}

quint32 LineEvents(const TLineState& before, const TLineState& now) {
    const int changed = before.Modem ^ now.Modem;
    quint32 events = 0;
    if (changed & TIOCM_CTS) events |= EV_CTS;
    if (changed & TIOCM_DSR) events |= EV_DSR;
    if (changed & TIOCM_RNG) events |= EV_RING;
    if (changed & TIOCM_CAR) events |= EV_RLSD;
    if (now.Brk != before.Brk) events |= EV_BREAK;
    if (now.Frame != before.Frame || now.Overrun != before.Overrun || now.Parity != before.Parity ||
        now.BufOverrun != before.BufOverrun)
        events |= EV_ERR;
    return events;
}

}  // namespace Port
