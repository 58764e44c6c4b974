// The web API end to end: two `dnc-server --service` instances on pseudo-terminals under one
// root, users made with `--web-user`, `dnc-server --web` on 127.0.0.1, requests as raw HTTP.
#include <gtest/gtest.h>

#include "tests/common/SmallDisk.h"
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
          QByteArray(300, 'A') + ".CNC", QByteArray(197, 'A') + ".CNC", QByteArray("%FF%FE.CNC"),
          QByteArray("%E2%80%AEfdp.CNC"), QByteArray("%252e%252e%252fgeheim.CNC")}) {
        EXPECT_EQ(rig.Change("PUT", "/api/machines/fraese1/programs/" + name, op, "G0\r\n").status,
                  400)
            << name.constData();
        EXPECT_EQ(rig.Http("GET", "/api/machines/fraese1/programs/" + name, {}, {}, op).status, 400)
            << name.constData();
    }
    EXPECT_EQ(rig.Change("PUT", "/api/machines/fraese1/programs/1001.txt", op, "x").status, 400);
    EXPECT_EQ(Names(rig.Folder("fraese1")), before);
    EXPECT_EQ(Names(rig.rootPath), rootBefore);
    // The longest name there is can be replaced too: its version's name still fits.
    const QByteArray longest = "/api/machines/fraese1/programs/" + QByteArray(196, 'L') + ".CNC";
    EXPECT_EQ(rig.Change("PUT", longest, op, "G0 X1\r\n").status, 201);
    EXPECT_EQ(rig.Change("PUT", longest, op, "G0 X2\r\n").status, 200);
    EXPECT_EQ(rig.Change("DELETE", longest, op).status, 200);
    // Over 16 MiB: 413 on the head, without sending the body.
    EXPECT_EQ(rig.Http("PUT", "/api/machines/fraese1/programs/big.CNC", {},
                       {"Origin: " + rig.Origin(), "Content-Length: 16777217"}, op)
                  .status,
              413);
    // Nothing is read for a route that takes no body, or before the session and the role
    // allow it: answered on the head, and the connection ends.
    for (const QByteArray& head :
         {QByteArray("POST /nichts HTTP/1.1\r\nContent-Length: 16777216\r\n"),
          QByteArray("PUT /api/machines/fraese1/programs/1.CNC HTTP/1.1\r\n"
                     "Content-Length: 1000000\r\nOrigin: " +
                     rig.Origin() + "\r\n"),
          QByteArray("PUT /api/machines/fraese1/programs/1.CNC HTTP/1.1\r\n"
                     "Content-Length: 1000000\r\nOrigin: " +
                     rig.Origin() + "\r\nCookie: " + reader + "\r\n")}) {
        QTcpSocket attacker;
        ASSERT_TRUE(ConnectFrom(attacker, rig.port, "127.0.0.2"));
        attacker.write(head + "Host: 127.0.0.1\r\n\r\n");
        const QByteArray answer = UntilClosed(attacker);
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 40")) << answer.constData();
    }
    // Only the names the front listens on: not one a rebinding DNS gives, and only one.
    const auto asHost = [&](const QByteArray& host, const QByteArray& path) {
        QTcpSocket socket;
        ConnectFrom(socket, rig.port);
        return Exchange(socket, "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nCookie: " + op +
                                    "\r\n\r\n")
            .status;
    };
    EXPECT_EQ(asHost("evil.example", "/api/machines"), 421);
    EXPECT_EQ(asHost("evil.example:" + QByteArray::number(rig.port), "/"), 421);
    EXPECT_EQ(asHost("localhost:" + QByteArray::number(rig.port), "/api/machines"), 200);
    EXPECT_EQ(rig.Http("GET", "/api/machines", {}, {"Host: localhost"}, op).status, 400);
    // Bounded heads.
    EXPECT_EQ(
        rig.Http("GET", "/api/machines", {}, {"X-Fill: " + QByteArray(20000, 'x')}, op).status,
        431);
    // The page comes without a session, from the binary.
    const THttpResult page = rig.Http("GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_TRUE(page.body.contains("<html lang=\"de\">"));
    EXPECT_TRUE(page.Header("content-security-policy").contains("default-src 'self'"));
    EXPECT_TRUE(page.Header("strict-transport-security").isEmpty());  // only under HTTPS

    // Failed logins for one user from one address slow down there: 429 with the wait, also
    // for the right password; from another address the right password still goes.
    int status = 0;
    for (int i = 0; i < 8 && status != 429; ++i) {
        status =
            rig.HttpFrom("127.0.0.2", "POST", "/api/login",
                         "{\"user\":\"gast\",\"password\":\"nein\"}", {"Origin: " + rig.Origin()})
                .status;
    }
    EXPECT_EQ(status, 429);
    const THttpResult blocked = rig.HttpFrom("127.0.0.2", "POST", "/api/login",
                                             "{\"user\":\"gast\",\"password\":\"nur-schauen\"}",
                                             {"Origin: " + rig.Origin()});
    EXPECT_EQ(blocked.status, 429);
    EXPECT_FALSE(blocked.Header("retry-after").isEmpty());
    EXPECT_FALSE(rig.Login("gast", "nur-schauen", "127.0.0.1").isEmpty());
    // Who logged in, and who failed from where.
    EXPECT_TRUE(rig.WebSaid("Anmeldung: Benutzer meister, Adresse 127.0.0.1\n"));
    EXPECT_TRUE(rig.WebSaid("Anmeldung fehlgeschlagen: Benutzer gast, Adresse 127.0.0.2\n"))
        << rig.webSaid.constData();

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
    // The machine's log says who aborted, and names the program as the machine knows it.
    ASSERT_TRUE(events.WaitFor("log", [](const QJsonObject& o) {
        return o.value("machine") == "fraese1" &&
               o.value("entry").toString().startsWith("7000.CNC nicht vollständig gesendet") &&
               o.value("entry").toString().endsWith("(Web: meister)");
    })) << events.seen.join(' ').constData();
    EXPECT_TRUE(rig.Log("fraese1").contains(" (Web: meister) "));
    EXPECT_TRUE(rig.WebSaid("Abbruch Senden: Benutzer meister, Adresse 127.0.0.1, fraese1\n"));
    ASSERT_TRUE(events.WaitFor("machine", [](const QJsonObject& o) {
        return o.value("name") == "fraese1" && o.value("state") == "bereit" &&
               o.value("lines").isNull();
    }));
    EXPECT_EQ(rig.Change("POST", "/api/machines/fraese1/abort", op).status, 409);

    // A machine whose device is not there (yet): "getrennt", and which device it waits for.
    rig.AddMachine("ohneport");
    const QString link = rig.Folder("ohneport") + "/.config/dnc-server/ports/COM1";
    QFile::remove(link);
    ASSERT_TRUE(QFile::link("/nonexistent/ttyUSB7", link));
    auto& service = rig.services["ohneport"];
    service = std::make_unique<QProcess>();
    service->setProcessEnvironment(rig.Env(rig.Folder("ohneport")));
    service->setWorkingDirectory(rig.Folder("ohneport"));
    service->start(DNC_SERVER, {"--service"});
    ASSERT_TRUE(events.WaitFor("machine",
                               [&](const QJsonObject& o) {
                                   return o.value("name") == "ohneport" &&
                                          o.value("state") == "getrennt" &&
                                          o.value("reason").toString().startsWith(
                                              "wartet auf /nonexistent/ttyUSB7 für COM1");
                               }))
        << events.seen.join(' ').constData() << rig.Journal("ohneport").constData();

    // An instance that ends is "aus" at once; --status says so too.
    ::kill(pid_t(rig.services["fraese1"]->processId()), SIGTERM);
    ASSERT_TRUE(events.WaitFor("machine", [](const QJsonObject& o) {
        return o.value("name") == "fraese1" && o.value("state") == "aus";
    }));
    QProcess status;
    status.start(DNC_SERVER, {"--status", rig.rootPath});
    ASSERT_TRUE(status.waitForFinished(30000));
    const QList<QByteArray> lines = status.readAllStandardOutput().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].startsWith("drehbank2\tCOM1\tbereit\t-\t")) << lines[0].constData();
    EXPECT_TRUE(lines[0].endsWith("P4711.CNC PRG Nr = 2")) << lines[0].constData();
    EXPECT_TRUE(lines[1].startsWith("fraese1\t-\taus\t-\t")) << lines[1].constData();
    EXPECT_TRUE(lines[2].startsWith("ohneport\t-\tgetrennt\t-\t")) << lines[2].constData();
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
    // Once a browser has it over HTTPS, it never asks over plain HTTP again.
    EXPECT_TRUE(login.Header("strict-transport-security").startsWith("max-age="));
    // Plain HTTP on the HTTPS port gets nothing.
    EXPECT_EQ(rig.Http("GET", "/api/machines").status, 0);
}

