// The bridge's numbers: 64 instances under two sites, a real mosquitto on 127.0.0.1 and a
// bridge per site; how soon a state change reaches a subscriber through the broker, and the
// bridges' memory and idle CPU. Real services on pseudo-terminals, loopback only.
//   mqtt-bench [instances]   (default 64, half on each site)
#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench/ProcessStats.h"
#include "tests/mqtt/BrokerRig.h"

using namespace bench;
using namespace brokerrig;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(2, atoi(argv[1])) : 64;
    TBroker broker({{"halle1", "pw-halle1"}, {"halle2", "pw-halle2"}, {"bench", "pw-bench"}},
                   "user halle1\ntopic readwrite dnc/halle1/#\nuser halle2\ntopic readwrite "
                   "dnc/halle2/#\nuser bench\ntopic read dnc/#\n");
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
        WriteFile(broker.dir.filePath(QString(siteNames[s]) + ".pw"),
                  "pw-" + QByteArray(siteNames[s]) + "\n");
        bridges[s].Start(sites[s],
                         {"--mqtt", "mqtt://127.0.0.1:" + QString::number(broker.port), "--site",
                          siteNames[s], "--mqtt-user", siteNames[s], "--mqtt-password-file",
                          broker.dir.filePath(QString(siteNames[s]) + ".pw")});
        if (!bridges[s].Said("ist online")) return 1;
    }
    TClient client(broker.port, "bench", "pw-bench");
    client.Subscribe("dnc/+/+/state");
    client.Loop([&] {
        return std::count_if(client.messages.begin(), client.messages.end(),
                             [](const auto& m) { return m.retained; }) >= count;
    });
    std::printf("retained states of %d machines at a new subscriber\n",
                int(client.messages.size()));

    // A call on a machine's line until the subscriber hears "sendet", and the end of the send
    // until it hears "bereit"; machines of both sites in turn.
    std::vector<double> toSending, toReady;
    for (int i = 0; i < 20; ++i) {
        const auto& [site, name] = machines[size_t(i * 7) % machines.size()];
        WriteFile(sites[site].Folder(name) + "/4711.CNC", "%\r\nN10 G0 X0\r\nM30\r\n");
        TMachineLine& line = *sites[site].lines[name];
        const QString topic = QString("dnc/%1/%2/state").arg(siteNames[site], name);
        const auto state = [&] {
            return QJsonDocument::fromJson(client.Last(topic)).object().value("state").toString();
        };
        QElapsedTimer t;
        t.start();
        line.Call("4711");
        client.Loop([&] { return state() == "sendet"; });
        toSending.push_back(t.nsecsElapsed() / 1e6);
        line.Until("M30\r\n");
        t.restart();
        client.Loop([&] { return state() == "bereit"; });
        toReady.push_back(t.nsecsElapsed() / 1e6);
    }
    std::printf(
        "state change through the broker over 20 sends: call -> \"sendet\" median %.1f ms "
        "(worst %.1f), last byte read -> \"bereit\" median %.1f ms (worst %.1f)\n",
        Median(toSending), *std::max_element(toSending.begin(), toSending.end()), Median(toReady),
        *std::max_element(toReady.begin(), toReady.end()));

    for (int s = 0; s < 2; ++s) {
        const qint64 pid = bridges[s].process.processId();
        const long ticks = CpuTicks(pid);
        QElapsedTimer t;
        t.start();
        WaitFor([&] { return t.elapsed() >= 5000; }, 6000);
        std::printf(
            "bridge %s (%d machines): VmRSS %s, peak %s; idle %ld clock ticks (of %ld "
            "per second) of CPU in 5 s\n",
            siteNames[s], count / 2 + (s == 0 ? count % 2 : 0),
            StatusField(pid, "VmRSS").constData(), StatusField(pid, "VmHWM").constData(),
            CpuTicks(pid) - ticks, sysconf(_SC_CLK_TCK));
    }
    return 0;
}
