// The telnet COM port option without a connection: bytes in, data, answers and replies out.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <atomic>
#include <thread>

#include "serial/Port.h"
#include "serial/Rfc2217.h"
#include "serial/Serial.h"
#include "tests/serial/PtyPortMap.h"

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
    const QByteArray stream = wire.left(100) +
                              Command(quint8(NotifyModemstate + kReplyOffset), 0xFF) +
                              wire.mid(100) + Negotiation(DO, OptEcho);
    const Parsed whole = FeedSplit(stream, {});
    EXPECT_EQ(whole.data, all);
    ASSERT_EQ(whole.replies.size(), 1u);
    EXPECT_EQ(whole.replies[0].Command, NotifyModemstate);
    EXPECT_EQ(whole.replies[0].Value, Bytes({255}));
    EXPECT_EQ(whole.answers, Negotiation(WONT, OptEcho));

    // Every cut, an IAC pair or a subnegotiation cut in two among them.
    for (qsizetype cut = 1; cut < stream.size(); ++cut) {
        const Parsed p = FeedSplit(stream, {cut});
        ASSERT_EQ(p.data, all) << "cut at " << cut;
        ASSERT_EQ(p.replies.size(), 1u) << "cut at " << cut;
        ASSERT_EQ(p.answers, whole.answers) << "cut at " << cut;
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

namespace {

// A device server's side of RFC 2217 on 127.0.0.1, scripted by the test: ser2net in front
// of a pseudo-terminal has no modem lines to report, so the modem-state notifications and
// what a purge sends are checked against this peer.
class ScriptedDeviceServer {
  public:
    ScriptedDeviceServer() {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listen_, 1);
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~ScriptedDeviceServer() {
        if (thread_.joinable()) thread_.join();
        if (peer_ >= 0) close(peer_);
        close(listen_);
    }
    quint16 Port() const { return port_; }
    // Accepts, agrees to the option and confirms each setting with `rate` for the bit rate.
    void Serve(quint32 rate) {
        thread_ = std::thread([this, rate] {
            peer_ = accept(listen_, nullptr, nullptr);
            Send(Negotiation(DO, OptComPort) + Negotiation(WILL, OptBinary));
            while (got_.count(char(SE)) < 5) {
                char buf[512];
                const ssize_t n = recv(peer_, buf, sizeof buf, 0);
                if (n <= 0) return;
                got_.append(buf, n);
            }
            const char r[] = {char(rate >> 24), char(rate >> 16), char(rate >> 8), char(rate)};
            Send(Command(quint8(SetBaudrate + kReplyOffset), QByteArrayView(r, 4)) +
                 Command(quint8(SetDatasize + kReplyOffset), quint8(8)) +
                 Command(quint8(SetParity + kReplyOffset), quint8(1)) +
                 Command(quint8(SetStopsize + kReplyOffset), quint8(1)) +
                 Command(quint8(SetControl + kReplyOffset), quint8(1)));
        });
    }
    void Send(const QByteArray& bytes) {
        [[maybe_unused]] ssize_t n = send(peer_, bytes.constData(), size_t(bytes.size()), 0);
    }
    // What the client sent, waiting until it holds `until`.
    bool Received(const QByteArray& until) {
        if (thread_.joinable()) thread_.join();
        for (int i = 0; i < 200 && !got_.contains(until); ++i) {
            pollfd p{peer_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buf[512];
            const ssize_t n = recv(peer_, buf, sizeof buf, 0);
            if (n > 0) got_.append(buf, n);
        }
        return got_.contains(until);
    }

  private:
    int listen_ = -1, peer_ = -1;
    quint16 port_ = 0;
    std::thread thread_;
    QByteArray got_;
};

// COM2 -> a device server on 127.0.0.1 that speaks RFC 2217.
bool MapCom2To(quint16 port) {
    QFile entry(QString::fromUtf8(Port::MapFolder()) + "/COM2");
    entry.remove();
    if (!entry.open(QIODevice::WriteOnly)) return false;
    return entry.write("rfc2217://127.0.0.1:" + QByteArray::number(port) + "\n") > 0;
}

}  // namespace

// The modem lines of the device server raise EV_CTS and EV_DSR; "Abbruch Senden" and
// "Abbruch Empfang" purge its buffers; a bit rate it does not take fails the open.
TEST(Rfc2217, ModemStatePurgeAndARefusedRate) {
    PtyPortMap map;
    ScriptedDeviceServer server;
    ASSERT_TRUE(MapCom2To(server.Port()));
    EnsurePortsProbed(8);
    TSerial serial;
    serial.SetCOMPort(2);
    serial.SetBaudrate(br_019200);
    std::atomic<int> cts{0}, dsr{0};
    serial.OnCts = [&](TSerial*) { ++cts; };
    serial.OnDsr = [&](TSerial*) { ++dsr; };
    server.Serve(19200);
    ASSERT_TRUE(serial.Open()) << serial.LastOpenError().constData();
    ASSERT_TRUE(server.Received(Command(SetModemstateMask, quint8(0xF0))));

    server.Send(Command(quint8(NotifyModemstate + kReplyOffset), kModemCts));
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return cts == 1; }));
    EXPECT_EQ(dsr, 0);
    server.Send(Command(quint8(NotifyModemstate + kReplyOffset), quint8(kModemCts | kModemDsr)));
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return dsr == 1; }));
    EXPECT_EQ(cts, 1);

    EXPECT_TRUE(serial.PurgeBuffers(true, false, true, false));
    EXPECT_TRUE(server.Received(Command(PurgeData, kPurgeToSend)));
    EXPECT_TRUE(serial.PurgeBuffers(false, true, false, true));
    EXPECT_TRUE(server.Received(Command(PurgeData, kPurgeReceived)));
    serial.Close();

    // The server runs another rate than asked: the open fails and says which.
    ScriptedDeviceServer other;
    ASSERT_TRUE(MapCom2To(other.Port()));
    other.Serve(9600);
    EXPECT_FALSE(serial.Open());
    EXPECT_EQ(serial.LastOpenFailure().Code, peNotSupported);
    EXPECT_EQ(serial.LastOpenFailure().Setting, psRate);
}

// A server that takes the connection and never says a word is no COM port server: the open
// gives up at its limit instead of waiting on.
TEST(Rfc2217, ASilentServerFailsTheOpen) {
    PtyPortMap map;
    ScriptedDeviceServer silent;  // listens, never answers
    ASSERT_TRUE(MapCom2To(silent.Port()));
    EnsurePortsProbed(8);
    TSerial serial;
    serial.SetCOMPort(2);
    EXPECT_FALSE(serial.Open());
    EXPECT_EQ(serial.LastOpenFailure().Code, peNotSupported);
    EXPECT_EQ(serial.LastOpenFailure().Setting, psComPortOption);
}
