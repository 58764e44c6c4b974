// The bridge end to end: real `dnc-server --service` instances on pseudo-terminals or the
// virtual CNC, `dnc-server --mqtt` for two sites, a real mosquitto with passwords and an ACL.
#include <gtest/gtest.h>

#include "tests/common/ImmutableFolder.h"
#include "tests/mqtt/BrokerRig.h"

using namespace brokerrig;

namespace {

QByteArray Json(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

class Mqtt : public ::testing::Test {
  protected:
    QString Url() const { return shop.Url(); }
    QStringList Args(const QString& site, const QString& url = {}) const {
        return shop.Bridge(site, url);
    }
    TShop shop;
    TBroker& broker = shop.broker;
    TWebRig hall1, hall2;
    TBridgeProcess bridge1, bridge2;
};

}  // namespace

TEST_F(Mqtt, TwoSitesStatesEventsInOrderRemoteProgressAndAbort) {
    TMachineLine& mill = hall1.AddMachine("fraese1");
    TMachineLine& lathe = hall2.AddMachine("drehbank2");
    ASSERT_TRUE(hall1.StartService("fraese1"));
    ASSERT_TRUE(hall2.StartService("drehbank2"));
    ASSERT_TRUE(broker.Start()) << broker.said.constData();
    bridge1.Start(hall1, Args("halle1"));
    bridge2.Start(hall2, Args("halle2"));
    ASSERT_TRUE(bridge1.Said("Standort halle1 ist online")) << bridge1.said.constData();
    ASSERT_TRUE(bridge2.Said("Standort halle2 ist online")) << bridge2.said.constData();

    // Retained: a client that comes later gets every site's flag and every machine's state,
    // with the fields of the web front's machine entry. Later: once the bridges have
    // published both states (a first client hears them), not just once they are online.
    {
        TClient first(broker.port, "web", "pw-web");
        ASSERT_TRUE(first.Connected());
        first.Subscribe("dnc/#");
        ASSERT_TRUE(first.Loop([&] {
            return !first.Last("dnc/halle1/fraese1/state").isEmpty() &&
                   !first.Last("dnc/halle2/drehbank2/state").isEmpty();
        }));
    }
    TClient web(broker.port, "web", "pw-web");
    ASSERT_TRUE(web.Connected());
    web.Subscribe("dnc/#");
    EXPECT_TRUE(web.Hears("dnc/halle1/online", "1"));
    EXPECT_TRUE(web.Hears("dnc/halle2/online", "1"));
    const auto mill0 = web.Next("dnc/halle1/fraese1/state");
    ASSERT_TRUE(mill0);
    EXPECT_EQ(mill0->keys(),
              QStringList({"device", "id", "lastTransfer", "line", "lines", "name", "percent",
                           "port", "program", "reason", "remainingSeconds", "site", "stallSeconds",
                           "state", "time"}));
    EXPECT_EQ(mill0->value("id"), "halle1/fraese1");
    EXPECT_EQ(mill0->value("state"), "bereit");
    EXPECT_EQ(mill0->value("port"), "COM1");
    EXPECT_TRUE(std::any_of(web.messages.begin(), web.messages.end(), [](const auto& m) {
        return m.topic == "dnc/halle1/fraese1/state" && m.retained;
    }));

    // Events in the order they happened: two programs saved around a call that is sent.
    WriteFile(hall2.Folder("drehbank2") + "/1001.CNC", "%\r\nN10 G0\r\nM30\r\n");
    lathe.Send("%\r\n(DFS,P4711,)\r\nN10 G1 X10\r\nM30\r\n");
    ASSERT_TRUE(WaitFor([&] { return hall2.Log("drehbank2").contains("P4711.CNC PRG Nr"); }));
    lathe.Call("1001");
    lathe.Until("M30\r\n");
    ASSERT_TRUE(WaitFor([&] { return hall2.Log("drehbank2").contains("1001.CNC gesendete"); }));
    lathe.Send("%\r\n(DFS,P4712,)\r\nN10 G1 X20\r\nM30\r\n");
    QList<TClient::TMessage> events;
    ASSERT_TRUE(web.Loop([&] {
        events.clear();
        for (const TClient::TMessage& m : web.messages) {
            if (m.topic == "dnc/halle2/drehbank2/event" && m.Json().value("type") != "log") {
                events.append(m);
            }
        }
        return events.size() >= 3;
    }));
    QStringList seen;
    for (const TClient::TMessage& m : events) {
        const QJsonObject e = m.Json();
        EXPECT_FALSE(m.retained);
        EXPECT_TRUE(QDateTime::fromString(e.value("time").toString(), Qt::ISODate).isValid());
        EXPECT_EQ(e.value("id"), "halle2/drehbank2");
        seen << e.value("type").toString() + ' ' + e.value("program").toString();
    }
    EXPECT_EQ(seen, QStringList({"saved P4711.CNC", "sent 1001.CNC", "saved P4712.CNC"}));

    // A long send: progress reaches the broker while the machine reads.
    WriteFile(hall1.Folder("fraese1") + "/7000.CNC", Program(4000));
    mill.Call("7000");
    int percent = -1;
    ASSERT_TRUE(web.Loop([&] {
        mill.Take(2048);
        const QJsonObject s =
            QJsonDocument::fromJson(web.Last("dnc/halle1/fraese1/state")).object();
        if (s.value("state") != "sendet") return false;
        if (percent < 0) percent = s.value("percent").toInt();
        return s.value("program") == "7000.CNC" && s.value("lines") == 4002 &&
               s.value("percent").toInt() > percent;
    }));

    // Another site's bridge may not command this one: the broker refuses it.
    TClient other(broker.port, "halle2", "pw-halle2");
    EXPECT_EQ(other.Publish("dnc/halle1/fraese1/cmd/abort", R"({"user":"fremd"})"),
              MQTT_RC_NOT_AUTHORIZED);
    // The web front's user may: the send ends, and the log names who ended it.
    EXPECT_EQ(web.Publish("dnc/halle1/fraese1/cmd/abort", R"({"request":"r1","user":"anna"})"), 0);
    const auto answer = web.Next("dnc/halle1/fraese1/event",
                                 [](const QJsonObject& e) { return e.value("type") == "reply"; });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->value("request"), "r1");
    EXPECT_EQ(answer->value("user"), "anna");
    EXPECT_EQ(answer->value("ok"), true) << Json(*answer).constData();
    const auto aborted = web.Next("dnc/halle1/fraese1/event", [](const QJsonObject& e) {
        return e.value("type") == "aborted";
    });
    ASSERT_TRUE(aborted);
    EXPECT_EQ(aborted->value("program"), "7000.CNC");
    EXPECT_TRUE(aborted->value("entry").toString().endsWith("(Web: anna)"))
        << Json(*aborted).constData();
    EXPECT_TRUE(bridge1.Said("abort von anna (Anfrage \"r1\"): Senden abgebrochen"));
    EXPECT_FALSE(bridge1.said.contains("fremd"));
    // Nothing to abort now; a command without a user is refused.
    web.Publish("dnc/halle1/fraese1/cmd/abort", R"({"request":2,"user":"anna"})");
    web.Publish("dnc/halle1/fraese1/cmd/abort", R"({"request":3})");
    for (const char* refused : {"Es läuft kein Senden.", "Der Befehl nennt keinen Benutzer"}) {
        const auto r = web.Next("dnc/halle1/fraese1/event",
                                [](const QJsonObject& e) { return e.value("type") == "reply"; });
        ASSERT_TRUE(r);
        EXPECT_EQ(r->value("ok"), false);
        EXPECT_TRUE(r->value("message").toString().startsWith(QString::fromUtf8(refused)));
    }
}

