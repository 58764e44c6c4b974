// Agreeing the line with a device server, without a connection: the server's bytes fed as
// they might arrive, the clock passed in.
#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "serial/Rfc2217Negotiation.h"

using namespace Rfc2217;

namespace {

QByteArray Reply(quint8 command, QByteArrayView value) {
    return Command(quint8(command + kReplyOffset), value);
}
QByteArray Reply(quint8 command, quint8 value) {
    return Command(quint8(command + kReplyOffset), value);
}
QByteArray RateReply(quint32 rate) {
    const char v[] = {char(rate >> 24), char(rate >> 16), char(rate >> 8), char(rate)};
    return Reply(SetBaudrate, QByteArrayView(v, 4));
}

// What the tests ask for: 4800 bit/s, 7 data bits, even parity, 2 stop bits, RTS/CTS.
TLineSettings Line() {
    TLineSettings line;
    line.Rate = 4800;
    line.DataBits = db_7;
    line.Parity = even;
    line.Stop = sb_2;
    line.RtsCts = true;
    return line;
}

// A server that runs what it was asked, each reply as it comes.
struct Confirmations {
    QByteArray rate = RateReply(4800);
    QByteArray data = Reply(SetDatasize, 7);
    QByteArray parity = Reply(SetParity, 3);
    QByteArray stop = Reply(SetStopsize, 2);
    QByteArray flow = Reply(SetControl, kFlowHardware);
    QByteArray Bytes() const { return rate + data + parity + stop + flow; }
};

const QByteArray kTakesTheOption = Negotiation(DO, OptComPort) + Negotiation(WILL, OptBinary);

struct Outcome {
    TNegotiation::TState state = TNegotiation::Running;
    TPortFailure failure;
    QByteArray sent;  // everything the client sent
    QByteArray data;  // the line's data that came meanwhile
    quint8 modem = 0;
};

// The server takes the option, and once it has the settings it answers with replies; both
// are fed cut at the given positions as well. The clock stands still.
Outcome Negotiate(const QByteArray& replies, std::vector<qsizetype> cuts = {},
                  const QByteArray& acceptance = kTakesTheOption,
                  const TLineSettings& line = Line()) {
    TNegotiation n(line, 0, 500);
    Outcome out;
    const QByteArray stream = acceptance + replies;
    cuts.push_back(acceptance.size());
    std::sort(cuts.begin(), cuts.end());
    qsizetype from = 0;
    auto feed = [&](qsizetype to) {
        out.sent += n.TakeOutput();
        n.Feed(QByteArrayView(stream).sliced(from, to - from), out.data);
        from = to;
    };
    for (const qsizetype cut : cuts) feed(cut);
    feed(stream.size());
    out.sent += n.TakeOutput();
    n.Tick(0);
    out.state = n.State();
    out.failure = n.Failure();
    out.modem = n.Modem();
    return out;
}

}  // namespace

// The settings go only once the server took the option; each confirmation with the value
// asked for completes it, whatever the reads cut: a subnegotiation or an IAC pair in two, a
// modem notification and line data among the replies.
TEST(Rfc2217Negotiation, ConfirmedSettingsAgreeHoweverTheStreamIsCut) {
    TNegotiation waiting(Line(), 0, 500);
    EXPECT_EQ(waiting.TakeOutput(), Greeting());
    QByteArray none;
    waiting.Feed(Negotiation(WILL, OptSga), none);
    EXPECT_FALSE(waiting.TakeOutput().contains(Settings(Line())));
    EXPECT_EQ(waiting.State(), TNegotiation::Running);

    const Confirmations server;
    const QByteArray replies = server.rate + server.data +
                               Reply(NotifyModemstate, quint8(kModemCts | kModemDsr)) +
                               server.parity + "G1\xff\xffX" + server.stop + server.flow;
    const Outcome whole = Negotiate(replies);
    EXPECT_EQ(whole.state, TNegotiation::Agreed);
    EXPECT_EQ(whole.sent, Greeting() + Settings(Line()));
    EXPECT_EQ(whole.data, "G1\xffX");
    EXPECT_EQ(whole.modem, kModemCts | kModemDsr);
    const qsizetype size = kTakesTheOption.size() + replies.size();
    for (qsizetype cut = 1; cut < size; ++cut) {
        for (const qsizetype second : {cut + 1, cut + 7}) {
            if (second >= size) continue;
            const Outcome split = Negotiate(replies, {cut, second});
            ASSERT_EQ(split.state, TNegotiation::Agreed) << cut << " " << second;
            ASSERT_EQ(split.sent, whole.sent) << cut << " " << second;
            ASSERT_EQ(split.data, whole.data) << cut << " " << second;
            ASSERT_EQ(split.modem, whole.modem) << cut << " " << second;
        }
    }

    // Settings the server has no value for fail before anything is sent.
    TLineSettings four = Line();
    four.DataBits = db_4;
    TNegotiation never(four, 0, 500);
    EXPECT_TRUE(never.TakeOutput().isEmpty());
    EXPECT_EQ(never.State(), TNegotiation::Failed);
    EXPECT_EQ(never.Failure().Setting, psDataBits);
}