TEST_F(WebApi, ProgramsKeepEveryVersionAndReceivedOnesAreTakenOver) {
    ASSERT_EQ(rig.MakeUser("gast", "lesen", "nur-schauen"), 0);
    const QByteArray reader = rig.Login("gast", "nur-schauen");
    const QByteArray& op = operatorCookie;
    const QByteArray program = "/api/machines/drehbank2/programs/1234.CNC";
    const QByteArray first = "%\r\nN10 G0 X0\r\nM30\r\n", second = "%\r\nN10 G0 X9\r\nM30\r\n";
    ASSERT_EQ(rig.Change("PUT", program, op, first).status, 201);
    const THttpResult replaced = rig.Change("PUT", program, op, second);
    ASSERT_EQ(replaced.status, 200);
    // The replaced one's version is an id, not a place on the server.
    const QString kept = replaced.Json().toObject().value("version").toString();
    EXPECT_TRUE(QRegularExpression("^\\d{8}-\\d{6}(\\.\\d+)?$").match(kept).hasMatch())
        << kept.toStdString();

    // The list, a version's bytes, and its restore: what it replaces is kept in turn.
    const QJsonArray versions =
        rig.Http("GET", program + "/versions", {}, {}, reader).Json().toArray();
    ASSERT_EQ(versions.size(), 1);
    EXPECT_EQ(versions[0].toObject().value("id").toString(), kept);
    EXPECT_EQ(versions[0].toObject().value("size").toInt(), first.size());
    EXPECT_FALSE(versions[0].toObject().value("time").toString().isEmpty());
    EXPECT_EQ(rig.Http("GET", program + "/versions/" + kept.toLatin1(), {}, {}, reader).body,
              first);
    EXPECT_EQ(rig.Http("GET", program + "/versions/20200101-000000", {}, {}, op).status, 404);
    EXPECT_EQ(
        rig.Change("POST", program + "/versions/" + kept.toLatin1() + "/restore", reader).status,
        403);
    EXPECT_EQ(rig.Change("POST", program + "/versions/" + kept.toLatin1() + "/restore", op).status,
              200);
    EXPECT_EQ(ReadFile(rig.Folder("drehbank2") + "/1234.CNC"), first);
    ASSERT_EQ(rig.Http("GET", program + "/versions", {}, {}, op).Json().toArray().size(), 2);

    // Deleted: gone from the list, kept as a version, and back by a restore.
    EXPECT_EQ(rig.Change("DELETE", program, reader).status, 403);
    const THttpResult removed = rig.Change("DELETE", program, op);
    ASSERT_EQ(removed.status, 200);
    EXPECT_FALSE(QFileInfo::exists(rig.Folder("drehbank2") + "/1234.CNC"));
    EXPECT_EQ(
        rig.Http("GET", "/api/machines/drehbank2/programs", {}, {}, op).Json().toArray().size(), 0);
    const QJsonArray gone =
        rig.Http("GET", "/api/machines/drehbank2/deleted", {}, {}, op).Json().toArray();
    ASSERT_EQ(gone.size(), 1);
    EXPECT_EQ(gone[0].toObject().value("name"), "1234.CNC");
    const QString last = removed.Json().toObject().value("version").toString();
    EXPECT_EQ(rig.Change("POST", program + "/versions/" + last.toLatin1() + "/restore", op).status,
              201);
    EXPECT_EQ(ReadFile(rig.Folder("drehbank2") + "/1234.CNC"), first);

    // A received program becomes a callable one; the program it replaces is kept.
    TMachineLine& lathe = *rig.lines["drehbank2"];
    const QByteArray sent = "%\r\n(DFS,P4711,)\r\nN10 G1 X10\r\nM30\r\n";
    lathe.Send(sent);
    ASSERT_TRUE(WaitFor([&] { return rig.Log("drehbank2").contains("P4711.CNC PRG Nr = "); }));
    const QByteArray accept = "/api/machines/drehbank2/received/P4711.CNC/accept";
    EXPECT_EQ(rig.Change("POST", accept, reader, "{\"as\":\"4711.CNC\"}").status, 403);
    EXPECT_EQ(rig.Change("POST", accept, op, "{\"as\":\"../4711.CNC\"}").status, 400);
    EXPECT_EQ(rig.Change("POST", accept, op, "{\"as\":\"4711.txt\"}").status, 400);
    EXPECT_EQ(rig.Change("POST", accept, op, "{\"as\":\"4711.CNC\"}").status, 201);
    EXPECT_EQ(ReadFile(rig.Folder("drehbank2") + "/4711.CNC"),
              ReadFile(rig.Folder("drehbank2") + "/save/P4711.CNC"));
    EXPECT_EQ(rig.Change("POST", accept, op, "{\"as\":\"1234.cnc\"}").status, 200);
    EXPECT_EQ(ReadFile(rig.Folder("drehbank2") + "/1234.CNC"),
              ReadFile(rig.Folder("drehbank2") + "/save/P4711.CNC"));
    EXPECT_EQ(rig.Http("GET", program + "/versions", {}, {}, op).Json().toArray().size(), 4);
    lathe.Call("4711");
    const QByteArray taken = ReadFile(rig.Folder("drehbank2") + "/4711.CNC");
    EXPECT_EQ(lathe.Until(taken.right(8)), taken);
    ASSERT_TRUE(
        WaitFor([&] { return rig.Log("drehbank2").contains("4711.CNC gesendete PRG Nr"); }));

    // The log and the last transfer name files as the machine knows them, never by the
    // server's folders; the journal says who did each change, from where, to what.
    const QByteArray log = rig.Http("GET", "/api/machines/drehbank2/log", {}, {}, op).body;
    EXPECT_TRUE(log.contains("\"save/P4711.CNC PRG Nr = 1\"")) << log.constData();
    EXPECT_FALSE(log.contains(rig.rootPath.toUtf8())) << log.constData();
    const QJsonObject lastTransfer = rig.Http("GET", "/api/machines/drehbank2", {}, {}, op)
                                         .Json()
                                         .toObject()
                                         .value("lastTransfer")
                                         .toObject();
    EXPECT_EQ(lastTransfer.value("program"), "4711.CNC");
    EXPECT_EQ(lastTransfer.value("direction"), "gesendet");
    EXPECT_EQ(lastTransfer.value("result"), "vollständig");
    for (const QByteArray& line :
         {QByteArray("Hochgeladen: Benutzer meister, Adresse 127.0.0.1, drehbank2/1234.CNC\n"),
          "Ersetzt: Benutzer meister, Adresse 127.0.0.1, drehbank2/1234.CNC (vorherige Fassung " +
              kept.toLatin1() + ")\n",
          "Wiederhergestellt: Benutzer meister, Adresse 127.0.0.1, drehbank2/1234.CNC aus "
          "Fassung " +
              kept.toLatin1() + "\n",
          "Gelöscht: Benutzer meister, Adresse 127.0.0.1, drehbank2/1234.CNC (aufbewahrt als "
          "Fassung " +
              last.toLatin1() + ")\n",
          QByteArray("Übernommen: Benutzer meister, Adresse 127.0.0.1, drehbank2/empfangen "
                     "P4711.CNC als 4711.CNC\n")}) {
        EXPECT_TRUE(rig.WebSaid(line)) << line.constData() << rig.webSaid.constData();
    }
}

