#pragma once
// The telnet COM port option (RFC 2217) as a client speaks it to a serial device server: the
// bytes it sends (escaped data, option negotiation, the port's settings, purges) and a parser
// for what comes back, fed bytes as they are read and handing out data, the answers owed to
// the server and the server's replies. No I/O here.
#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>
#include <array>
#include <vector>

#include "serial/Line.h"

namespace Rfc2217 {

constexpr quint8 IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr quint8 OptBinary = 0, OptEcho = 1, OptSga = 3, OptComPort = 44;

// Commands of the option, client to server; the server's reply carries the code + 100.
enum TCommand : quint8 {
    SetBaudrate = 1,
    SetDatasize = 2,
    SetParity = 3,
    SetStopsize = 4,
    SetControl = 5,
    NotifyLinestate = 6,
    NotifyModemstate = 7,
    SetLinestateMask = 10,
    SetModemstateMask = 11,
    PurgeData = 12,
};
constexpr quint8 kReplyOffset = 100;

// SET-CONTROL values.
constexpr quint8 kFlowNone = 1, kFlowXonXoff = 2, kFlowHardware = 3, kDtrOn = 8, kDtrOff = 9,
                 kRtsOn = 11, kRtsOff = 12;
// PURGE-DATA values: the device server's buffer of what came from the line, of what goes to
// it.
constexpr quint8 kPurgeReceived = 1, kPurgeToSend = 2;
// NOTIFY-MODEMSTATE bits.
constexpr quint8 kModemCts = 0x10, kModemDsr = 0x20, kModemRing = 0x40, kModemDcd = 0x80;

// Data for the wire: every IAC doubled.
QByteArray Escape(QByteArrayView data);
QByteArray Negotiation(quint8 verb, quint8 option);
// IAC SB COM-PORT-OPTION command value IAC SE, an IAC in the value doubled.
QByteArray Command(quint8 command, QByteArrayView value);
QByteArray Command(quint8 command, quint8 value);

// The option values of the settings.
quint8 DataValue(TDataBits bits);       // the number of data bits
quint8 ParityValue(TParityBit parity);  // none 1, odd 2, even 3, mark 4, space 5
quint8 StopValue(TStopBits stop);       // 1: 1, 2: 2, 1,5: 3
quint8 FlowValue(bool rtsCts, bool xonXoff);

// What a client asks for first: the option, binary both ways, no go-ahead.
QByteArray Greeting();

// The line settings of an open, in the order the replies come back.
QByteArray Settings(const TLineSettings& line);

// A reply of the server to a command (code without the offset) or a notification.
struct TReply {
    quint8 Command = 0;
    QByteArray Value;
};

// Takes apart what a device server sends. Feed may cut the stream anywhere, in the middle of
// an IAC pair or a subnegotiation too.
class TTelnetParser {
  public:
    TTelnetParser();
    // Appends the data bytes among bytes to data.
    void Feed(QByteArrayView bytes, QByteArray& data);
    // What the client owes the server for its option requests, since the last call.
    QByteArray TakeAnswers();
    // Replies and notifications since the last call, in order.
    std::vector<TReply> TakeReplies();
    // The server agreed to the option (DO), or refused it (DONT).
    bool ComPortAccepted() const { return comPort_ == 1; }
    bool ComPortRefused() const { return comPort_ == -1; }

  private:
    void Verb(quint8 verb, quint8 option);
    void EndSubnegotiation();

    enum TState : quint8 { sData, sIac, sVerb, sSb, sSbIac };
    TState state_ = sData;
    quint8 verb_ = 0;
    QByteArray sb_;
    QByteArray answers_;
    std::vector<TReply> replies_;
    // Whether we (WILL) and the server (DO from us) have each option on, as asked for.
    std::array<bool, 256> us_{};
    std::array<bool, 256> him_{};
    int comPort_ = 0;
};

}  // namespace Rfc2217
