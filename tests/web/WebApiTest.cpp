// The web API end to end: two `dnc-server --service` instances on pseudo-terminals under one
// root, users made with `--web-user`, `dnc-server --web` on 127.0.0.1, requests as raw HTTP.
#include <gtest/gtest.h>

#include "tests/web/WebRig.h"

using namespace webrig;

namespace {

const QByteArray kPassword = "Spindel-4711";

QJsonObject Find(const QJsonArray& machines, const QString& name) {
    for (const QJsonValue& m : machines) {
        if (m.toObject().value("name").toString() == name) return m.toObject();
    }
    return {};
}

QStringList Names(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::AllDirs |
                                  QDir::NoDotAndDotDot);
}

// Two machines, a "bedienen" and a "lesen" user, the web process.
class WebApi : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(rig.AddMachine("fraese1").Ok());
        ASSERT_TRUE(rig.AddMachine("drehbank2").Ok());
        ASSERT_TRUE(rig.StartService("fraese1")) << rig.Journal("fraese1").constData();
        ASSERT_TRUE(rig.StartService("drehbank2")) << rig.Journal("drehbank2").constData();
        ASSERT_EQ(rig.MakeUser("meister", "bedienen", kPassword), 0);
        ASSERT_TRUE(rig.StartWeb()) << rig.webSaid.constData();
        operatorCookie = rig.Login("meister", kPassword);
        ASSERT_FALSE(operatorCookie.isEmpty());
    }
    TWebRig rig;
    QByteArray operatorCookie;
};

}  // namespace