TEST_F(Mqtt, AnUploadThroughTheBrokerIsCalledByTheMachineAndFetchedBack) {
    hall1.AddMachine("fraese1");
    TCallingCnc cnc(VIRTUAL_CNC, hall1, "fraese1");
    ASSERT_TRUE(cnc.process.waitForStarted());
    ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(cnc.link); }));
    ASSERT_TRUE(broker.Start()) << broker.said.constData();
    TClient web(broker.port, "web", "pw-web");
    web.Subscribe("dnc/halle1/#");
    // A command left retained is never carried out: it came before the bridge.
    web.Publish("dnc/halle1/fraese1/cmd/files", R"({"request":"alt","user":"anna"})", true);
    bridge1.Start(hall1, Args("halle1"));
    ASSERT_TRUE(bridge1.Said("Gespeicherter Befehl auf dnc/halle1/fraese1/cmd/files"))
        << bridge1.said.constData();
    web.Publish("dnc/halle1/fraese1/cmd/files", {}, true);

    // Uploaded while no instance runs; the second replaces the first, kept as a version.
    const QByteArray first = "%\r\nN10 G0 X0\r\nM30\r\n";
    const QByteArray program = "%\r\n(ZWEITE FASSUNG)\r\nN10 G0 X1 \xE4\r\nM30\r\n";
    const auto upload = [&](const char* request, const char* name, const QByteArray& bytes) {
        web.Publish("dnc/halle1/fraese1/cmd/program",
                    Json({{"request", request},
                          {"user", "anna"},
                          {"name", name},
                          {"data", QString::fromLatin1(bytes.toBase64())}}));
        return web.Next("dnc/halle1/fraese1/event",
                        [&](const QJsonObject& e) { return e.value("request") == request; });
    };
    const auto created = upload("u1", "4711.CNC", first);
    ASSERT_TRUE(created);
    EXPECT_EQ(created->value("ok"), true) << Json(*created).constData();
    EXPECT_EQ(created->value("created"), true);
    const auto replaced = upload("u2", "4711.cnc", program);
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->value("name"), "4711.CNC");
    EXPECT_EQ(replaced->value("created"), false);
    EXPECT_EQ(ReadFile(hall1.Folder("fraese1") + "/4711.CNC"), program);
    EXPECT_EQ(ReadFile(hall1.Folder("fraese1") + "/.versionen/" +
                       replaced->value("version").toString() + "-4711.CNC"),
              first);
    for (const char* bad : {"../4711.CNC", "4711.txt", "4711\xE2\x80\xAE.CNC"}) {
        const auto refused = upload(bad, bad, first);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->value("ok"), false) << bad;
    }
    EXPECT_FALSE(QFileInfo::exists(hall1.rootPath + "/4711.CNC"));
    // A folder nothing can be written to: refused with the system's reason and without the
    // server's paths; the program stays as it was.
    {
        ImmutableFolder locked(hall1.Folder("fraese1"));
        if (locked.Set()) {
            const auto failed = upload("u3", "4712.CNC", first);
            ASSERT_TRUE(failed);
            EXPECT_EQ(failed->value("ok"), false);
            EXPECT_EQ(failed->value("status"), 500);
            EXPECT_TRUE(failed->value("message").toString().startsWith("Nicht gespeichert: "))
                << Json(*failed).constData();
            EXPECT_FALSE(failed->value("message").toString().contains(hall1.rootPath));
            web.Publish("dnc/halle1/fraese1/cmd/delete",
                        R"({"request":"x1","user":"anna","name":"4711.CNC"})");
            const auto kept = web.Next("dnc/halle1/fraese1/event", [](const QJsonObject& e) {
                return e.value("request") == "x1";
            });
            ASSERT_TRUE(kept);
            EXPECT_EQ(kept->value("ok"), false);
            EXPECT_EQ(kept->value("status"), 500);
            EXPECT_TRUE(kept->value("message").toString().startsWith("4711.CNC nicht gelöscht"))
                << Json(*kept).constData();
            EXPECT_EQ(ReadFile(hall1.Folder("fraese1") + "/4711.CNC"), program);
        }
    }

    // Fetched back, and listed; answers go to the reply topic.
    web.Publish("dnc/halle1/fraese1/cmd/download",
                R"({"request":"d1","user":"anna","name":"4711.cnc"})");
    const auto fetched = web.Next("dnc/halle1/fraese1/reply");
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->value("request"), "d1") << "a retained command was carried out";
    EXPECT_EQ(QByteArray::fromBase64(fetched->value("data").toString().toLatin1()), program);
    web.Publish("dnc/halle1/fraese1/cmd/files", R"({"request":"f1","user":"anna"})");
    const auto listed = web.Next("dnc/halle1/fraese1/reply");
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->value("files").toArray().size(), 1);

    // The machine calls the uploaded program once its server runs.
    ASSERT_TRUE(hall1.StartService("fraese1"));
    ASSERT_TRUE(cnc.Received(program)) << cnc.process.readAll().constData();
}

