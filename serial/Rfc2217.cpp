#include "serial/Rfc2217.h"

namespace Rfc2217 {

namespace {
// The longest subnegotiation kept: a COM port option's value is a few bytes.
constexpr qsizetype kMaxSubnegotiation = 256;
}  // namespace

QByteArray Escape(QByteArrayView data) {
    QByteArray out;
    out.reserve(data.size() + data.count(char(IAC)));
    for (const char c : data) {
        out.append(c);
        if (quint8(c) == IAC) out.append(c);
    }
    return out;
}

QByteArray Negotiation(quint8 verb, quint8 option) {
    const char bytes[] = {char(IAC), char(verb), char(option)};
    return QByteArray(bytes, 3);
}

QByteArray Command(quint8 command, QByteArrayView value) {
    const char head[] = {char(IAC), char(SB), char(OptComPort), char(command)};
    const char tail[] = {char(IAC), char(SE)};
    return QByteArray(head, 4) + Escape(value) + QByteArray(tail, 2);
}

QByteArray Command(quint8 command, quint8 value) {
    const char v = char(value);
    return Command(command, QByteArrayView(&v, 1));
}

quint8 DataValue(TDataBits bits) { return quint8(bits + 4); }

quint8 ParityValue(TParityBit parity) { return quint8(parity) + 1; }

quint8 StopValue(TStopBits stop) {
    switch (stop) {
        case sb_15:
            return 3;
        case sb_2:
            return 2;
        case sb_1:
            break;
    }
    return 1;
}

quint8 FlowValue(bool rtsCts, bool xonXoff) {
    return rtsCts ? kFlowHardware : xonXoff ? kFlowXonXoff : kFlowNone;
}

QByteArray Greeting() {
    return Negotiation(WILL, OptComPort) + Negotiation(WILL, OptBinary) +
           Negotiation(DO, OptBinary) + Negotiation(WILL, OptSga) + Negotiation(DO, OptSga);
}

QByteArray Settings(const TLineSettings& line) {
    const quint32 rate = line.Rate;
    const char bytes[] = {char(rate >> 24), char(rate >> 16), char(rate >> 8), char(rate)};
    QByteArray out = Command(SetBaudrate, QByteArrayView(bytes, 4));
    out += Command(SetDatasize, DataValue(line.DataBits));
    out += Command(SetParity, ParityValue(line.Parity));
    out += Command(SetStopsize, StopValue(line.Stop));
    out += Command(SetControl, FlowValue(line.RtsCts, line.XonXoff));
    out += Command(SetControl, line.Dtr ? kDtrOn : kDtrOff);
    if (!line.RtsCts) out += Command(SetControl, line.Rts ? kRtsOn : kRtsOff);
    out += Command(SetLinestateMask, quint8(0));
    out += Command(SetModemstateMask, quint8(kModemCts | kModemDsr | kModemRing | kModemDcd));
    return out;
}

TTelnetParser::TTelnetParser() {
    // What Greeting() asked for.
    us_[OptComPort] = us_[OptBinary] = us_[OptSga] = true;
    him_[OptBinary] = him_[OptSga] = true;
}

void TTelnetParser::Feed(QByteArrayView bytes, QByteArray& data) {
    for (const char ch : bytes) {
        const quint8 c = quint8(ch);
        switch (state_) {
            case sData:
                if (c == IAC)
                    state_ = sIac;
                else
                    data.append(ch);
                break;
            case sIac:
                if (c == IAC) {
                    data.append(ch);
                    state_ = sData;
                } else if (c >= WILL) {
                    verb_ = c;
                    state_ = sVerb;
                } else if (c == SB) {
                    sb_.clear();
                    state_ = sSb;
                } else {
                    state_ = sData;  // NOP, go-ahead and the like carry nothing for us
                }
                break;
            case sVerb:
                Verb(verb_, c);
                state_ = sData;
                break;
            case sSb:
                // A subnegotiation without its end (a peer that is no telnet server) keeps
                // no more than any real one needs.
                if (c == IAC)
                    state_ = sSbIac;
                else if (sb_.size() < kMaxSubnegotiation)
                    sb_.append(ch);
                break;
            case sSbIac:
                if (c == IAC) {
                    if (sb_.size() < kMaxSubnegotiation) sb_.append(ch);
                    state_ = sSb;
                } else {
                    EndSubnegotiation();
                    state_ = sData;
                    // Anything but SE here is a server's slip: the subnegotiation ends, and
                    // the byte is read as the command it is.
                    if (c != SE) {
                        state_ = sIac;
                        const char again = ch;
                        Feed(QByteArrayView(&again, 1), data);
                    }
                }
                break;
        }
    }
}

void TTelnetParser::Verb(quint8 verb, quint8 option) {
    const bool wanted = option == OptComPort || option == OptBinary || option == OptSga;
    switch (verb) {
        case DO:
            if (option == OptComPort) comPort_ = 1;
            if (wanted && !us_[option]) {
                us_[option] = true;
                answers_ += Negotiation(WILL, option);
            } else if (!wanted) {
                answers_ += Negotiation(WONT, option);
            }
            break;
        case DONT:
            if (option == OptComPort) comPort_ = -1;
            if (us_[option]) {
                us_[option] = false;
                answers_ += Negotiation(WONT, option);
            }
            break;
        case WILL:
            // A server that echoes tells a terminal not to: fine with us.
            if ((wanted || option == OptEcho) && option != OptComPort) {
                if (!him_[option]) {
                    him_[option] = true;
                    answers_ += Negotiation(DO, option);
                }
            } else {
                answers_ += Negotiation(DONT, option);
            }
            break;
        case WONT:
            if (him_[option]) {
                him_[option] = false;
                answers_ += Negotiation(DONT, option);
            }
            break;
        default:
            break;
    }
}

void TTelnetParser::EndSubnegotiation() {
    if (sb_.size() < 2 || quint8(sb_[0]) != OptComPort) return;
    const quint8 code = quint8(sb_[1]);
    TReply reply;
    reply.Command = code > kReplyOffset ? quint8(code - kReplyOffset) : code;
    reply.Value = sb_.mid(2);
    replies_.push_back(reply);
}

QByteArray TTelnetParser::TakeAnswers() {
    QByteArray out;
    out.swap(answers_);
    return out;
}

std::vector<TReply> TTelnetParser::TakeReplies() {
    std::vector<TReply> out;
    out.swap(replies_);
    return out;
}

}  // namespace Rfc2217
