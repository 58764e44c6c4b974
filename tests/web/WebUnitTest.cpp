// The web side's parts without processes: the request parser, file names, log entries, the
// HTTP server's limits on a real socket, and the instance's socket in a long folder path.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QLocalSocket>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "common/ProgramFiles.h"
#include "status/LogEntries.h"
#include "status/StatusClient.h"
#include "status/StatusPublisher.h"
#include "status/StatusSocket.h"
#include "tests/web/HttpFeed.h"
#include "tests/web/WebRig.h"
#include "web/HttpParser.h"
#include "web/HttpServer.h"
#include "web/Logins.h"

using namespace webrig;

namespace {

struct TParsed {
    int error = 0;
    QList<QByteArray> targets;
    QList<QByteArray> bodies;
};

// Feeds the stream in pieces cut at the given positions, answering requests one by one.
TParsed Parse(const QByteArray& stream, const QList<qsizetype>& cuts) {
    THttpParser parser;
    TParsed out;
    FeedInReads(parser, stream, cuts, [&](THttpParser::Event e) {
        if (e == THttpParser::Event::Error) out.error = parser.ErrorStatus();
        if (e == THttpParser::Event::Complete) {
            out.targets.append(parser.Request().target);
            out.bodies.append(parser.Request().body);
        }
    });
    return out;
}

}  // namespace

TEST(HttpParser, EverySplitOfAStreamGivesTheSameRequests) {
    const QByteArray stream =
        "GET /api/machines?limit=5 HTTP/1.1\r\nHost: a\r\n\r\n"
        "PUT /api/machines/m/programs/1.CNC HTTP/1.1\r\nHost: a\r\nContent-Length: 7\r\n\r\n"
        "G0\r\nM30"
        "\r\nGET / HTTP/1.0\r\n\r\n";
    const TParsed whole = Parse(stream, {});
    ASSERT_EQ(whole.targets.size(), 3);
    EXPECT_EQ(whole.bodies[1], "G0\r\nM30");
    for (qsizetype i = 1; i < stream.size(); ++i) {
        for (qsizetype j = i; j < stream.size(); j += 7) {
            const TParsed split = Parse(stream, {i, j});
            ASSERT_EQ(split.targets, whole.targets) << i << " " << j;
            ASSERT_EQ(split.bodies, whole.bodies) << i << " " << j;
        }
    }
}

TEST(HttpParser, AHeadAtItsLimitIsTakenWhereverTheReadsCutItsEnd) {
    // Exactly the longest head there may be: whole, and one byte over: 431, however cut.
    const QByteArray start = "GET / HTTP/1.1\r\nHost: a\r\nX: ";
    const QByteArray fits = start + QByteArray(16 * 1024 - start.size(), 'x') + "\r\n\r\n";
    const QByteArray over = start + QByteArray(16 * 1024 + 1 - start.size(), 'x') + "\r\n\r\n";
    for (qsizetype cut = fits.size() - 6; cut < fits.size(); ++cut) {
        EXPECT_EQ(Parse(fits, {cut}).targets.size(), 1) << cut;
        EXPECT_EQ(Parse(over, {cut + 1}).error, 431) << cut;
    }
}

