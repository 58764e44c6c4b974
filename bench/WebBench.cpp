// The web side's numbers: GET /api/machines over 32 instances, how soon a state change
// reaches an open event stream, the web process's memory with 50 open event streams, and
// what an idle instance spends on publishing. Real services on pseudo-terminals, the real
// web process, loopback only.
//   web-bench [instances]   (default 32)
#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench/ProcessStats.h"
#include "tests/web/WebRig.h"

using namespace bench;
using namespace webrig;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 32;
    TWebRig rig;
    QElapsedTimer clock;
    clock.start();
    std::vector<QString> names;
    for (int i = 0; i < count; ++i) {
        names.push_back(QString("maschine%1").arg(i, 2, 10, QChar('0')));
        rig.AddMachine(names.back());
        if (!rig.StartService(names.back())) {
            std::fprintf(stderr, "service %d did not start\n", i);
            return 1;
        }
    }
    rig.MakeUser("bench", "bedienen", "bench-passwort");
    if (!rig.StartWeb()) return 1;
    const QByteArray cookie = rig.Login("bench", "bench-passwort");
    std::printf("%d instances started in %.1f s\n", count, clock.elapsed() / 1000.0);

    // GET /api/machines: keep-alive on one connection, as a page does.
    {
        QTcpSocket socket;
        socket.connectToHost("127.0.0.1", rig.port);
        socket.waitForConnected(5000);
        const QByteArray request =
            "GET /api/machines HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n";
        std::vector<double> ms;
        int listed = 0;
        for (int i = 0; i < 50; ++i) {
            QElapsedTimer t;
            t.start();
            const THttpResult r = Exchange(socket, request);
            ms.push_back(t.nsecsElapsed() / 1e6);
            listed = r.Json().toArray().size();
        }
        std::printf("GET /api/machines (%d machines): median %.2f ms, max %.2f ms over 50\n",
                    listed, Median(ms), *std::max_element(ms.begin(), ms.end()));
    }

    // A state change to an open event stream: a call on the first machine's line until the
    // stream says "sendet", and its end until it says "bereit".
    {
        WriteFile(rig.Folder(names[0]) + "/4711.CNC", "%\r\nN10 G0 X0\r\nM30\r\n");
        TMachineLine& line = *rig.lines[names[0]];
        TEventStream events(rig.port, cookie);
        events.WaitFor("machines", [](const QJsonObject&) { return true; });
        std::vector<double> toSending, toReady;
        for (int i = 0; i < 10; ++i) {
            QElapsedTimer t;
            t.start();
            line.Call("4711");
            const QString name = names[0];
            events.WaitFor("machine", [&](const QJsonObject& o) {
                return o.value("name") == name && o.value("state") == "sendet";
            });
            toSending.push_back(t.nsecsElapsed() / 1e6);
            line.Until("M30\r\n");
            t.restart();
            events.WaitFor("machine", [&](const QJsonObject& o) {
                return o.value("name") == name && o.value("state") == "bereit";
            });
            toReady.push_back(t.nsecsElapsed() / 1e6);
        }
        std::printf(
            "state change to an open event stream: call -> \"sendet\" median %.1f ms "
            "(max %.1f), last byte read -> \"bereit\" median %.1f ms (max %.1f)\n",
            Median(toSending), *std::max_element(toSending.begin(), toSending.end()),
            Median(toReady), *std::max_element(toReady.begin(), toReady.end()));
    }

    // Memory of the web process with 50 open event streams.
    {
        const qint64 pid = rig.web.processId();
        const QByteArray before = StatusField(pid, "VmRSS");
        std::vector<std::unique_ptr<TEventStream>> streams;
        for (int i = 0; i < 50; ++i) {
            streams.push_back(std::make_unique<TEventStream>(rig.port, cookie));
            streams.back()->WaitFor("machines", [](const QJsonObject&) { return true; });
        }
        std::printf("web process: VmRSS %s before, %s with 50 open event streams (peak %s)\n",
                    before.constData(), StatusField(pid, "VmRSS").constData(),
                    StatusField(pid, "VmHWM").constData());
    }

    // An idle instance: CPU time over 10 s, with the web process reading its socket.
    {
        const qint64 pid = rig.services[names[1]]->processId();
        const long ticks = CpuTicks(pid);
        QElapsedTimer t;
        t.start();
        WaitFor([&] { return t.elapsed() >= 10000; }, 11000);
        std::printf(
            "idle instance with a reader: %ld clock ticks (of %ld per second) of CPU in "
            "10 s\n",
            CpuTicks(pid) - ticks, sysconf(_SC_CLK_TCK));
    }
    return 0;
}