TEST_F(WebApi, EveryRuleOfAccessNamesAndSizes) {
    ASSERT_EQ(rig.MakeUser("gast", "lesen", "nur-schauen"), 0);
    const QByteArray reader = rig.Login("gast", "nur-schauen");
    ASSERT_FALSE(reader.isEmpty());
    const QByteArray& op = operatorCookie;

    // The login's cookie.
    {
        const THttpResult r = rig.Http("POST", "/api/login",
                                       "{\"user\":\"meister\",\"password\":\"" + kPassword + "\"}",
                                       {"Origin: " + rig.Origin()});
        EXPECT_EQ(r.status, 200);
        EXPECT_TRUE(r.Header("set-cookie").contains("HttpOnly")) << r.head.constData();
        EXPECT_TRUE(r.Header("set-cookie").contains("SameSite=Strict"));
        EXPECT_FALSE(r.Header("set-cookie").contains("Secure"));
    }
    // 401 without a session, everywhere, before a body is read.
    for (const char* path :
         {"/api/machines", "/api/machines/fraese1/log", "/api/machines/fraese1/programs",
          "/api/events", "/api/machines/fraese1/received/x.CNC"}) {
        EXPECT_EQ(rig.Http("GET", path).status, 401) << path;
    }
    EXPECT_EQ(rig.Change("PUT", "/api/machines/fraese1/programs/1.CNC", "dnc_sitzung=erfunden", "x")
                  .status,
              401);
    EXPECT_EQ(rig.Login("meister", "falsch-falsch"), QByteArray());
    // Origin: a change from elsewhere, or without one, is refused; a Referer of the page is fine.
    EXPECT_EQ(rig.Http("PUT", "/api/machines/fraese1/programs/1.CNC", "x", {}, op).status, 403);
    EXPECT_EQ(rig.Http("PUT", "/api/machines/fraese1/programs/1.CNC", "x",
                       {"Origin: http://evil.example"}, op)
                  .status,
              403);
    EXPECT_EQ(rig.Http("POST", "/api/login", "{}", {"Origin: http://evil.example"}).status, 403);
    EXPECT_EQ(rig.Http("PUT", "/api/machines/fraese1/programs/1.CNC", "x",
                       {"Referer: " + rig.Origin() + "/#/m/fraese1"}, op)
                  .status,
              201);
    // A "lesen" user sees but changes nothing.
    EXPECT_EQ(rig.Http("GET", "/api/machines", {}, {}, reader).status, 200);
    EXPECT_EQ(rig.Change("PUT", "/api/machines/fraese1/programs/2.CNC", reader, "x").status, 403);
    EXPECT_EQ(rig.Change("POST", "/api/machines/fraese1/abort", reader).status, 403);
    // Unknown machines and files.
    EXPECT_EQ(rig.Http("GET", "/api/machines/fraese9", {}, {}, op).status, 404);
    EXPECT_EQ(rig.Change("PUT", "/api/machines/fraese9/programs/1.CNC", op, "x").status, 404);
    EXPECT_EQ(rig.Http("GET", "/api/machines/fraese1/programs/4711.CNC", {}, {}, op).status, 404);
    EXPECT_EQ(rig.Http("GET", "/api/machines/fraese1/programs/Config.ini", {}, {}, op).status, 404);
    EXPECT_EQ(rig.Http("GET", "/api/machines/fraese1/received/4711.CNC", {}, {}, op).status, 404);
    // Hostile names: 400, and nothing is written anywhere.
    const QStringList before = Names(rig.Folder("fraese1"));
    const QStringList rootBefore = Names(rig.rootPath);
    for (const QByteArray& name :
         {QByteArray("..%2F..%2Fboese.CNC"), QByteArray("a%2Fb.CNC"), QByteArray("a%5Cb.CNC"),
          QByteArray("%2E%2E"), QByteArray("..CNC"), QByteArray("x%00.CNC"),
          QByteArray("zeile%0A2.CNC"), QByteArray("glocke%07.CNC"), QByteArray(".versteckt.CNC"),
          QByteArray(300, 'A') + ".CNC", QByteArray("%FF%FE.CNC")}) {
        EXPECT_EQ(rig.Change("PUT", "/api/machines/fraese1/programs/" + name, op, "G0\r\n").status,
                  400)
            << name.constData();
        EXPECT_EQ(rig.Http("GET", "/api/machines/fraese1/programs/" + name, {}, {}, op).status, 400)
            << name.constData();
    }
    EXPECT_EQ(rig.Change("PUT", "/api/machines/fraese1/programs/1001.txt", op, "x").status, 400);
    EXPECT_EQ(Names(rig.Folder("fraese1")), before);
    EXPECT_EQ(Names(rig.rootPath), rootBefore);
    // Over 16 MiB: 413 on the head, without sending the body.
    EXPECT_EQ(rig.Http("PUT", "/api/machines/fraese1/programs/big.CNC", {},
                       {"Origin: " + rig.Origin(), "Content-Length: 16777217"}, op)
                  .status,
              413);
    // Bounded heads.
    EXPECT_EQ(
        rig.Http("GET", "/api/machines", {}, {"X-Fill: " + QByteArray(20000, 'x')}, op).status,
        431);
    // The page comes without a session, from the binary.
    const THttpResult page = rig.Http("GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_TRUE(page.body.contains("<html lang=\"de\">"));
    EXPECT_TRUE(page.Header("content-security-policy").contains("default-src 'self'"));

    // Failed logins for one user slow down: 429 with the wait, also for the right password.
    int status = 0;
    for (int i = 0; i < 8 && status != 429; ++i) {
        status = rig.Http("POST", "/api/login", "{\"user\":\"gast\",\"password\":\"nein\"}",
                          {"Origin: " + rig.Origin()})
                     .status;
    }
    EXPECT_EQ(status, 429);
    const THttpResult blocked =
        rig.Http("POST", "/api/login", "{\"user\":\"gast\",\"password\":\"nur-schauen\"}",
                 {"Origin: " + rig.Origin()});
    EXPECT_EQ(blocked.status, 429);
    EXPECT_FALSE(blocked.Header("retry-after").isEmpty());

    // Logout ends the session; a deleted user's session ends too.
    EXPECT_EQ(rig.Change("POST", "/api/logout", reader).status, 200);
    EXPECT_EQ(rig.Http("GET", "/api/machines", {}, {}, reader).status, 401);
    QProcess del;
    del.start(DNC_SERVER, {"--web-user", "meister", "--delete", rig.rootPath});
    ASSERT_TRUE(del.waitForFinished(30000));
    EXPECT_EQ(del.exitCode(), 0);
    EXPECT_EQ(rig.Http("GET", "/api/machines", {}, {}, op).status, 401);
    EXPECT_EQ(QFileInfo(rig.rootPath + "/.dnc-web-users").permissions() & 0x0077, 0);
}