TEST_F(WebApi, AFullDiskRefusesAnUploadWithTheSystemsWordsAndLosesNothing) {
    SmallDisk disk(rig.Folder("voll"));
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here (needs root)";
    rig.AddMachine("voll");
    const QByteArray program = "/api/machines/voll/programs/1.CNC";
    const QByteArray first = "%\r\nN10 G0 X0\r\nM30\r\n";
    ASSERT_EQ(rig.Change("PUT", program, operatorCookie, first).status, 201);
    disk.Fill();
    const auto files = [&] {
        return QDir(rig.Folder("voll")).entryList(QDir::Files | QDir::Hidden);
    };
    const QStringList before = files();
    const THttpResult refused =
        rig.Change("PUT", program, operatorCookie, "%\r\nN10 G0 X9\r\nM30\r\n");
    EXPECT_EQ(refused.status, 500);
    const QString error = refused.Json().toObject().value("error").toString();
    EXPECT_TRUE(error.startsWith("Nicht gespeichert: ")) << error.toStdString();
    EXPECT_FALSE(error.contains(rig.rootPath)) << error.toStdString();
    EXPECT_EQ(ReadFile(rig.Folder("voll") + "/1.CNC"), first);
    // No half file, and no half version that a restore could bring back.
    EXPECT_EQ(files(), before);
    EXPECT_EQ(rig.Http("GET", program + "/versions", {}, {}, operatorCookie).body, "[]");
    // With room again the same upload goes through.
    disk.Free();
    EXPECT_EQ(rig.Change("PUT", program, operatorCookie, "%\r\nN10 G0 X9\r\nM30\r\n").status, 200);
}

