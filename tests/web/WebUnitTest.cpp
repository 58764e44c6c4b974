// The web side's parts without processes: the request parser, file names, log entries, the
// HTTP server's limits on a real socket, and the instance's socket in a long folder path.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QLocalSocket>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "status/LogEntries.h"
#include "status/StatusClient.h"
#include "status/StatusPublisher.h"
#include "status/StatusSocket.h"
#include "tests/web/WebRig.h"
#include "web/HttpParser.h"
#include "web/HttpServer.h"
#include "web/WebApi.h"

using namespace webrig;

namespace {

struct TParsed {
    QList<THttpParser::Event> events;
    int error = 0;
    QList<QByteArray> targets;
    QList<QByteArray> bodies;
};

// Feeds the stream in pieces cut at the given positions, answering requests one by one.
TParsed Parse(const QByteArray& stream, const QList<qsizetype>& cuts) {
    THttpParser parser;
    TParsed out;
    qsizetype at = 0;
    QList<qsizetype> ends = cuts;
    ends.append(stream.size());
    for (qsizetype end : ends) {
        parser.Feed(QByteArrayView(stream).sliced(at, end - at));
        at = end;
        for (;;) {
            const auto e = parser.Next();
            if (e == THttpParser::Event::None) break;
            out.events.append(e);
            if (e == THttpParser::Event::Error) {
                out.error = parser.ErrorStatus();
                return out;
            }
            if (e == THttpParser::Event::Complete) {
                out.targets.append(parser.Request().target);
                out.bodies.append(parser.Request().body);
                parser.Reset();
            }
        }
    }
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
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Parse(row.request, {}).error, row.status) << row.name;
    }
}

TEST(WebApiNames, OnlyPlainFileNamesPass) {
    for (const QByteArray& ok : {QByteArray("1001.CNC"), QByteArray("Welle 3 (neu).nc"),
                                 QByteArray("Fr\xC3\xA4s-\xC3\xBC.CNC"), QByteArray(255, 'a')}) {
        EXPECT_TRUE(TWebApi::FileNameProblem(ok).isEmpty()) << ok.constData();
    }
    for (const QByteArray& bad :
         {QByteArray(), QByteArray("a/b"), QByteArray("a\\b"), QByteArray(".."), QByteArray("a..b"),
          QByteArray("x\0y", 3), QByteArray("a\nb"), QByteArray("a\x7f"), QByteArray(".hidden"),
          QByteArray(256, 'a'), QByteArray("\xFF\xFE")}) {
        EXPECT_FALSE(TWebApi::FileNameProblem(bad).isEmpty()) << bad.toHex().constData();
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

    QTemporaryDir dir;
    WriteFile(dir.filePath("DNC.log"), "a 1\r\nb 2\r\nc 3\r\nhalb");
    EXPECT_EQ(LogEntries::TailEntries(dir.filePath("DNC.log"), 2), QStringList({"b 2", "c 3"}));
    EXPECT_EQ(LogEntries::TailEntries(dir.filePath("DNC.log"), 10).size(), 3);
}

TEST(HttpServer, SlowClientsTimeOutAndStreamsAreBounded) {
    THttpServer::Options options;
    options.headTimeoutMs = 300;
    options.maxStreams = 2;
    THttpServer server(options);
    server.OnRequest = [](const THttpRequest& r) {
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
