#include "serial/Rfc2217Negotiation.h"

#include <errno.h>

#include <algorithm>
#include <iterator>

namespace Rfc2217 {

namespace {

// The replies that confirm the settings, in the order the server gives them.
constexpr quint8 kConfirmed[] = {SetBaudrate, SetDatasize, SetParity, SetStopsize, SetControl};
constexpr int kConfirmCount = int(std::size(kConfirmed));

quint32 RateOf(const QByteArray& v) {
    if (v.size() != 4) return 0;
    return (quint32(quint8(v[0])) << 24) | (quint32(quint8(v[1])) << 16) |
           (quint32(quint8(v[2])) << 8) | quint8(v[3]);
}

}  // namespace

TNegotiation::TNegotiation(const TLineSettings& line, qint64 nowMs, int limitMs)
    : line_(line), deadline_(nowMs + limitMs) {
    // The option has no value for 4 data bits: nothing to ask a server.
    if (line.DataBits == db_4) {
        Fail(PortError::NotSupported(psDataBits, line));
        return;
    }
    output_ = Greeting();
}

QByteArray TNegotiation::TakeOutput() {
    QByteArray out;
    out.swap(output_);
    return out;
}

void TNegotiation::Fail(const TPortFailure& failure) {
    failure_ = failure;
    state_ = Failed;
}

void TNegotiation::Feed(QByteArrayView bytes, QByteArray& data) {
    if (state_ != Running) return;
    parser_.Feed(bytes, data);
    output_ += parser_.TakeAnswers();
    for (const TReply& reply : parser_.TakeReplies()) {
        if (reply.Command == NotifyModemstate && !reply.Value.isEmpty()) {
            modem_ = quint8(reply.Value[0]);
            continue;
        }
        Confirm(reply);
        if (state_ != Running) return;
    }
    if (confirmed_ == kConfirmCount) {
        state_ = Agreed;
    } else if (parser_.ComPortRefused()) {
        Fail(PortError::NotSupported(psComPortOption, line_));
    } else if (parser_.ComPortAccepted() && !sent_) {
        // The settings go once the server took the option.
        output_ += Settings(line_);
        sent_ = true;
    }
}

void TNegotiation::Confirm(const TReply& reply) {
    if (!sent_ || confirmed_ >= kConfirmCount || reply.Command != kConfirmed[confirmed_]) return;
    // The server answers with the value it now runs; another one is a refusal.
    const QByteArray& v = reply.Value;
    TPortSetting refused = psNone;
    if (reply.Command == SetBaudrate) {
        if (RateOf(v) != line_.Rate) refused = psRate;
    } else if (v.size() != 1) {
        refused = psLine;
    } else if (reply.Command == SetDatasize && quint8(v[0]) != DataValue(line_.DataBits)) {
        refused = psDataBits;
    } else if (reply.Command == SetParity && quint8(v[0]) != ParityValue(line_.Parity)) {
        refused = psLine;
    } else if (reply.Command == SetStopsize && quint8(v[0]) != StopValue(line_.Stop)) {
        refused = psStopBits;
    } else if (reply.Command == SetControl &&
               quint8(v[0]) != FlowValue(line_.RtsCts, line_.XonXoff)) {
        refused = psLine;
    }
    if (refused != psNone) {
        Fail(PortError::NotSupported(refused, line_));
        return;
    }
    ++confirmed_;
}

void TNegotiation::Tick(qint64 nowMs) {
    if (state_ != Running || nowMs < deadline_) return;
    // A server that never answered the option is no RFC 2217 server.
    Fail(sent_ ? PortError::Failure(ETIMEDOUT) : PortError::NotSupported(psComPortOption, line_));
}

int TNegotiation::MsLeft(qint64 nowMs) const {
    return int(std::clamp<qint64>(deadline_ - nowMs, 0, 1 << 30));
}

}  // namespace Rfc2217