// A server that runs something else than asked refuses the open and says which setting; a
// server without the option is no COM port server.
TEST(Rfc2217Negotiation, RefusalsNameTheSetting) {
    struct Row {
        const char* name;
        std::function<void(Confirmations&)> change;
        TPortSetting setting;
    };
    const Row rows[] = {
        {"another rate", [](Confirmations& c) { c.rate = RateReply(9600); }, psRate},
        {"a rate cut short", [](Confirmations& c) { c.rate.remove(4, 2); }, psRate},
        {"other data bits", [](Confirmations& c) { c.data = Reply(SetDatasize, 8); }, psDataBits},
        {"other parity", [](Confirmations& c) { c.parity = Reply(SetParity, 1); }, psLine},
        {"other stop bits", [](Confirmations& c) { c.stop = Reply(SetStopsize, 1); }, psStopBits},
        {"no flow control", [](Confirmations& c) { c.flow = Reply(SetControl, kFlowNone); },
         psLine},
        {"a value of two bytes", [](Confirmations& c) { c.data = Reply(SetDatasize, "\x07\x07"); },
         psLine},
    };
    for (const Row& row : rows) {
        Confirmations server;
        row.change(server);
        const Outcome out = Negotiate(server.Bytes());
        EXPECT_EQ(out.state, TNegotiation::Failed) << row.name;
        EXPECT_EQ(out.failure.Code, peNotSupported) << row.name;
        EXPECT_EQ(out.failure.Setting, row.setting) << row.name;
        EXPECT_EQ(out.failure.Rate, 4800u) << row.name;
    }

    // Replies out of order are not confirmations: the open waits for the right ones.
    const Confirmations server;
    EXPECT_EQ(Negotiate(server.data + server.rate).state, TNegotiation::Running);

    // Refused at once, or after it was taken; the client answers as telnet wants.
    for (const QByteArray& acceptance : {QByteArray(), kTakesTheOption}) {
        const Outcome out = Negotiate(Negotiation(DONT, OptComPort), {}, acceptance);
        EXPECT_EQ(out.state, TNegotiation::Failed);
        EXPECT_EQ(out.failure.Setting, psComPortOption);
        EXPECT_TRUE(out.sent.endsWith(Negotiation(WONT, OptComPort)));
    }
}

// Answers that do not come end the open at the limit: a server silent about the option is
// none; one that took it and confirms too little did not answer in time.
TEST(Rfc2217Negotiation, MissingAnswersEndAtTheLimit) {
    struct Row {
        const char* name;
        QByteArray acceptance, replies;
        TPortError code;
        TPortSetting setting;
    };
    const Confirmations server;
    const Row rows[] = {
        {"silent", {}, {}, peNotSupported, psComPortOption},
        {"a plain telnet server", Negotiation(WILL, OptEcho), {}, peNotSupported, psComPortOption},
        {"option taken, nothing confirmed", kTakesTheOption, {}, peTimeOut, psNone},
        {"four of five confirmed", kTakesTheOption,
         server.rate + server.data + server.parity + server.stop, peTimeOut, psNone},
    };
    for (const Row& row : rows) {
        TNegotiation n(Line(), 1000, 500);
        QByteArray data;
        n.Feed(row.acceptance, data);
        n.Feed(row.replies, data);
        n.TakeOutput();
        n.Tick(1499);
        EXPECT_EQ(n.State(), TNegotiation::Running) << row.name;
        EXPECT_EQ(n.MsLeft(1499), 1) << row.name;
        n.Tick(1500);
        EXPECT_EQ(n.State(), TNegotiation::Failed) << row.name;
        EXPECT_EQ(n.MsLeft(1600), 0) << row.name;
        EXPECT_EQ(n.Failure().Code, row.code) << row.name;
        EXPECT_EQ(n.Failure().Setting, row.setting) << row.name;
        EXPECT_EQ(n.Failure().Errno, row.code == peTimeOut ? ETIMEDOUT : 0) << row.name;
        // Bytes after the end change nothing.
        n.Feed(server.flow, data);
        EXPECT_EQ(n.State(), TNegotiation::Failed) << row.name;
        EXPECT_TRUE(n.TakeOutput().isEmpty()) << row.name;
    }
}
