// One page for every site: `dnc-server --web --mqtt` beside halle1's machines, halle2's
// through its bridge and a real mosquitto; the API end to end and the page in headless
// Chromium (tests/web/page_test.py), with the broker away, restarted and a bridge killed.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/mqtt/BrokerRig.h"

using namespace brokerrig;
using webrig::PageToolsMissing;
using webrig::RunPage;
using webrig::TEventStream;
using webrig::THttpResult;

namespace {

const QByteArray kPassword = "Spindel-4711";

QJsonObject Find(const QJsonArray& machines, const QString& id) {
    for (const QJsonValue& m : machines) {
        if (m.toObject().value("id") == id) return m.toObject();
    }
    return {};
}

// halle1's PC runs the front; halle2's machines come through the broker.
class OnePage : public ::testing::Test {
  protected:
    // The front's broker options, as its unit gives them.
    QStringList Front() const { return shop.Login("web") + QStringList{"--site", "halle1"}; }
    void StartBridges() {
        bridge1.Start(hall1, shop.Bridge("halle1"));
        ASSERT_TRUE(bridge1.Said("Standort halle1 ist online")) << bridge1.said.constData();
        bridge2.Start(hall2, shop.Bridge("halle2"));
        ASSERT_TRUE(bridge2.Said("Standort halle2 ist online")) << bridge2.said.constData();
    }
    static std::function<bool(const QJsonObject&)> Is(const QString& id, const QString& state) {
        return
            [=](const QJsonObject& m) { return m.value("id") == id && m.value("state") == state; };
    }

    TShop shop;
    TBroker& broker = shop.broker;
    TWebRig hall1, hall2;
    TBridgeProcess bridge1, bridge2;
};

}  // namespace