TEST_F(Mqtt, BrokerAbsentRestartedAndBridgeKilled) {
    TMachineLine& lathe = hall2.AddMachine("drehbank2");
    ASSERT_TRUE(hall2.StartService("drehbank2"));
    // A dashboard whose session the broker keeps across its restarts.
    const auto dashboard = [&] {
        auto c = std::make_unique<TClient>(broker.port, "web", "pw-web", QString(), "dashboard");
        c->Subscribe("dnc/#");
        return c;
    };
    ASSERT_TRUE(broker.Start()) << broker.said.constData();
    dashboard();
    broker.Stop();

    // No broker at the start (something on its port that hangs up): the bridge waits, says
    // so once and tries again; what happens meanwhile is held.
    QTcpServer nobody;
    int tries = 0;
    ASSERT_TRUE(nobody.listen(QHostAddress::LocalHost, broker.port));
    QObject::connect(&nobody, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* s = nobody.nextPendingConnection()) {
            ++tries;
            s->abort();
            s->deleteLater();
        }
    });
    bridge2.Start(hall2, Args("halle2"));
    lathe.Send("%\r\n(DFS,P1001,)\r\nN10 G1\r\nM30\r\n");
    ASSERT_TRUE(WaitFor([&] { return hall2.Log("drehbank2").contains("P1001.CNC PRG Nr"); }));
    ASSERT_TRUE(WaitFor([&] { return tries >= 3; }, 60000));
    nobody.close();
    EXPECT_TRUE(bridge2.Said("die Brücke wartet und versucht es wieder"))
        << bridge2.said.constData();
    EXPECT_EQ(bridge2.said.count("nicht erreichbar ("), 1);
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(bridge2.Said("mit dem Broker")) << bridge2.said.constData();
    auto client = dashboard();
    const auto held = client->Next("dnc/halle2/drehbank2/event",
                                   [](const QJsonObject& e) { return e.value("type") == "saved"; });
    ASSERT_TRUE(held);
    EXPECT_EQ(held->value("program"), "P1001.CNC");

    // A restart: the bridge says it once, holds what comes meanwhile and publishes every
    // state again.
    client.reset();
    broker.Stop();
    ASSERT_TRUE(bridge2.Said("Verbindung zum Broker")) << bridge2.said.constData();
    lathe.Send("%\r\n(DFS,P1002,)\r\nN10 G1\r\nM30\r\n");
    ASSERT_TRUE(WaitFor([&] { return hall2.Log("drehbank2").contains("P1002.CNC PRG Nr"); }));
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(bridge2.Said("Wieder mit dem Broker")) << bridge2.said.constData();
    EXPECT_EQ(bridge2.said.count("Verbindung zum Broker"), 1);
    // The dashboard may subscribe before or after the bridge's new state reaches the broker:
    // it hears that state only before the held event, or also again (retained) after it.
    client = dashboard();
    EXPECT_TRUE(client->Heard("dnc/halle2/drehbank2/event", [](const QJsonObject& e) {
        return e.value("program") == "P1002.CNC";
    }));
    EXPECT_TRUE(client->Heard("dnc/halle2/drehbank2/state", [](const QJsonObject& s) {
        return s.value("lastTransfer").toObject().value("entry").toString().contains("P1002.CNC");
    }));

    // A broker that crashed and lost everything it kept: every state comes again.
    client.reset();
    broker.Kill();
    QFile::remove(broker.dir.filePath("mosquitto.db"));
    ASSERT_TRUE(broker.Start());
    client = std::make_unique<TClient>(broker.port, "web", "pw-web");
    client->Subscribe("dnc/#");
    EXPECT_TRUE(client->Next("dnc/halle2/drehbank2/state"));

    // A bridge that dies: its last will says the site is offline.
    EXPECT_TRUE(client->Hears("dnc/halle2/online", "1"));
    bridge2.Kill();
    EXPECT_TRUE(client->Hears("dnc/halle2/online", "0"));
    bridge2.Start(hall2, Args("halle2"));
    EXPECT_TRUE(client->Hears("dnc/halle2/online", "1"));
}

