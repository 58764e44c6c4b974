#include "serial/TtyTransport.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>

#include "serial/Termios.h"
#include "serial/WakeUp.h"

TTtyTransport::TTtyTransport(int fd, quint32 rate)
    : TTransport(fd), rate_(rate), pseudoTerminal_(Port::IsPseudoTerminal(fd)) {}

TTtyTransport::~TTtyTransport() {
    // Unsent output is dropped: the close would otherwise wait for flow control to let it
    // go (up to the tty's closing wait). A pseudo-terminal holds nothing back, and a flush
    // there could drop bytes that were written whole.
    if (!pseudoTerminal_) tcflush(fd_, TCOFLUSH);
    // Left as found: settings and modem lines as they were before the open.
    if (saved_.Valid) Port::RestoreDevice(fd_, saved_);
    Port::CloseExclusive(fd_);
}

std::unique_ptr<TTransport> TTtyTransport::Open(const QByteArray& path, const TLineSettings& line,
                                                TPortFailure& failure) {
    int err = 0;
    const int fd = Port::OpenExclusive(path, err);
    if (fd < 0) {
        failure = PortError::Failure(err);
        return nullptr;
    }
    std::unique_ptr<TTtyTransport> tty(new TTtyTransport(fd, line.Rate));
    tty->saved_ = Port::SaveDevice(fd);
    if (!tty->Configure(line, failure)) return nullptr;
    return tty;
}

bool TTtyTransport::Configure(const TLineSettings& line, TPortFailure& failure) {
    auto fail = [&](const TPortFailure& f) {
        failure = f;
        return false;
    };
    auto unsupported = [&](TPortSetting setting, int err = 0) {
        return fail(PortError::NotSupported(setting, line, err));
    };
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return fail(PortError::Failure(errno));
    Termios::MakeRaw(t);
    if (!Termios::SetDataBits(t, line.DataBits)) return unsupported(psDataBits);
    Termios::SetParity(t, line.Parity, line.ParityCheck);
    if (!Termios::SetStopBits(t, line.Stop, line.DataBits)) return unsupported(psStopBits);
    Termios::SetFlowControl(t, line.RtsCts, line.XonXoff, line.XOn, line.XOff);
    if (tcsetattr(fd_, TCSANOW, &t) != 0) {
        const int e = errno;
        return e == EINVAL ? unsupported(psLine, e) : fail(PortError::Failure(e));
    }
    termios back{};
    if (tcgetattr(fd_, &back) != 0) return fail(PortError::Failure(errno));
    const tcflag_t ignored = pseudoTerminal_ ? (CSIZE | PARENB) : 0;
    if ((Termios::CheckedCflag(back) & ~ignored) != (Termios::CheckedCflag(t) & ~ignored))
        return unsupported(psLine);
    int err = 0;
    if (!Port::SetRate(fd_, line.Rate, err)) {
        if (PortError::FromErrno(err) != peNotSupported) return fail(PortError::Failure(err));
        return unsupported(psRate, line.Rate == 0 ? 0 : err);  // 0 is refused before any call
    }
    if (!line.RtsCts) Port::SetModemLine(fd_, TIOCM_RTS, line.Rts);
    Port::SetModemLine(fd_, TIOCM_DTR, line.Dtr);
    return true;
}

TRead TTtyTransport::Read(QByteArray& data, qsizetype room) {
    const ssize_t n = ReadSome(data, room);
    if (n > 0) return TRead::Some;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? TRead::None : TRead::Lost;
    // With VMIN = VTIME = 0 an empty queue reads as 0 too: only a hang-up tells.
    pollfd p{fd_, 0, 0};
    const bool hungUp = poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
    return hungUp ? TRead::Lost : TRead::None;
}

TWriteResult TTtyTransport::Write(const char* buffer, int count, const TWriteControl& control) {
    TWriteResult result;
    int& sent = result.Sent;
    for (;;) {
        // Nothing more after an abort or a close: the purge may have dropped bytes before it.
        if (sent > 0 && control.Stopped()) break;
        const ssize_t n = ::write(fd_, buffer + sent, size_t(count - sent));
        const int err = errno;
        if (n > 0) sent += int(n);
        if (sent >= count) break;
        if (n < 0 && err == EINTR) continue;
        if (n < 0 && err != EAGAIN && err != EWOULDBLOCK) {
            const TPortError code = PortError::FromErrno(err);
            result.Lost = code == peLost || code == peNoDevice || err == ETIMEDOUT;
            break;
        }
        if (n > 0) continue;
        if (!control.Wait || control.Stopped()) break;
        const int left = control.MsLeft();
        if (left == 0) break;
        pollfd p[2] = {{fd_, POLLOUT, 0}, {control.Wake->Handle(), POLLIN, 0}};
        const int r = poll(p, 2, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        if (p[1].revents & POLLIN) control.Wake->Quiet();  // the loop looks at why
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            result.Lost = true;
            break;
        }
    }
    // Written is not yet sent: a waited write returns when the bytes have left the port.
    if (control.Wait && sent > 0) {
        int queued = 0;
        const int left = control.MsLeft();
        if (result.Lost || control.Stopped() || left == 0) {
            queued = std::max(OutQueue(), 0);
        } else {
            queued = Port::Drain(fd_, rate_, left, control.Wake->Handle(), pseudoTerminal_);
        }
        // Gave up (time-out, abort, close): the rest is dropped, so it cannot leak into
        // whatever is written next; the result is what left.
        if (queued > 0) {
            tcflush(fd_, TCOFLUSH);
            sent -= std::min(sent, queued);
        }
    }
    return result;
}

bool TTtyTransport::Purge(bool tx, bool rx) {
    bool ok = true;
    if (tx) ok = tcflush(fd_, TCOFLUSH) == 0 && ok;
    if (rx) ok = tcflush(fd_, TCIFLUSH) == 0 && ok;
    return ok;
}

bool TTtyTransport::ReadLineState(Port::TLineState& state) {
    return Port::ReadLineState(fd_, state);
}