TEST_F(WebApi, StreamsAreSharedFairlyAndEndWithTheirSessions) {
    ASSERT_EQ(rig.MakeUser("gast", "lesen", "nur-schauen"), 0);
    ASSERT_EQ(rig.MakeUser("pruefer", "lesen", "pruef-pruef"), 0);
    // One user opens streams until refused, from two sessions: a few each, a few in all...
    std::vector<std::unique_ptr<TEventStream>> streams;
    int open = 0;
    for (const QByteArray& cookie : {operatorCookie, rig.Login("meister", kPassword)}) {
        for (int i = 0; i < 6; ++i) {
            streams.push_back(std::make_unique<TEventStream>(rig.port, cookie));
            const int status = streams.back()->Status();
            ASSERT_TRUE(status == 200 || status == 429) << status;
            open += status == 200 ? 1 : 0;
        }
    }
    EXPECT_EQ(open, 8);
    const QByteArray refused = streams.back()->buffer;
    EXPECT_TRUE(refused.contains("Retry-After: ")) << refused.constData();
    // ...and another user still gets his.
    const QByteArray guest = rig.Login("gast", "nur-schauen");
    TEventStream theirs(rig.port, guest);
    EXPECT_EQ(theirs.Status(), 200);
    EXPECT_TRUE(theirs.WaitFor("machines", [](const QJsonObject&) { return true; }));

    // A changed password ends that user's sessions and streams at once; a deleted user's too.
    const QByteArray checker = rig.Login("pruefer", "pruef-pruef");
    TEventStream checking(rig.port, checker);
    ASSERT_EQ(checking.Status(), 200);
    ASSERT_EQ(rig.MakeUser("gast", "lesen", "neues-passwort"), 0);
    EXPECT_TRUE(theirs.Ended());
    EXPECT_EQ(rig.Http("GET", "/api/machines", {}, {}, guest).status, 401);
    QProcess del;
    del.start(DNC_SERVER, {"--web-user", "pruefer", "--delete", rig.rootPath});
    ASSERT_TRUE(del.waitForFinished(30000));
    EXPECT_TRUE(checking.Ended());
    EXPECT_EQ(rig.Http("GET", "/api/session", {}, {}, checker).status, 401);
    EXPECT_FALSE(rig.Login("gast", "neues-passwort").isEmpty());
    // The others' streams go on.
    EXPECT_EQ(rig.Http("GET", "/api/session", {}, {}, operatorCookie).status, 200);
    EXPECT_TRUE(streams.front()->Open());
    EXPECT_TRUE(rig.WebSaid("Sitzung beendet (Benutzer entfernt): Benutzer pruefer"));
}