TEST_F(Mqtt, WrongPasswordWrongCallAndTls) {
    hall1.AddMachine("fraese1");
    QTemporaryDir keys;
    const auto key = [&](const char* name) { return keys.filePath(name); };
    // A CA of the test's own signs the broker's certificate for 127.0.0.1; another CA does not.
    for (const QStringList& args :
         {QStringList{"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                      "/CN=Test-CA", "-keyout", key("ca.key"), "-out", key("ca.pem")},
          QStringList{"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                      "/CN=Andere-CA", "-keyout", key("other.key"), "-out", key("other.pem")},
          QStringList{"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
                      key("broker.key"), "-out", key("broker.csr")},
          QStringList{"x509", "-req", "-in", key("broker.csr"), "-CA", key("ca.pem"), "-CAkey",
                      key("ca.key"), "-CAcreateserial", "-days", "1", "-extfile", key("san"),
                      "-out", key("broker.pem")}}) {
        WriteFile(key("san"), "subjectAltName=IP:127.0.0.1\n");
        ASSERT_EQ(brokerrig::Run("openssl", args), 0) << args.join(' ').toStdString();
    }
    ASSERT_TRUE(broker.Start(key("ca.pem"), key("broker.pem"), key("broker.key")));
    const QString tls = "mqtts://127.0.0.1:" + QString::number(broker.port);

    // Checked with the CA file: the site goes online through TLS.
    bridge1.Start(hall1, Args("halle1", tls) + QStringList{"--mqtt-cafile", key("ca.pem")});
    TClient web(broker.port, "web", "pw-web", key("ca.pem"));
    ASSERT_TRUE(web.Connected());
    web.Subscribe("dnc/#");
    EXPECT_TRUE(web.Hears("dnc/halle1/online", "1")) << bridge1.said.constData();
    // A certificate the CA file does not vouch for is no broker to talk to.
    bridge2.Start(hall1, Args("halle2", tls) + QStringList{"--mqtt-cafile", key("other.pem")});
    EXPECT_TRUE(bridge2.Said("nicht erreichbar (TLS: ")) << bridge2.said.constData();
    EXPECT_TRUE(bridge2.Said("certificate verify failed")) << bridge2.said.constData();
    bridge2.Kill();

    // A wrong password ends the bridge with its own status; so do unreadable files and calls.
    WriteFile(broker.dir.filePath("halle2.pw"), "falsch\n");
    bridge2.Start(hall1, Args("halle2", tls) + QStringList{"--mqtt-cafile", key("ca.pem")});
    ASSERT_TRUE(bridge2.process.waitForFinished(60000));
    EXPECT_EQ(bridge2.process.exitCode(), 7);
    EXPECT_TRUE(bridge2.Said("lehnt die Anmeldung als halle2 ab")) << bridge2.said.constData();
    const QList<QPair<QStringList, int>> calls{
        {Args("halle1", "http://127.0.0.1:1"), 1},
        {Args("halle1") + QStringList{"--mqtt-cafile", key("ca.pem")}, 1},
        {Args("hal+le1"), 1},
        {{"--mqtt", Url(), "--site", "halle1", "--mqtt-user", "halle1", "--mqtt-password-file",
          key("fehlt.pw")},
         3},
        {Args("halle1", tls) + QStringList{"--mqtt-cafile", key("fehlt.pem")}, 3},
    };
    for (const auto& [args, status] : calls) {
        bridge2.Start(hall1, args);
        ASSERT_TRUE(bridge2.process.waitForFinished(60000));
        EXPECT_EQ(bridge2.process.exitCode(), status) << args.join(' ').toStdString();
    }
}