TEST_F(WebApi, UploadCallDownloadProgressAbortAndEvents) {
    const QByteArray& op = operatorCookie;
    TEventStream events(rig.port, op);
    ASSERT_TRUE(events.WaitFor("machines", [](const QJsonObject& o) {
        const QJsonArray list = o.value("list").toArray();
        return list.size() == 2 && Find(list, "fraese1").value("state") == "bereit" &&
               Find(list, "drehbank2").value("port") == "COM1";
    })) << events.seen.join(' ').constData();

    // Upload, replace (the old one kept as a version), then the machine calls it.
    const QByteArray first = "%\r\nN10 G0 X0\r\nM30\r\n";
    const QByteArray program = "%\r\n(ZWEITE FASSUNG)\r\nN10 G0 X1 \xE4\r\nM30\r\n";
    EXPECT_EQ(rig.Change("PUT", "/api/machines/drehbank2/programs/1234.CNC", op, first).status,
              201);
    const THttpResult replaced =
        rig.Change("PUT", "/api/machines/drehbank2/programs/1234.cnc", op, program);
    EXPECT_EQ(replaced.status, 200);
    EXPECT_EQ(replaced.Json().toObject().value("name"), "1234.CNC");  // the existing name
    EXPECT_EQ(ReadFile(rig.Folder("drehbank2") + "/1234.CNC"), program);
    const QStringList versions =
        QDir(rig.Folder("drehbank2") + "/.versionen").entryList(QDir::Files);
    ASSERT_EQ(versions.size(), 1);
    EXPECT_EQ(ReadFile(rig.Folder("drehbank2") + "/.versionen/" + versions[0]), first);
    const QJsonArray listed =
        rig.Http("GET", "/api/machines/drehbank2/programs", {}, {}, op).Json().toArray();
    ASSERT_EQ(listed.size(), 1);
    EXPECT_EQ(listed[0].toObject().value("size").toInt(), program.size());
    TMachineLine& lathe = *rig.lines["drehbank2"];
    lathe.Call("1234");
    EXPECT_EQ(lathe.Until("M30\r\n"), program);
    ASSERT_TRUE(events.WaitFor("log", [](const QJsonObject& o) {
        return o.value("machine") == "drehbank2" &&
               o.value("entry").toString().contains("1234.CNC gesendete PRG Nr = 1") &&
               !o.value("time").isNull();
    })) << events.seen.join(' ').constData();

    // A received program downloads byte for byte, and is the machine's last transfer.
    const QByteArray saved = "%\r\n(DFS,P4711,)\r\nN10 G1 X10 \xB0\r\nN20 M30\r\n";
    lathe.Send(saved);
    ASSERT_TRUE(WaitFor([&] { return rig.Log("drehbank2").contains("P4711.CNC PRG Nr = 2"); }));
    const THttpResult received =
        rig.Http("GET", "/api/machines/drehbank2/received/P4711.CNC", {}, {}, op);
    EXPECT_EQ(received.status, 200);
    EXPECT_EQ(received.body, ReadFile(rig.Folder("drehbank2") + "/save/P4711.CNC"));
    EXPECT_EQ(received.body, saved + "\r\n");
    const QJsonObject lathe2 =
        rig.Http("GET", "/api/machines/drehbank2", {}, {}, op).Json().toObject();
    EXPECT_TRUE(lathe2.value("lastTransfer")
                    .toObject()
                    .value("entry")
                    .toString()
                    .endsWith("P4711.CNC PRG Nr = 2"));
    const QJsonArray log =
        rig.Http("GET", "/api/machines/drehbank2/log?limit=2", {}, {}, op).Json().toArray();
    ASSERT_EQ(log.size(), 2);
    EXPECT_TRUE(log[1].toObject().value("entry").toString().endsWith("PRG Nr = 2"));
    EXPECT_EQ(rig.Http("GET", "/api/machines/drehbank2/log?limit=x", {}, {}, op).status, 400);

    // A long send: the machine reads slowly, so progress moves; while it reads nothing the
    // state is "wartet"; then the send is aborted from the web.
    WriteFile(rig.Folder("fraese1") + "/7000.CNC", Program(4000));
    TMachineLine& mill = *rig.lines["fraese1"];
    mill.Call("7000");
    int percent = -1;
    ASSERT_TRUE(events.WaitFor("machine", [&](const QJsonObject& o) {
        mill.Take(4096);
        if (o.value("name") != "fraese1" || o.value("state") != "sendet") return false;
        EXPECT_EQ(o.value("program"), "7000.CNC");
        EXPECT_EQ(o.value("lines").toInt(), 4002);
        if (percent < 0) percent = o.value("percent").toInt();
        return o.value("percent").toInt() > percent && o.value("remainingSeconds").isDouble();
    })) << events.seen.join(' ').constData();
    ASSERT_TRUE(events.WaitFor("machine", [](const QJsonObject& o) {
        return o.value("name") == "fraese1" && o.value("state") == "wartet";
    })) << events.seen.join(' ').constData();
    EXPECT_EQ(rig.Change("POST", "/api/machines/fraese1/abort", op).status, 202);
    ASSERT_TRUE(events.WaitFor("log", [](const QJsonObject& o) {
        return o.value("machine") == "fraese1" &&
               o.value("entry").toString().contains("nicht vollständig gesendet");
    })) << events.seen.join(' ').constData();
    ASSERT_TRUE(events.WaitFor("machine", [](const QJsonObject& o) {
        return o.value("name") == "fraese1" && o.value("state") == "bereit" &&
               o.value("lines").isNull();
    }));
    EXPECT_EQ(rig.Change("POST", "/api/machines/fraese1/abort", op).status, 409);

    // An instance that ends is "aus" at once; --status says so too.
    ::kill(pid_t(rig.services["fraese1"]->processId()), SIGTERM);
    ASSERT_TRUE(events.WaitFor("machine", [](const QJsonObject& o) {
        return o.value("name") == "fraese1" && o.value("state") == "aus";
    }));
    QProcess status;
    status.start(DNC_SERVER, {"--status", rig.rootPath});
    ASSERT_TRUE(status.waitForFinished(30000));
    const QList<QByteArray> lines = status.readAllStandardOutput().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("drehbank2\tCOM1\tbereit\t-\t")) << lines[0].constData();
    EXPECT_TRUE(lines[0].endsWith("P4711.CNC PRG Nr = 2")) << lines[0].constData();
    EXPECT_TRUE(lines[1].startsWith("fraese1\t-\taus\t-\t")) << lines[1].constData();
}