TEST_F(OnePage, BothSitesRemoteProgressAbortUploadCallAndDownload) {
    hall1.AddMachine("fraese1");
    TMachineLine& lathe = hall2.AddMachine("drehbank2");
    hall2.AddMachine("drehbank3");
    ASSERT_TRUE(hall1.StartService("fraese1"));
    ASSERT_TRUE(hall2.StartService("drehbank2"));
    ASSERT_EQ(hall1.MakeUser("meister", "bedienen", kPassword), 0);

    // The front starts while the broker is away: it says so and serves this PC's machines.
    ASSERT_TRUE(hall1.StartWeb(Front())) << hall1.webSaid.constData();
    const QByteArray op = hall1.Login("meister", kPassword);
    ASSERT_FALSE(op.isEmpty());
    EXPECT_TRUE(
        hall1.WebSaid("die Webseite zeigt die Maschinen dieses Rechners und versucht es "
                      "wieder"))
        << hall1.webSaid.constData();
    const QJsonArray alone = hall1.Http("GET", "/api/machines", {}, {}, op).Json().toArray();
    ASSERT_EQ(alone.size(), 1);
    EXPECT_EQ(Find(alone, "halle1/fraese1").value("state"), "bereit");

    // The broker and both bridges: every machine once, by its id; halle1's from here.
    TEventStream events(hall1.port, op);
    ASSERT_TRUE(broker.Start()) << broker.said.constData();
    StartBridges();
    ASSERT_TRUE(events.WaitFor("machine", Is("halle2/drehbank3", "aus"), 60000))
        << events.seen.join(' ').constData() << hall1.webSaid.constData();
    EXPECT_TRUE(hall1.WebSaid("mit dem Broker"));
    const QJsonArray all = hall1.Http("GET", "/api/machines", {}, {}, op).Json().toArray();
    QStringList ids;
    for (const QJsonValue& v : all) {
        const QJsonObject m = v.toObject();
        ids << m.value("id").toString();
        EXPECT_EQ(m.value("site").toString() + '/' + m.value("name").toString(), ids.last());
    }
    EXPECT_EQ(ids, QStringList({"halle1/fraese1", "halle2/drehbank2", "halle2/drehbank3"}));
    EXPECT_EQ(Find(all, "halle2/drehbank2").value("port"), "COM1");
    // An id is one segment, its "/" as %2F; this PC's machines also by their plain names.
    for (const char* path : {"/api/machines/halle1%2Ffraese1", "/api/machines/fraese1"}) {
        EXPECT_EQ(hall1.Http("GET", path, {}, {}, op).Json().toObject().value("id"),
                  "halle1/fraese1")
            << path;
    }
    EXPECT_EQ(hall1.Http("GET", "/api/machines/halle3%2Ffraese1", {}, {}, op).status, 404);

    // A long send on the other site: its progress reaches the page's stream; then it is
    // aborted from the page, and the machine's log names the web user.
    WriteFile(hall2.Folder("drehbank2") + "/7000.CNC", Program(4000));
    lathe.Call("7000");
    int percent = -1;
    ASSERT_TRUE(events.WaitFor(
        "machine",
        [&](const QJsonObject& m) {
            lathe.Take(2048);
            if (m.value("id") != "halle2/drehbank2" || m.value("state") != "sendet") return false;
            EXPECT_EQ(m.value("program"), "7000.CNC");
            if (percent < 0) percent = m.value("percent").toInt();
            return m.value("percent").toInt() > percent;
        },
        60000))
        << events.seen.join(' ').constData();
    EXPECT_EQ(hall1.Change("POST", "/api/machines/halle2%2Fdrehbank2/abort", op).status, 202);
    ASSERT_TRUE(events.WaitFor("log", [](const QJsonObject& e) {
        return e.value("id") == "halle2/drehbank2" && e.value("site") == "halle2" &&
               e.value("entry").toString().startsWith("7000.CNC nicht vollständig gesendet") &&
               e.value("entry").toString().endsWith("(Web: meister)");
    })) << events.seen.join(' ').constData();
    EXPECT_TRUE(hall2.Log("drehbank2").contains(" (Web: meister) "));
    EXPECT_TRUE(
        hall1.WebSaid("Abbruch Senden: Benutzer meister, Adresse 127.0.0.1, halle2/drehbank2\n"));
    ASSERT_TRUE(events.WaitFor("machine", Is("halle2/drehbank2", "bereit")));
    const THttpResult again = hall1.Change("POST", "/api/machines/halle2%2Fdrehbank2/abort", op);
    EXPECT_EQ(again.status, 409);
    EXPECT_EQ(again.Json().toObject().value("error"), "Es läuft kein Senden.");

    // Uploads to a machine of the other site whose server is off, its line the virtual CNC's:
    // the same checks, the replaced one kept as a version; then its server starts and the
    // machine calls the program.
    TCallingCnc cnc(VIRTUAL_CNC, hall2, "drehbank3");
    ASSERT_TRUE(cnc.process.waitForStarted());
    const QByteArray first = "%\r\nN10 G0 X0\r\nM30\r\n";
    const QByteArray program = "%\r\n(ZWEITE FASSUNG)\r\nN10 G0 X1 \xE4\r\nM30\r\n";
    const QByteArray at = "/api/machines/halle2%2Fdrehbank3/programs/";
    EXPECT_EQ(hall1.Change("PUT", at + "4711.CNC", op, first).status, 201);
    const THttpResult replaced = hall1.Change("PUT", at + "4711.cnc", op, program);
    ASSERT_EQ(replaced.status, 200) << replaced.body.constData();
    const QString version = replaced.Json().toObject().value("version").toString();
    EXPECT_EQ(replaced.Json().toObject().value("name"), "4711.CNC");
    EXPECT_EQ(ReadFile(hall2.Folder("drehbank3") + "/.versionen/" + version + "-4711.CNC"), first);
    EXPECT_TRUE(
        hall1.WebSaid("Ersetzt: Benutzer meister, Adresse 127.0.0.1, "
                      "halle2/drehbank3/4711.CNC (vorherige Fassung " +
                      version.toUtf8() + ")"));
    const THttpResult wrong = hall1.Change("PUT", at + "4711.txt", op, first);
    EXPECT_EQ(wrong.status, 400) << wrong.body.constData();
    EXPECT_FALSE(QFileInfo::exists(hall2.Folder("drehbank3") + "/4711.txt"));
    EXPECT_EQ(hall1.Change("PUT", at + "..%2F4711.CNC", op, first).status, 400);
    // Its versions and both programs, fetched from the other site.
    const QJsonArray versions =
        hall1.Http("GET", at + "4711.CNC/versions", {}, {}, op).Json().toArray();
    ASSERT_EQ(versions.size(), 1);
    EXPECT_EQ(versions[0].toObject().value("id"), version);
    EXPECT_EQ(hall1.Http("GET", at + "4711.CNC", {}, {}, op).body, program);
    EXPECT_EQ(hall1.Http("GET", at + "4711.CNC/versions/" + version.toUtf8(), {}, {}, op).body,
              first);
    ASSERT_TRUE(hall2.StartService("drehbank3")) << hall2.Journal("drehbank3").constData();
    ASSERT_TRUE(cnc.Received(program)) << cnc.process.readAll().constData();

    // Its log as the bridge reads it, without the other PC's paths; a restore and a delete,
    // each kept as a version.
    ASSERT_TRUE(WaitFor([&] { return hall2.Log("drehbank3").contains("4711.CNC gesendete"); }));
    cnc.Kill();
    const QJsonArray log =
        hall1.Http("GET", "/api/machines/halle2%2Fdrehbank3/log?limit=3", {}, {}, op)
            .Json()
            .toArray();
    // The line lost once the virtual CNC is gone may follow it.
    ASSERT_TRUE(std::any_of(log.begin(), log.end(), [](const QJsonValue& e) {
        return e.toObject().value("entry").toString().startsWith("4711.CNC gesendete PRG Nr = ");
    })) << QJsonDocument(log).toJson().constData();
    EXPECT_FALSE(QJsonDocument(log).toJson().contains(hall2.rootPath.toUtf8()));
    EXPECT_EQ(
        hall1.Change("POST", at + "4711.CNC/versions/" + version.toUtf8() + "/restore", op).status,
        200);
    EXPECT_EQ(ReadFile(hall2.Folder("drehbank3") + "/4711.CNC"), first);
    EXPECT_EQ(hall1.Change("DELETE", at + "4711.CNC", op).status, 200);
    EXPECT_FALSE(QFileInfo::exists(hall2.Folder("drehbank3") + "/4711.CNC"));
    const QJsonArray deleted =
        hall1.Http("GET", "/api/machines/halle2%2Fdrehbank3/deleted", {}, {}, op).Json().toArray();
    ASSERT_EQ(deleted.size(), 1);
    EXPECT_EQ(deleted[0].toObject().value("name"), "4711.CNC");
}

