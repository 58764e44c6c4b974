#include "serial/TcpTransport.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "serial/WakeUp.h"

namespace {

// How long an open waits for a device server to take the connection: a server on the LAN
// answers in milliseconds, and a reconnect try must not hold the window.
constexpr int kConnectMs = 200;

// What a device server's line may hold ahead of the line clock: a write is sent in pieces
// of this, each when the one before has had its time on the line.
constexpr int kPaceBytes = 256;

// Start, data and stop bits, and the parity bit if there is one.
std::chrono::nanoseconds CharTime(const TLineSettings& line) {
    const qint64 halfBits =
        2 * (1 + line.DataBits + 4 + (line.Parity != none ? 1 : 0)) + (line.Stop == sb_1    ? 2
                                                                       : line.Stop == sb_15 ? 3
                                                                                            : 4);
    return std::chrono::nanoseconds(halfBits * 500'000'000LL / std::max<quint32>(line.Rate, 1));
}

}  // namespace

TTcpTransport::TTcpTransport(int fd, const TLineSettings& line, TGone gone)
    : TTransport(fd),
      gone_(std::move(gone)),
      charTime_(CharTime(line)),
      lineFreeAt_(TClock::now()) {}

TTcpTransport::~TTcpTransport() { close(fd_); }

int TTcpTransport::Connect(const Port::TNetAddress& address, TPortFailure& failure) {
    int err = 0;
    const int fd = Port::ConnectTcp(address.Host, address.Port, kConnectMs, err);
    if (fd < 0) failure = PortError::Failure(err);
    return fd;
}

std::unique_ptr<TTransport> TTcpTransport::Open(const Port::TNetAddress& address,
                                                const TLineSettings& line, TGone gone,
                                                TPortFailure& failure) {
    const int fd = Connect(address, failure);
    if (fd < 0) return nullptr;
    return std::unique_ptr<TTransport>(new TTcpTransport(fd, line, std::move(gone)));
}

TRead TTcpTransport::Read(QByteArray& data, qsizetype room) {
    const ssize_t n = ReadSome(data, room);
    if (n > 0) return TRead::Some;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return TRead::None;
    return TRead::Lost;  // 0: the device server closed the connection
}

void TTcpTransport::DropInput() {
    // Read as any read is, so that a device server's notifications are not lost with it.
    QByteArray dropped;
    do dropped.resize(0);
    while (Read(dropped, 4096) == TRead::Some);
}

bool TTcpTransport::Send(const QByteArray& bytes, int ms) {
    std::unique_lock lock(sendMutex_, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(ms))) {
        errno = ETIMEDOUT;
        return false;
    }
    const auto deadline = TClock::now() + std::chrono::milliseconds(ms);
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.constData() + sent, size_t(bytes.size() - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        // Nothing of it sent yet: the caller may try again later. Begun: it goes out whole
        // (a cut would break the telnet stream), unless the connection goes away.
        if (sent == 0 && MsLeft(deadline) == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (gone_()) {
            errno = EPIPE;
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 50);
    }
    return true;
}

TClock::time_point TTcpTransport::LineFreeAt() {
    std::lock_guard lock(paceMutex_);
    return lineFreeAt_;
}

void TTcpTransport::ResetPace() {
    std::lock_guard lock(paceMutex_);
    lineFreeAt_ = TClock::now();
}

bool TTcpTransport::WaitForLine(TClock::time_point until, int queued,
                                const TWriteControl& control) {
    for (;;) {
        if (control.Stopped()) return false;
        const int inSocket = std::max(OutQueue(), 0);
        const auto now = TClock::now();
        if (now >= until && inSocket <= queued) return true;
        int ms = 20;
        if (now < until) {
            ms = int(std::min<qint64>(
                ms, std::chrono::ceil<std::chrono::milliseconds>(until - now).count()));
        }
        const int left = control.MsLeft();
        if (left == 0) return false;
        if (left > 0) ms = std::min(ms, left);
        pollfd p{control.Wake->Handle(), POLLIN, 0};
        if (poll(&p, 1, std::max(ms, 1)) > 0) control.Wake->Quiet();
    }
}

TWriteResult TTcpTransport::Write(const char* buffer, int count, const TWriteControl& control) {
    TWriteResult result;
    int& sent = result.Sent;
    while (sent < count) {
        if (sent > 0 && control.Stopped()) break;
        const int piece = control.Wait ? std::min(count - sent, kPaceBytes) : count - sent;
        // The line gets the next piece when the one before has had its time there: the
        // device server holds about one piece, never the whole program.
        if (control.Wait && !WaitForLine(LineFreeAt(), kPaceBytes, control)) break;
        const int ms = control.Wait ? std::max(control.MsLeft(), 0) + 1000 : 0;
        if (!Send(Wire(QByteArrayView(buffer + sent, piece)), ms)) {
            const int e = errno;
            if (e != ETIMEDOUT && e != EAGAIN && e != EWOULDBLOCK) {
                result.Lost = true;
                break;
            }
            // A piece begun goes out whole (an escaped pair must never be cut); one not
            // begun waits for the next write.
            if (!control.Wait) break;
            continue;
        }
        sent += piece;
        std::lock_guard lock(paceMutex_);
        lineFreeAt_ = std::max(lineFreeAt_, TClock::now()) + charTime_ * piece;
    }
    // Sent when the last byte has had its time on the line and the device server has taken
    // every byte. What it holds cannot be taken back: a write that stops waiting early still
    // counts it.
    if (control.Wait && sent > 0 && !result.Lost) WaitForLine(LineFreeAt(), 0, control);
    return result;
}
