// The telnet COM port option without a connection: bytes in, data, answers and replies out.
#include <gtest/gtest.h>

#include <random>

#include "serial/Rfc2217.h"

using namespace Rfc2217;

namespace {

QByteArray Bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values) out.append(char(v));
    return out;
}

struct Parsed {
    QByteArray data, answers;
    std::vector<TReply> replies;
};

// Feeds the stream in pieces cut at the given positions.
Parsed FeedSplit(const QByteArray& stream, const std::vector<qsizetype>& cuts) {
    TTelnetParser parser;
    Parsed out;
    qsizetype from = 0;
    auto take = [&](qsizetype to) {
        parser.Feed(QByteArrayView(stream).sliced(from, to - from), out.data);
        out.answers += parser.TakeAnswers();
        for (TReply& r : parser.TakeReplies()) out.replies.push_back(r);
        from = to;
    };
    for (qsizetype cut : cuts) take(cut);
    take(stream.size());
    return out;
}

}  // namespace

// Every byte value, IAC among them, passes both ways: escaped by the client, unescaped from a
// stream that a server escaped the same way, however the reads cut it.
TEST(Rfc2217, EveryByteValuePassesEscapedAndAnyCutGivesTheSame) {
    QByteArray all;
    for (int v = 0; v < 256; ++v) all.append(char(v));
    all += Bytes({255, 255, 0, 255});
    const QByteArray wire = Escape(all);
    EXPECT_EQ(wire.size(), all.size() + all.count(char(255)));
    // A notification in the middle of the data, its value an IAC itself.
    const QByteArray stream = wire.left(100) + Command(quint8(NotifyModemstate + kReplyOffset), 0xFF) +
                              wire.mid(100) + Negotiation(DO, OptEcho);
    const Parsed whole = FeedSplit(stream, {});
    EXPECT_EQ(whole.data, all);
    ASSERT_EQ(whole.replies.size(), 1u);
    EXPECT_EQ(whole.replies[0].Command, NotifyModemstate);
    EXPECT_EQ(whole.replies[0].Value, Bytes({255}));
    EXPECT_EQ(whole.answers, Negotiation(WONT, OptEcho));

    // Every single cut, and seeded random sets of cuts.
    for (qsizetype cut = 1; cut < stream.size(); ++cut) {
        const Parsed p = FeedSplit(stream, {cut});
        ASSERT_EQ(p.data, all) << "cut at " << cut;
        ASSERT_EQ(p.replies.size(), 1u) << "cut at " << cut;
        ASSERT_EQ(p.answers, whole.answers) << "cut at " << cut;
    }
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    for (int round = 0; round < 200; ++round) {
        std::vector<qsizetype> cuts;
        for (qsizetype at = 0; (at += std::uniform_int_distribution<int>(1, 5)(random)) <
                               stream.size();)
            cuts.push_back(at);
        ASSERT_EQ(FeedSplit(stream, cuts).data, all) << "seed " << seed;
    }
}

// What a device server (ser2net) says at the start, and what the client owes it.
TEST(Rfc2217, NegotiationAnswersOnlyWhatChanges) {
    const QByteArray server = Negotiation(WILL, OptSga) + Negotiation(DO, OptSga) +
                              Negotiation(WILL, OptEcho) + Negotiation(DONT, OptEcho) +
                              Negotiation(DO, OptBinary) + Negotiation(WILL, OptBinary) +
                              Negotiation(DO, OptComPort) + Negotiation(DO, 24) +
                              Negotiation(WILL, 31) + Bytes({IAC, 241});  // NOP
    TTelnetParser parser;
    EXPECT_FALSE(parser.ComPortAccepted());
    QByteArray data;
    parser.Feed(server, data);
    EXPECT_TRUE(data.isEmpty());
    EXPECT_TRUE(parser.ComPortAccepted());
    EXPECT_EQ(parser.TakeAnswers(),
              Negotiation(DO, OptEcho) + Negotiation(WONT, 24) + Negotiation(DONT, 31));
    parser.Feed(Negotiation(DONT, OptComPort), data);
    EXPECT_TRUE(parser.ComPortRefused());
    EXPECT_EQ(parser.TakeAnswers(), Negotiation(WONT, OptComPort));
}

TEST(Rfc2217, SettingsOfAnOpen) {
    TLineRequest r;
    r.Rate = 0x0000FF00;  // an IAC inside the rate is doubled
    r.DataBits = 7;
    r.Parity = even;
    r.Stop = sb_2;
    r.RtsCts = true;
    r.Dtr = true;
    const QByteArray head = Bytes({IAC, SB, OptComPort});
    const QByteArray end = Bytes({IAC, SE});
    EXPECT_EQ(Settings(r), head + Bytes({1, 0, 0, 255, 255, 0}) + end +      // rate
                               head + Bytes({2, 7}) + end +                   // data bits
                               head + Bytes({3, 3}) + end +                   // even
                               head + Bytes({4, 2}) + end +                   // 2 stop bits
                               head + Bytes({5, 3}) + end +                   // RTS/CTS
                               head + Bytes({5, 8}) + end +                   // DTR on
                               head + Bytes({10, 0}) + end +                  // no line state
                               head + Bytes({11, 0xF0}) + end);               // modem lines
    EXPECT_EQ(StopValue(sb_15), 3);
    EXPECT_EQ(ParityValue(space), 5);
    EXPECT_EQ(FlowValue(false, true), kFlowXonXoff);
    EXPECT_EQ(FlowValue(false, false), kFlowNone);
}