TEST_F(WebApi, ALoginStormHoldsUpNobodyElse) {
    // A user whose password takes longer to check than the test runs: while a wrong one is
    // checked, the page is served. (A check on the event loop would hold every answer.)
    QFile users(rig.rootPath + "/.dnc-web-users");
    ASSERT_TRUE(users.open(QIODevice::Append));
    users.write("langsam:lesen:pbkdf2-sha256:2000000000:" + QByteArray(16, 's').toBase64() + ":" +
                QByteArray(32, 'h').toBase64() + "\n");
    users.close();
    const auto login = [&](QTcpSocket& socket, const char* from, const QByteArray& user) {
        ConnectFrom(socket, rig.port, from);
        const QByteArray body = "{\"user\":\"" + user + "\",\"password\":\"falsch-falsch\"}";
        socket.write("POST /api/login HTTP/1.1\r\n" + rig.Host() + "\r\nOrigin: " + rig.Origin() +
                     "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size()) +
                     "\r\n\r\n" + body);
        socket.flush();
    };
    QTcpSocket slow;
    login(slow, "127.0.0.2", "langsam");
    // Forty failing logins from another address meanwhile: four wait for their check, the
    // others are told at once to come back later.
    std::vector<std::unique_ptr<QTcpSocket>> storm;
    for (int i = 0; i < 40; ++i) {
        storm.push_back(std::make_unique<QTcpSocket>());
        login(*storm.back(), "127.0.0.3", "niemand" + QByteArray::number(i));
    }
    const auto answered = [&] {
        return std::count_if(storm.begin(), storm.end(), [](auto& s) {
            s->waitForReadyRead(1);
            return s->bytesAvailable() > 0;
        });
    };
    ASSERT_TRUE(WaitFor([&] { return answered() == 36; })) << answered();
    for (auto& s : storm) {
        if (s->bytesAvailable() == 0) continue;
        const QByteArray answer = UntilClosed(*s);
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 503 ")) << answer.constData();
        EXPECT_TRUE(answer.contains("Retry-After: ")) << answer.constData();
    }
    EXPECT_EQ(rig.Http("GET", "/api/machines", {}, {}, operatorCookie).status, 200);
    EXPECT_EQ(rig.Http("GET", "/api/session", {}, {}, operatorCookie).status, 200);
    QCoreApplication::processEvents();
    EXPECT_FALSE(slow.waitForReadyRead(1));  // its check still runs
}
