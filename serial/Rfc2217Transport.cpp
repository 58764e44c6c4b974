#include "serial/Rfc2217Transport.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>

#include "serial/Rfc2217Negotiation.h"

namespace {

// How long a device server may take to confirm the settings of an open.
constexpr int kNegotiateMs = 500;
// How long an answer or a purge may wait for the connection.
constexpr int kCommandMs = 200;

qint64 NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now().time_since_epoch())
        .count();
}

// A device server's modem state as the modem bits of a tty.
int ModemBits(int state) {
    using namespace Rfc2217;
    return (state & kModemCts ? TIOCM_CTS : 0) | (state & kModemDsr ? TIOCM_DSR : 0) |
           (state & kModemRing ? TIOCM_RNG : 0) | (state & kModemDcd ? TIOCM_CAR : 0);
}

}  // namespace

std::unique_ptr<TTransport> TRfc2217Transport::Open(const Port::TNetAddress& address,
                                                    const TLineSettings& line, TGone gone,
                                                    QByteArray& early, TPortFailure& failure) {
    const int fd = Connect(address, failure);
    if (fd < 0) return nullptr;
    std::unique_ptr<TRfc2217Transport> link(new TRfc2217Transport(fd, line, std::move(gone)));
    if (!link->Negotiate(line, early, failure)) return nullptr;
    return link;
}

bool TRfc2217Transport::Negotiate(const TLineSettings& line, QByteArray& early,
                                  TPortFailure& failure) {
    Rfc2217::TNegotiation negotiation(line, NowMs(), kNegotiateMs);
    QByteArray chunk;
    for (;;) {
        const QByteArray out = negotiation.TakeOutput();
        if (!out.isEmpty() && !Send(out, kNegotiateMs)) {
            failure = PortError::Failure(errno);
            return false;
        }
        negotiation.Tick(NowMs());
        if (negotiation.State() != Rfc2217::TNegotiation::Running) break;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, negotiation.MsLeft(NowMs())) <= 0) continue;
        chunk.resize(0);
        const ssize_t n = ReadSome(chunk, 4096);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            failure = PortError::Failure(n == 0 ? ECONNRESET : errno);
            return false;
        }
        negotiation.Feed(chunk, early);
    }
    if (negotiation.State() == Rfc2217::TNegotiation::Failed) {
        failure = negotiation.Failure();
        return false;
    }
    parser_ = negotiation.TakeParser();
    modem_ = ModemBits(negotiation.Modem());
    return true;
}

void TRfc2217Transport::NoteModem(quint8 state) {
    Port::TLineState before, now;
    before.Modem = modem_.exchange(ModemBits(state));
    now.Modem = modem_.load();
    events_.fetch_or(Port::LineEvents(before, now));
}

TRead TRfc2217Transport::Read(QByteArray& data, qsizetype room) {
    raw_.resize(0);
    const TRead read = TTcpTransport::Read(raw_, room);
    if (read != TRead::Some) return read;
    // The telnet stream: data, answers owed, notifications of the modem lines.
    parser_.Feed(raw_, data);
    if (QByteArray answers = parser_.TakeAnswers(); !answers.isEmpty()) {
        std::lock_guard lock(owedMutex_);
        owed_ += answers;
    }
    for (const Rfc2217::TReply& reply : parser_.TakeReplies()) {
        if (reply.Command == Rfc2217::NotifyModemstate && !reply.Value.isEmpty())
            NoteModem(quint8(reply.Value[0]));
    }
    return TRead::Some;
}

void TRfc2217Transport::Answer() {
    QByteArray owed;
    {
        std::lock_guard lock(owedMutex_);
        owed.swap(owed_);
    }
    if (!owed.isEmpty()) Send(owed, kCommandMs);
}

bool TRfc2217Transport::Purge(bool tx, bool rx) {
    using namespace Rfc2217;
    // The device server's own buffers.
    bool ok = true;
    if (tx) {
        ok = Send(Command(PurgeData, kPurgeToSend), kCommandMs) && ok;
        ResetPace();
    }
    if (rx) ok = Send(Command(PurgeData, kPurgeReceived), kCommandMs) && ok;
    return ok;
}
