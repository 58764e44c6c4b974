#include "serial/Port.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>

#include "serial/Events.h"
#include "serial/Probe.h"

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

bool DefaultsOff() { return !qgetenv(kNoDefaultsVariable).isEmpty(); }

QByteArray DevicePath(int port) {
    if (port < 1 || port > MaxPort) return {};
    const QByteArray entry = MapFolder() + "/COM" + QByteArray::number(port);
    struct stat st {};
    if (lstat(entry.constData(), &st) == 0) return entry;
    return DefaultsOff() ? QByteArray() : DefaultDevice(port);
}

QByteArray DeviceName(int port) {
    const QByteArray path = DevicePath(port);
    struct stat st {};
    if (path.isEmpty() || lstat(path.constData(), &st) != 0) return path;  // the default
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        const ssize_t n = readlink(path.constData(), target, sizeof target);
        if (n <= 0 || size_t(n) >= sizeof target) return path;
        const QByteArray name(target, n);
        return name.startsWith('/') ? name : MapFolder() + '/' + name;
    }
    TNetAddress address;
    if (NetworkAddress(path, &address.Host, &address.Port, &address.Rfc2217)) {
        return address.Text();
    }
    return path;
}

namespace {

std::mutex deviceMutex;
std::shared_ptr<const TScriptedDevice> scriptedDevice;

std::shared_ptr<const TScriptedDevice> Scripted() {
    std::lock_guard lock(deviceMutex);
    return scriptedDevice;
}

std::optional<TDeviceState> ScriptedState(const QByteArray& path) {
    const auto device = Scripted();
    if (!device || !device->Device) return std::nullopt;
    return device->Device(path);
}

QByteArray ReadSmallFile(const QByteArray& path) {
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buffer[64];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    return n > 0 ? QByteArray(buffer, n).trimmed() : QByteArray();
}

// Whether a character device is a tty, from what the kernel files about it in sysfs; the
// device itself is not opened. A serial-core slot without a UART behind it (type 0, as
// /dev/ttyS1..3 on most PCs) is none.
bool IsTtyDevice(dev_t rdev) {
    const unsigned maj = major(rdev);
    if (maj >= 136 && maj <= 143) return true;  // pseudo-terminal slaves are not in sysfs
    if (access("/sys/dev/char", F_OK) != 0) {
        // No sysfs: the majors of the serial drivers (8250, USB serial, USB modem class).
        return (maj == 4 && minor(rdev) >= 64) || maj == 188 || maj == 166;
    }
    const QByteArray node =
        "/sys/dev/char/" + QByteArray::number(maj) + ':' + QByteArray::number(minor(rdev));
    char target[512];
    const ssize_t n = readlink((node + "/subsystem").constData(), target, sizeof target - 1);
    if (n <= 0) return false;
    const QByteArray subsystem(target, n);
    if (!subsystem.endsWith("/tty")) return false;
    return ReadSmallFile(node + "/type") != "0";
}

}  // namespace

QByteArray TNetAddress::Text() const {
    const QByteArray name = Host.contains(':') ? '[' + Host + ']' : Host;
    return (Rfc2217 ? "rfc2217://" : "tcp://") + name + ':' + QByteArray::number(Port);
}

bool ParseNetworkAddress(const QByteArray& text, TNetAddress* address) {
    const QByteArray trimmed = text.trimmed();
    TNetAddress a;
    QByteArray rest;
    if (trimmed.startsWith("tcp://")) {
        rest = trimmed.mid(6);
    } else if (trimmed.startsWith("rfc2217://")) {
        rest = trimmed.mid(10);
        a.Rfc2217 = true;
    } else {
        return false;
    }
    const qsizetype colon = rest.lastIndexOf(':');
    if (colon <= 0) return false;
    bool ok = false;
    const uint number = rest.mid(colon + 1).toUInt(&ok);
    if (!ok || number == 0 || number > 65535) return false;
    QByteArray name = rest.left(colon);
    if (name.startsWith('[') && name.endsWith(']')) name = name.mid(1, name.size() - 2);  // IPv6
    if (name.isEmpty()) return false;
    a.Host = name;
    a.Port = quint16(number);
    *address = a;
    return true;
}