TEST_F(WebApi, TheWebProcessKilledDuringASendTouchesNothing) {
    WriteFile(rig.Folder("fraese1") + "/7001.CNC", Program(3000));
    TMachineLine& mill = *rig.lines["fraese1"];
    QByteArray got;
    {
        TEventStream events(rig.port, operatorCookie);
        mill.Call("7001");
        ASSERT_TRUE(events.WaitFor("machine", [&](const QJsonObject& o) {
            got += mill.Take(2048);
            return o.value("name") == "fraese1" && o.value("state") == "sendet";
        }));
        rig.KillWeb();
    }
    // The machine goes on reading while no web process runs, and after a new one started.
    for (int i = 0; i < 20; ++i) {
        got += mill.Take(2048);
        QThread::msleep(20);
    }
    ASSERT_TRUE(rig.StartWeb()) << rig.webSaid.constData();
    const QByteArray cookie = rig.Login("meister", kPassword);
    TEventStream events(rig.port, cookie);
    // Still sending ("wartet" when the machine read nothing for a while meanwhile).
    EXPECT_TRUE(events.WaitFor("machines", [](const QJsonObject& o) {
        const QJsonValue state = Find(o.value("list").toArray(), "fraese1").value("state");
        return state == "sendet" || state == "wartet";
    }));
    got += mill.Until("M30\r\n");
    EXPECT_EQ(got, Program(3000));
    ASSERT_TRUE(WaitFor([&] {
        return rig.Log("fraese1").contains("7001.CNC gesendete PRG Nr = 1");
    })) << rig.Journal("fraese1").constData();
    EXPECT_TRUE(rig.services["fraese1"]->state() == QProcess::Running);
}

TEST_F(WebApi, HttpsWithACertificate) {
    QTemporaryDir keys;
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                              "-subj", "/CN=127.0.0.1", "-keyout", keys.filePath("key.pem"), "-out",
                              keys.filePath("cert.pem")});
    ASSERT_TRUE(openssl.waitForFinished(60000));
    ASSERT_EQ(openssl.exitCode(), 0);
    rig.KillWeb();
    rig.port = 0;
    ASSERT_TRUE(
        rig.StartWeb({"--cert", keys.filePath("cert.pem"), "--key", keys.filePath("key.pem")}))
        << rig.webSaid.constData();
    EXPECT_TRUE(rig.webSaid.contains("https://"));
    auto https = [&](const QByteArray& request) {
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.connectToHostEncrypted("127.0.0.1", rig.port);
        if (!socket.waitForEncrypted(10000)) return THttpResult{};
        return Exchange(socket, request);
    };
    const QByteArray origin = "https://127.0.0.1:" + QByteArray::number(rig.port);
    EXPECT_EQ(
        https("GET /api/machines HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n").status,
        401);
    const QByteArray body = "{\"user\":\"meister\",\"password\":\"" + kPassword + "\"}";
    const THttpResult login =
        https("POST /api/login HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(rig.port) +
              "\r\nOrigin: " + origin + "\r\nConnection: close\r\nContent-Length: " +
              QByteArray::number(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(login.status, 200);
    EXPECT_TRUE(login.Header("set-cookie").contains("; Secure")) << login.head.constData();
    // Plain HTTP on the HTTPS port gets nothing.
    EXPECT_EQ(rig.Http("GET", "/api/machines").status, 0);
}
