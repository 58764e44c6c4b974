#pragma once
// Agreeing the line settings with a device server over the telnet COM port option, without
// I/O: bytes and time in, bytes to send and the outcome out. The greeting goes first; once
// the server takes the option the settings follow, and each of bit rate, data bits, parity,
// stop bits and flow control must come back with the value asked for, within the limit.
#include <QByteArray>
#include <QByteArrayView>

#include "serial/Line.h"
#include "serial/PortError.h"
#include "serial/Rfc2217.h"

namespace Rfc2217 {

class TNegotiation {
  public:
    enum TState : quint8 { Running, Agreed, Failed };

    // The server has limitMs from nowMs for the whole agreement.
    TNegotiation(const TLineSettings& line, qint64 nowMs, int limitMs);

    // What to send to the server now (the greeting, answers, the settings); empty for none.
    QByteArray TakeOutput();
    // Bytes from the server; the line's data among them is appended to data.
    void Feed(QByteArrayView bytes, QByteArray& data);
    // The clock: past the limit a negotiation that still runs fails.
    void Tick(qint64 nowMs);
    // Milliseconds until the limit, 0 when passed.
    int MsLeft(qint64 nowMs) const;

    TState State() const { return state_; }
    // Why it failed: a setting the server refused or runs otherwise, no COM port option,
    // or no answer in time.
    const TPortFailure& Failure() const { return failure_; }
    // The server's modem state (NOTIFY-MODEMSTATE bits) as last reported, 0 for none.
    quint8 Modem() const { return modem_; }
    // The parser, to read the rest of the stream with once agreed.
    TTelnetParser TakeParser() { return std::move(parser_); }

  private:
    // A reply to the settings: true when it is the next one expected and holds its value.
    void Confirm(const TReply& reply);
    void Fail(const TPortFailure& failure);

    TLineSettings line_;
    qint64 deadline_;
    TTelnetParser parser_;
    QByteArray output_;
    bool sent_ = false;  // the settings are in the output
    int confirmed_ = 0;
    quint8 modem_ = 0;
    TState state_ = Running;
    TPortFailure failure_;
};

}  // namespace Rfc2217