bool NetworkAddress(const QByteArray& path, QByteArray* host, quint16* port, bool* rfc2217) {
    struct stat st {};
    if (path.isEmpty() || lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (st.st_size > 1024) return false;
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[1025] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return false;
    TNetAddress address;
    if (!ParseNetworkAddress(QByteArray(text, n), &address)) return false;
    *host = address.Host;
    *port = address.Port;
    if (rfc2217) *rfc2217 = address.Rfc2217;
    return true;
}

int ConnectTcp(const QByteArray& host, quint16 port, int timeoutMs, int& err) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0) {
        err = EHOSTUNREACH;
        return -1;
    }
    err = ECONNREFUSED;
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            int e = errno;
            if (e == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                const int r = poll(&p, 1, timeoutMs);
                socklen_t len = sizeof e;
                e = r == 0  ? ETIMEDOUT
                    : r < 0 ? errno
                            : (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) == 0 ? e : errno);
            }
            if (e != 0) {
                err = e;
                close(fd);
                fd = -1;
            }
        }
    }
    freeaddrinfo(found);
    if (fd < 0) return -1;
    const int on = 1, idle = 10, interval = 3, count = 3, unacked = 20000;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacked, sizeof unacked);
    return fd;
}

TDeviceState DeviceState(const QByteArray& path) {
    if (path.isEmpty()) return dsMissing;
    if (const auto scripted = ScriptedState(path)) return *scripted;
    QByteArray host;
    quint16 tcpPort = 0;
    TNetAddress address;
    if (ParseNetworkAddress(path, &address) || NetworkAddress(path, &host, &tcpPort)) {
        return dsNetwork;
    }
    struct stat st {};
    if (stat(path.constData(), &st) != 0) return errno == EACCES ? dsNotPermitted : dsMissing;
    if (!S_ISCHR(st.st_mode) || !IsTtyDevice(st.st_rdev)) return dsNotTty;
    if (faccessat(AT_FDCWD, path.constData(), R_OK | W_OK, AT_EACCESS) != 0) return dsNotPermitted;
    return dsTty;
}

TDeviceState PortState(int port) { return DeviceState(DevicePath(port)); }

int OpenExclusive(const QByteArray& path, int& err) {
    if (const auto scripted = ScriptedState(path); scripted && *scripted != dsTty) {
        switch (*scripted) {
            case dsMissing:
                err = ENOENT;
                break;
            case dsNotTty:
                err = ENOTTY;
                break;
            case dsNotPermitted:
                err = EACCES;
                break;
            default:
                err = EBUSY;
                break;
        }
        return -1;
    }
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

int Drain(int fd, quint32 baud, int msLeft, int wakeFd, bool pseudoTerminal) {
    if (const auto device = Scripted(); device && device->Drain) return device->Drain(fd, msLeft);
    if (pseudoTerminal) return 0;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(msLeft < 0 ? 0 : msLeft);
    for (;;) {
        const int queued = OutQueue(fd);
        if (queued <= 0) return 0;
        // About ten bits a character; check again when they should have gone, at most
        // every 20 ms so that a queue held back by flow control is seen moving again.
        int wait = int(std::min<qint64>(20, qint64(queued) * 10000 / std::max<quint32>(baud, 1)));
        wait = std::max(wait, 1);
        if (msLeft >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) return queued;
            wait = int(std::min<qint64>(wait, left));
        }
        pollfd p{wakeFd, POLLIN, 0};
        const int r = poll(&p, wakeFd >= 0 ? 1 : 0, wait);
        if (r > 0) return std::max(OutQueue(fd), 0);  // woken: stop waiting
    }
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

}  // namespace

bool ReadLineState(int fd, TLineState& state) {
    const auto device = Scripted();
    return device && device->ReadLineState ? device->ReadLineState(fd, state)
                                           : RealLineState(fd, state);
}

void SetScriptedDeviceForTests(std::shared_ptr<const TScriptedDevice> device) {
    std::lock_guard lock(deviceMutex);
    scriptedDevice = std::move(device);
}

void SetLineStateReaderForTests(TLineStateReader reader) {
    if (!reader) {
        SetScriptedDeviceForTests(nullptr);
        return;
    }
    auto device = std::make_shared<TScriptedDevice>();
    device->ReadLineState = std::move(reader);
    SetScriptedDeviceForTests(std::move(device));
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