TEST(HttpParser, RefusesWhatIsNoPlainRequest) {
    const struct {
        const char* name;
        QByteArray request;
        int status;
    } rows[] = {
        {"no version", "GET /\r\n\r\n", 400},
        {"HTTP/2", "GET / HTTP/2.0\r\nHost: a\r\n\r\n", 505},
        {"target not a path", "GET http://x/ HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"no Host in 1.1", "GET / HTTP/1.1\r\n\r\n", 400},
        {"folded header", "GET / HTTP/1.1\r\nHost: a\r\nX: 1\r\n 2\r\n\r\n", 400},
        {"blank before colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", 400},
        {"length not a number", "PUT / HTTP/1.1\r\nHost: a\r\nContent-Length: 1x\r\n\r\n", 400},
        {"two lengths",
         "PUT / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
        {"chunked body", "PUT / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", 411},
        {"control in value", "GET / HTTP/1.1\r\nHost: a\x01\r\n\r\n", 400},
        {"head too long", "GET / HTTP/1.1\r\nHost: a\r\nX: " + QByteArray(20000, 'x') + "\r\n\r\n",
         431},
        {"head without end", "GET / HTTP/1.1\r\nX: " + QByteArray(20000, 'x'), 431},
        {"two Host", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
        {"Host with a user part", "GET / HTTP/1.1\r\nHost: u@a\r\n\r\n", 400},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Parse(row.request, {}).error, row.status) << row.name;
    }
}

TEST(ProgramNames, OnlyPlainNamesThatShowAsTheyAre) {
    for (const QByteArray& ok : {QByteArray("1001.CNC"), QByteArray("Welle 3 (neu).nc"),
                                 QByteArray("Fr\xC3\xA4s-\xC3\xBC.CNC"), QByteArray(200, 'a')}) {
        EXPECT_TRUE(ProgramFiles::NameProblem(ok).isEmpty()) << ok.constData();
    }
    for (const QByteArray& bad :
         {QByteArray(), QByteArray("a/b"), QByteArray("a\\b"), QByteArray(".."), QByteArray("a..b"),
          QByteArray("x\0y", 3), QByteArray("a\nb"), QByteArray("a\x7f"), QByteArray(".hidden"),
          QByteArray(201, 'a'), QByteArray("\xFF\xFE"),
          // U+202E and U+2066 turn the text around, U+0085 is a control character of its own.
          QByteArray("\xE2\x80\xAE"
                     "fdp.CNC"),
          QByteArray("a\xE2\x81\xA6"
                     "b.CNC"),
          QByteArray("a\xC2\x85"
                     "b.CNC"),
          // A name encoded twice would be stored as "%2e%2e%2fsecret.CNC".
          QByteArray("%2e%2e%2fsecret.CNC")}) {
        EXPECT_FALSE(ProgramFiles::NameProblem(bad).isEmpty()) << bad.toHex().constData();
    }
}

TEST(LogEntries, TextAndTimeOfAnEntry) {
    const QJsonObject de = LogEntries::Parse(
        QString::fromUtf8("/srv/dnc/f1/2507.CNC gesendete PRG Nr = 3 Mi 9. Dez. 2026, 07:05:09: "));
    EXPECT_EQ(de.value("entry"), "/srv/dnc/f1/2507.CNC gesendete PRG Nr = 3");
    EXPECT_EQ(de.value("time"), "2026-12-09T07:05:09");
    const QJsonObject en = LogEntries::Parse("Beginn  Wed 9. Dec. 2026, 17:00:00: ");
    EXPECT_EQ(en.value("entry"), "Beginn ");
    EXPECT_EQ(en.value("time"), "2026-12-09T17:00:00");
    const QJsonObject none = LogEntries::Parse("ohne Zeit");
    EXPECT_EQ(none.value("entry"), "ohne Zeit");
    EXPECT_TRUE(none.value("time").isNull());

    // What each kind of entry says as "Zuletzt", once the server's folders are out of it.
    const struct {
        const char* entry;
        const char* program;
        const char* direction;
        const char* result;
    } transfers[] = {
        {"/srv/dnc/f1/2507.CNC gesendete PRG Nr = 3", "2507.CNC", "gesendet", "vollständig"},
        {"/srv/dnc/f1/7000.CNC nicht vollständig gesendet: abgebrochen nach Zeile 10 von 90 "
         "(Web: meister)",
         "7000.CNC", "gesendet", "abgebrochen nach Zeile 10 von 90 (Web: meister)"},
        {"/srv/dnc/f1/save/P4711.CNC PRG Nr = 4 ", "P4711.CNC", "empfangen", "gespeichert"},
        {"/srv/dnc/f1/save/P4711.CNC PRG Nr = 5 (nach Abbruch nachgetragen)", "P4711.CNC",
         "empfangen", "gespeichert"},
        {"/srv/dnc/f1/unvollstaendig/Empfang-1.CNC unvollständig empfangen (Gerät verloren) ",
         "Empfang-1.CNC", "empfangen", "unvollständig (Gerät verloren)"},
        {"/srv/dnc/f1/save/P1.CNC nicht gespeichert (Platte voll), steht in xxx.tmp", "P1.CNC",
         "empfangen", "nicht gespeichert (Platte voll)"},
    };
    for (const auto& t : transfers) {
        const QString entry = QString::fromUtf8(t.entry);
        const QJsonObject got = LogEntries::Transfer(
            LogEntries::Relative(entry, {"/srv/dnc/f1", "/srv/dnc/f1/save/", "/srv/dnc"}));
        EXPECT_EQ(got.value("program").toString(), QString::fromUtf8(t.program)) << t.entry;
        EXPECT_EQ(got.value("direction").toString(), QString::fromUtf8(t.direction)) << t.entry;
        EXPECT_EQ(got.value("result").toString(), QString::fromUtf8(t.result)) << t.entry;
    }
    EXPECT_TRUE(LogEntries::Transfer("Beginn ").isEmpty());
    EXPECT_TRUE(LogEntries::Transfer("Schnittstelle COM1 verloren (/dev/ttyUSB0) ").isEmpty());
    // The save folder's programs by their names, the machine's other files relative to it,
    // another machine's relative to the root.
    EXPECT_EQ(LogEntries::Relative("/r/f1/save/P1.CNC und /r/f1/unvollstaendig/E.CNC und /r/f2/x",
                                   {"/r/f1", "/r/f1/save", "/r"}),
              "P1.CNC und unvollstaendig/E.CNC und f2/x");

    QTemporaryDir dir;
    WriteFile(dir.filePath("DNC.log"), "a 1\r\nb 2\r\nc 3\r\nhalb");
    EXPECT_EQ(LogEntries::TailEntries(dir.filePath("DNC.log"), 2), QStringList({"b 2", "c 3"}));
    EXPECT_EQ(LogEntries::TailEntries(dir.filePath("DNC.log"), 10).size(), 3);
}

TEST(HttpServer, SlowClientsTimeOutAndStreamsAreBounded) {
    THttpServer::Options options;
    options.headTimeoutMs = 300;
    options.bodyIdleMs = 300;
    options.maxStreams = 2;
    THttpServer server(options);
    server.OnRequest = [](const THttpRequest& r, const THttpAnswer&) {
        THttpReply reply;
        reply.eventStream = r.path == "/events";
        reply.body = "ok";
        return reply;
    };
    QString error;
    ASSERT_TRUE(server.Listen(QHostAddress::LocalHost, 0, &error)) << error.toStdString();
    auto open = [&](QTcpSocket& s, const QByteArray& bytes) {
        s.connectToHost("127.0.0.1", server.Port());
        s.waitForConnected(5000);
        s.write(bytes);
        s.flush();
    };
    // Half a head, then nothing: 408 and the connection ends.
    QTcpSocket slow;
    open(slow, "GET / HTTP/1.1\r\nHost: a\r\n");
    QByteArray got;
    ASSERT_TRUE(WaitFor(
        [&] {
            got += slow.readAll();
            return slow.state() == QAbstractSocket::UnconnectedState;
        },
        10000));
    EXPECT_TRUE(got.startsWith("HTTP/1.1 408 ")) << got.constData();
    // A connection that never asks anything is closed without a word.
    QTcpSocket silent;
    open(silent, {});
    EXPECT_EQ(UntilClosed(silent), QByteArray());
    // A body that stops coming: the same.
    QTcpSocket stalled;
    open(stalled, "PUT / HTTP/1.1\r\nHost: a\r\nContent-Length: 10\r\n\r\nG0");
    EXPECT_TRUE(UntilClosed(stalled).startsWith("HTTP/1.1 408 "));
    // Two streams are open, the third is refused; events reach the open ones.
    QTcpSocket a, b, c;
    for (QTcpSocket* s : {&a, &b, &c}) open(*s, "GET /events HTTP/1.1\r\nHost: a\r\n\r\n");
    ASSERT_TRUE(WaitFor([&] { return server.Streams() == 2 && c.bytesAvailable() > 0; }, 10000));
    EXPECT_TRUE(c.readAll().startsWith("HTTP/1.1 503 "));
    server.Broadcast("machine", "{\"state\":\"bereit\"}");
    ASSERT_TRUE(WaitFor([&] { return a.bytesAvailable() > 0 && b.bytesAvailable() > 0; }, 10000));
    QByteArray stream;
    ASSERT_TRUE(WaitFor(
        [&] {
            stream += a.readAll();
            return stream.contains("event: machine\ndata: {\"state\":\"bereit\"}\n\n");
        },
        10000))
        << stream.constData();
    EXPECT_TRUE(stream.contains("Content-Type: text/event-stream"));
    // A reader that takes nothing is dropped once its backlog is full.
    b.setReadBufferSize(1);
    const QByteArray big(64 * 1024, 'x');
    ASSERT_TRUE(WaitFor(
        [&] {
            server.Broadcast("log", big);
            return server.Streams() == 1;
        },
        20000));
}

namespace {

// A server on a free port of 127.0.0.1 that answers "ok", and "/halten" never: such a
// request stays under way (holding counts them).
struct TServed {
    explicit TServed(THttpServer::Options options) : server(options) {
        server.OnRequest = [this](const THttpRequest& r, const THttpAnswer&) {
            THttpReply reply;
            reply.body = "ok";
            if (r.path != "/halten") return reply;
            ++holding;
            return THttpReply::Later();
        };
        QString error;
        listening = server.Listen(QHostAddress::LocalHost, 0, &error);
    }
    THttpServer server;
    bool listening = false;
    int holding = 0;
};

QByteArray Get(const QByteArray& host = "a", const QByteArray& path = "/") {
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

}  // namespace

TEST(HttpServer, OneAddressCannotHoldTheServerAndNobodyIsDroppedWithoutAWord) {
    THttpServer::Options options;
    options.maxPerAddress = 3;
    options.maxConnections = 6;
    options.retryAfterSeconds = 7;
    // Long enough that nothing times out while the test runs: the limits are under test.
    options.headTimeoutMs = options.keepAliveMs = 120000;
    TServed s(options);
    ASSERT_TRUE(s.listening);
    const quint16 port = s.server.Port();
    const auto hold = [&](std::initializer_list<QTcpSocket*> sockets) {
        const int before = s.holding;
        for (QTcpSocket* c : sockets) c->write(Get("a", "/halten"));
        return WaitFor([&] { return s.holding == before + int(sockets.size()); });
    };
    // The attacker's address holds three requests: its fourth connection is told to come
    // back later, and closed...
    QTcpSocket held[3];
    for (QTcpSocket& h : held) ASSERT_TRUE(ConnectFrom(h, port, "127.0.0.2"));
    ASSERT_TRUE(hold({&held[0], &held[1], &held[2]}));
    QTcpSocket refused;
    ASSERT_TRUE(ConnectFrom(refused, port, "127.0.0.2"));
    const QByteArray answer = UntilClosed(refused);
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 503 ")) << answer.constData();
    EXPECT_TRUE(answer.contains("Retry-After: 7\r\n"));
    // ...while another address is served.
    QTcpSocket user;
    ASSERT_TRUE(ConnectFrom(user, port, "127.0.0.1"));
    EXPECT_EQ(Exchange(user, Get()).status, 200);
    // The others fill the server: the next client is told the same, whatever its address.
    QTcpSocket more[2];
    for (QTcpSocket& m : more) ASSERT_TRUE(ConnectFrom(m, port, "127.0.0.3"));
    ASSERT_TRUE(hold({&more[0], &more[1]}));
    QTcpSocket full;
    ASSERT_TRUE(ConnectFrom(full, port, "127.0.0.4"));
    EXPECT_TRUE(UntilClosed(full).startsWith("HTTP/1.1 503 "));
    EXPECT_EQ(s.server.Connections(), 6);
    for (QTcpSocket& h : held) EXPECT_EQ(h.state(), QAbstractSocket::ConnectedState);
}

TEST(HttpServer, ARefusedRequestsBodyIsNeverRead) {
    TServed s(THttpServer::Options{});
    ASSERT_TRUE(s.listening);
    s.server.OnHead = [](const THttpRequest& r) -> std::optional<THttpReply> {
        if (r.path == "/geheim") return PlainReply(401);
        return std::nullopt;
    };
    // The head announces 16 MB that never come: the answer comes at once, the connection ends.
    for (const QByteArray& path : {QByteArray("/geheim"), QByteArray("/")}) {
        QTcpSocket c;
        ASSERT_TRUE(ConnectFrom(c, s.server.Port(), "127.0.0.2"));
        c.write("POST " + path + " HTTP/1.1\r\nHost: a\r\nContent-Length: 160000000\r\n\r\n");
        const QByteArray got = UntilClosed(c);
        EXPECT_TRUE(got.startsWith(path == "/" ? "HTTP/1.1 413 " : "HTTP/1.1 401 "))
            << got.constData();
        EXPECT_TRUE(got.contains("Connection: close\r\n"));
    }
    EXPECT_TRUE(WaitFor([&] { return s.server.Connections() == 0; }));
}

TEST(HttpServer, ALaterAnswerKeepsTheOrderOfPipelinedRequests) {
    TServed s(THttpServer::Options{});
    ASSERT_TRUE(s.listening);
    s.server.OnRequest = [](const THttpRequest& r, const THttpAnswer& answer) {
        THttpReply reply;
        reply.body = r.path.mid(1);
        if (r.path != "/spaet") return reply;
        QTimer::singleShot(50, [answer, reply] { answer(reply); });
        return THttpReply::Later();
    };
    QTcpSocket c;
    ASSERT_TRUE(ConnectFrom(c, s.server.Port()));
    c.write("GET /spaet HTTP/1.1\r\nHost: a\r\n\r\nGET /gleich HTTP/1.1\r\nHost: a\r\n\r\n");
    QByteArray got;
    ASSERT_TRUE(WaitFor([&] {
        got += c.readAll();
        return got.endsWith("\r\n\r\ngleich");
    })) << got.constData();
    EXPECT_EQ(got.count("HTTP/1.1 200 OK"), 2);
    EXPECT_TRUE(got.contains("\r\n\r\nspaetHTTP/1.1 200 OK")) << got.constData();
}

TEST(HttpServer, OnlyItsOwnHostNamesAreServed) {
    THttpServer::Options options;
    options.hosts = {"127.0.0.1", "dnc.werk", "[::1]"};
    TServed s(options);
    ASSERT_TRUE(s.listening);
    const struct {
        QByteArray host;
        int status;
    } rows[] = {{"127.0.0.1:8080", 200},       {"DNC.werk", 200},     {"dnc.werk.:443", 200},
                {"[::1]:8080", 200},           {"evil.example", 421}, {"127.0.0.2", 421},
                {"dnc.werk.evil.example", 421}};
    for (const auto& row : rows) {
        QTcpSocket c;
        ASSERT_TRUE(ConnectFrom(c, s.server.Port()));
        EXPECT_EQ(Exchange(c, Get(row.host)).status, row.status) << row.host.constData();
    }
}

TEST(Logins, ChecksAnswerLaterAndOneAddressWaitsForFewOfThem) {
    TLogins logins;
    const TWebUser user = WebUsers::Make("gast", TRole::Read, "nur-schauen", 1);
    QList<bool> results;
    const auto note = [&](bool ok) { results.append(ok); };
    ASSERT_TRUE(logins.Check(&user, "nur-schauen", "10.0.0.5", note));
    ASSERT_TRUE(logins.Check(&user, "falsch", "10.0.0.5", note));
    ASSERT_TRUE(logins.Check(nullptr, "nur-schauen", "10.0.0.5", note));
    ASSERT_TRUE(logins.Check(&user, "falsch", "10.0.0.5", note));
    // A fifth waiting check of one address is refused; another address still gets one.
    EXPECT_FALSE(logins.Check(&user, "nur-schauen", "10.0.0.5", note));
    ASSERT_TRUE(logins.Check(&user, "nur-schauen", "10.0.0.6", note));
    EXPECT_TRUE(results.isEmpty());  // never within the call: the event loop goes on meanwhile
    ASSERT_TRUE(WaitFor([&] { return results.size() == 5; }));
    EXPECT_EQ(results, QList<bool>({true, false, false, false, true}));
}

namespace {

// The view behind the publisher: takes everything, shows nothing.
class TQuietView final : public TTransferView {
  public:
    void Trace(const QByteArray& line) override { traced += line + "\n"; }
    void ClearTrace() override {}
    void ShowTrace() override {}
    void Received(const QByteArray&) override {}
    void ReceivedNote(const QByteArray&) override {}
    void Status(const QByteArray&) override {}
    void Banner(const QByteArray&, TBanner) override {}
    void ProgramLoaded(const TSendTable&, TProgramShown) override {}
    void LinesSent(const TSendTable&, int, int, TSendKind) override {}
    void SendProgress(const TSendProgress&) override {}
    void LineSignal(TLineSignal) override {}
    void DeviceLost(int) override {}
    void PortReopened(int) override {}
    void Cleared() override {}
    void SaveFolderShown(const QByteArray&) override {}
    QWidget* DialogParent() override { return nullptr; }
    QByteArray traced;
};

}  // namespace

TEST(StatusSocket, ALongFolderPathWorksAndOnlyOneInstanceHoldsAFolder) {
    QTemporaryDir dir;
    QString folder = dir.path();
    while (folder.size() < 200) folder += QStringLiteral("/ein-langer-ordnername");
    ASSERT_TRUE(QDir().mkpath(folder));
    TQuietView view;
    {
        TStatusPublisher publisher(&view);
        ASSERT_TRUE(publisher.Listen(folder)) << view.traced.constData();
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(folder + "/.dnc-status").constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        TStatusClient client(folder);
        ASSERT_TRUE(client.Connect());
        ASSERT_TRUE(WaitFor([&] { return !client.State().isEmpty(); }, 10000));
        EXPECT_EQ(client.State().value("state"), "getrennt");
        // A second instance in the same folder is told why it does not publish.
        TStatusPublisher second(&view);
        EXPECT_FALSE(second.Listen(folder));
        EXPECT_TRUE(view.traced.contains("ein anderer Server"));
        // A log entry reaches the reader.
        QString entry;
        QObject::connect(&client, &TStatusClient::LogEntry, [&](const QString& e) { entry = e; });
        publisher.LogWritten("Beginn  Mi 9. Dez. 2026, 07:05:09: \r\n");
        ASSERT_TRUE(WaitFor([&] { return !entry.isEmpty(); }, 10000));
        EXPECT_EQ(entry, "Beginn  Mi 9. Dez. 2026, 07:05:09: ");
    }
    // The socket went with its instance; one left by a crash is replaced.
    EXPECT_FALSE(StatusSocket::Present(folder));
    QByteArray error;
    const int stale = StatusSocket::Listen(folder, &error);
    ASSERT_GE(stale, 0) << error.constData();
    ::close(stale);
    EXPECT_TRUE(StatusSocket::Present(folder));
    TStatusPublisher after(&view);
    EXPECT_TRUE(after.Listen(folder)) << view.traced.constData();
}
