// The bridge's numbers: 64 instances under two sites, a real mosquitto on 127.0.0.1, a bridge
// per site and the web front of halle1 showing both; how soon a state change reaches a
// subscriber through the broker and the page's event stream (halle1's machines through their
// sockets, halle2's through the broker), and the memory and idle CPU of bridges and front.
// Real services on pseudo-terminals, loopback only.
//   mqtt-bench [instances]   (default 64, half on each site)
#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench/ProcessStats.h"
#include "tests/mqtt/BrokerRig.h"

using namespace bench;
using namespace brokerrig;

namespace {

struct TDelays {
    std::vector<double> toSending, toReady;
    void Print(const char* what) const {
        std::printf(
            "%s over %zu sends: call -> \"sendet\" median %.1f ms (worst %.1f), last byte read "
            "-> \"bereit\" median %.1f ms (worst %.1f)\n",
            what, toSending.size(), Median(toSending),
            *std::max_element(toSending.begin(), toSending.end()), Median(toReady),
            *std::max_element(toReady.begin(), toReady.end()));
    }
};

void Idle(const char* what, qint64 pid) {
    const long ticks = CpuTicks(pid);
    QElapsedTimer t;
    t.start();
    WaitFor([&] { return t.elapsed() >= 5000; }, 6000);
    std::printf("%s: VmRSS %s, peak %s; idle %ld clock ticks (of %ld per second) of CPU in 5 s\n",
                what, StatusField(pid, "VmRSS").constData(), StatusField(pid, "VmHWM").constData(),
                CpuTicks(pid) - ticks, sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(2, atoi(argv[1])) : 64;
    TShop shop;
    TBroker& broker = shop.broker;
    if (!broker.Start()) return 1;
    TWebRig sites[2];
    const char* siteNames[2] = {"halle1", "halle2"};
    QElapsedTimer clock;
    clock.start();
    std::vector<std::pair<int, QString>> machines;
    for (int i = 0; i < count; ++i) {
        const int site = i % 2;
        machines.push_back({site, QString("maschine%1").arg(i, 2, 10, QChar('0'))});
        sites[site].AddMachine(machines.back().second);
        if (!sites[site].StartService(machines.back().second)) {
            std::fprintf(stderr, "service %d did not start\n", i);
            return 1;
        }
    }
    std::printf("%d instances started in %.1f s\n", count, clock.elapsed() / 1000.0);
    TBridgeProcess bridges[2];
    for (int s = 0; s < 2; ++s) {
        bridges[s].Start(sites[s], shop.Bridge(siteNames[s]));
        if (!bridges[s].Said("ist online")) return 1;
    }
    TClient client(broker.port, "web", "pw-web");
    client.Subscribe("dnc/+/+/state");
    client.Loop([&] {
        return std::count_if(client.messages.begin(), client.messages.end(),
                             [](const auto& m) { return m.retained; }) >= count;
    });
    std::printf("retained states of %d machines at a new subscriber\n",
                int(client.messages.size()));

    // The front of halle1 and a page's event stream, once it shows every machine.
    if (sites[0].MakeUser("bench", "bedienen", "Spindel-4711") != 0 ||
        !sites[0].StartWeb(shop.Login("web") + QStringList{"--site", "halle1"})) {
        std::fprintf(stderr, "the web front did not start: %s\n", sites[0].webSaid.constData());
        return 1;
    }
    const QByteArray cookie = sites[0].Login("bench", "Spindel-4711");
    webrig::TEventStream page(sites[0].port, cookie);
    if (!page.WaitFor(
            "machines",
            [&](const QJsonObject& o) { return o.value("list").toArray().size() == count; },
            60000)) {
        std::fprintf(stderr, "the page never listed all %d machines\n", count);
        return 1;
    }

    // A call on a machine's line until "sendet" is heard, and the end of the send until
    // "bereit"; at a subscriber of the broker, then at the page, machines of both sites in
    // turn.
    TDelays atBroker, atPage[2];
    for (int round = 0; round < 40; ++round) {
        const bool onPage = round >= 20;
        const auto& [site, name] = machines[size_t(round * 7) % machines.size()];
        WriteFile(sites[site].Folder(name) + "/4711.CNC", "%\r\nN10 G0 X0\r\nM30\r\n");
        TMachineLine& line = *sites[site].lines[name];
        const QString topic = QString("dnc/%1/%2/state").arg(siteNames[site], name);
        const QString id = QString("%1/%2").arg(siteNames[site], name);
        const auto heard = [&](const char* state) {
            if (!onPage) {
                return client.Loop([&] {
                    return QJsonDocument::fromJson(client.Last(topic)).object().value("state") ==
                           state;
                });
            }
            return page.WaitFor("machine", [&](const QJsonObject& m) {
                return m.value("id") == id && m.value("state") == state;
            });
        };
        TDelays& delays = onPage ? atPage[site] : atBroker;
        QElapsedTimer t;
        t.start();
        line.Call("4711");
        if (!heard("sendet")) return 1;
        delays.toSending.push_back(t.nsecsElapsed() / 1e6);
        line.Until("M30\r\n");
        t.restart();
        if (!heard("bereit")) return 1;
        delays.toReady.push_back(t.nsecsElapsed() / 1e6);
    }
    atBroker.Print("state change to a subscriber of the broker");
    atPage[0].Print("state change to the page, halle1's machines (its sockets)");
    atPage[1].Print("state change to the page, halle2's machines (through the broker)");

    for (int s = 0; s < 2; ++s) {
        Idle(QString("bridge %1 (%2 machines)")
                 .arg(siteNames[s])
                 .arg(count / 2 + (s == 0 ? count % 2 : 0))
                 .toUtf8()
                 .constData(),
             bridges[s].process.processId());
    }
    Idle(QString("web front (%1 machines, one open stream)").arg(count).toUtf8().constData(),
         sites[0].web.processId());
    return 0;
}