TEST_F(OnePage, AReceivedProgramTakenOverADeadBridgeABrokerRestartAndAWrongPassword) {
    if (const QString missing = PageToolsMissing(); !missing.isEmpty()) {
        GTEST_FAIL() << missing.toStdString();
    }
    hall1.AddMachine("fraese1");
    TMachineLine& lathe = hall2.AddMachine("drehbank2");
    WriteFile(hall2.Folder("drehbank2") + "/1001.CNC", "%\r\nN10 G0\r\nM30\r\n");
    ASSERT_TRUE(hall1.StartService("fraese1"));
    ASSERT_TRUE(hall2.StartService("drehbank2"));
    ASSERT_EQ(hall1.MakeUser("meister", "bedienen", kPassword), 0);
    ASSERT_TRUE(broker.Start()) << broker.said.constData();
    StartBridges();
    ASSERT_TRUE(hall1.StartWeb(Front())) << hall1.webSaid.constData();
    const QByteArray op = hall1.Login("meister", kPassword);
    ASSERT_FALSE(op.isEmpty());

    // A program the other site's machine sent, taken over there as a program.
    lathe.Send("%\r\n(DFS,P4711,)\r\nN10 G1 X10\r\nM30\r\n");
    ASSERT_TRUE(WaitFor([&] { return hall2.Log("drehbank2").contains("P4711.CNC PRG Nr"); }));
    const THttpResult taken =
        hall1.Change("POST", "/api/machines/halle2%2Fdrehbank2/received/P4711.CNC/accept", op,
                     R"({"as":"4711.CNC"})");
    EXPECT_EQ(taken.status, 201) << taken.body.constData();
    EXPECT_EQ(ReadFile(hall2.Folder("drehbank2") + "/4711.CNC"),
              ReadFile(hall2.Folder("drehbank2") + "/save/P4711.CNC"));
    EXPECT_TRUE(
        hall1.WebSaid("Übernommen: Benutzer meister, Adresse 127.0.0.1, "
                      "halle2/drehbank2/empfangen P4711.CNC als 4711.CNC"));

    // The page shows the other site's machine; its bridge is killed meanwhile.
    const QDateTime killed = QDateTime::currentDateTime();
    RunPage(
        hall1, PAGE_SCRIPT, SHOT_FOLDER, kPassword, "remote",
        {"--machine", "halle2/drehbank2", "--program", "1001.CNC"},
        [&](const QByteArray& cue) {
            if (cue == "KILL") bridge2.Kill();
        },
        [] {});
    const QJsonObject dead =
        hall1.Http("GET", "/api/machines/halle2%2Fdrehbank2", {}, {}, op).Json().toObject();
    EXPECT_EQ(dead.value("state"), "unbekannt");
    EXPECT_EQ(dead.value("reason"), "Standort halle2 ist offline");
    EXPECT_TRUE(dead.value("lines").isNull());
    const QDateTime seen = QDateTime::fromString(dead.value("seen").toString(), Qt::ISODate);
    // Seen until its bridge was killed (the page ran meanwhile), in seconds.
    EXPECT_TRUE(seen.isValid() && seen >= killed.addSecs(-1) &&
                seen <= QDateTime::currentDateTime())
        << dead.value("seen").toString().toStdString();
    const THttpResult away =
        hall1.Change("PUT", "/api/machines/halle2%2Fdrehbank2/programs/1.CNC", op, "%\r\nM30\r\n");
    EXPECT_EQ(away.status, 503);
    EXPECT_EQ(away.Json().toObject().value("error"), "Standort halle2 ist offline.");

    // The bridge back; then the broker restarts: the other site is "unbekannt" meanwhile, this
    // PC's machines are served, and everything comes back.
    TEventStream events(hall1.port, op);
    bridge2.Start(hall2, shop.Bridge("halle2"));
    ASSERT_TRUE(events.WaitFor("machine", Is("halle2/drehbank2", "bereit"), 60000))
        << events.seen.join(' ').constData();
    broker.Stop();
    ASSERT_TRUE(events.WaitFor(
        "machine",
        [](const QJsonObject& m) {
            return Is("halle2/drehbank2", "unbekannt")(m) &&
                   m.value("reason") == "Keine Verbindung zum Broker";
        },
        60000))
        << events.seen.join(' ').constData();
    EXPECT_TRUE(hall1.WebSaid("Verbindung zum Broker"));
    EXPECT_EQ(
        hall1.Http("GET", "/api/machines/fraese1", {}, {}, op).Json().toObject().value("state"),
        "bereit");
    ASSERT_TRUE(broker.Start()) << broker.said.constData();
    ASSERT_TRUE(events.WaitFor("machine", Is("halle2/drehbank2", "bereit"), 90000))
        << events.seen.join(' ').constData() << hall1.webSaid.constData();
    EXPECT_TRUE(hall1.WebSaid("Wieder mit dem Broker"));

    // A front whose password the broker refuses ends with its own status and says why.
    WriteFile(broker.dir.filePath("falsch.pw"), "falsch\n");
    QProcess refused;
    refused.setProcessEnvironment(hall1.Env(hall1.rootPath));
    refused.start(DNC_SERVER, QStringList{"--web", "--listen", "127.0.0.1:0", "--mqtt", shop.Url(),
                                          "--mqtt-user", "web", "--mqtt-password-file",
                                          broker.dir.filePath("falsch.pw"), hall1.rootPath});
    ASSERT_TRUE(refused.waitForFinished(60000));
    EXPECT_EQ(refused.exitCode(), 7);
    EXPECT_TRUE(refused.readAllStandardError().contains("lehnt die Anmeldung als web ab"));
}
