// The web side's numbers: GET /api/machines over 32 instances, how soon a state change
// reaches an open event stream, the web process's memory with 50 open event streams, the
// slowest GET while 40 logins fail, and what an idle instance spends on publishing. Real services
// on pseudo-terminals, the real web process, loopback only.
//   web-bench [instances]   (default 32)
#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <map>
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

    // Memory of the web process with 50 open event streams: as a shop's screens open them,
    // a few per user and address (one user may hold 8, one session 4, one address 32
    // connections).
    {
        const qint64 pid = rig.web.processId();
        const QByteArray before = StatusField(pid, "VmRSS");
        std::vector<std::unique_ptr<TEventStream>> streams;
        QByteArrayList sessions;
        for (int u = 0; u < 7; ++u) {
            const QString user = QString("leser%1").arg(u);
            rig.MakeUser(user, "lesen", "bench-passwort");
            for (int k = 0; k < 2; ++k) sessions.append(rig.Login(user.toUtf8(), "bench-passwort"));
        }
        for (int i = 0; i < 50; ++i) {
            const QByteArray from = "127.0.0." + QByteArray::number(10 + i / 16);
            streams.push_back(std::make_unique<TEventStream>(rig.port, sessions[i / 4], from));
            streams.back()->WaitFor("machines", [](const QJsonObject&) { return true; });
        }
        std::printf("web process: VmRSS %s before, %s with 50 open event streams (peak %s)\n",
                    before.constData(), StatusField(pid, "VmRSS").constData(),
                    StatusField(pid, "VmHWM").constData());
    }

    // A login storm: 40 logins with wrong passwords from ten addresses at once; meanwhile
    // GET /api/machines again and again from another address, until every login is answered.
    {
        std::vector<std::unique_ptr<QTcpSocket>> storm;
        const QByteArray body = "{\"user\":\"bench\",\"password\":\"falsch-falsch\"}";
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < 40; ++i) {
            storm.push_back(std::make_unique<QTcpSocket>());
            const QByteArray from = "127.0.0." + QByteArray::number(100 + i / 4);
            ConnectFrom(*storm.back(), rig.port, from.constData());
            storm.back()->write(
                "POST /api/login HTTP/1.1\r\n" + rig.Host() + "\r\nOrigin: " + rig.Origin() +
                "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size()) +
                "\r\n\r\n" + body);
            storm.back()->flush();
        }
        std::vector<double> ms;
        std::map<int, int> answers;
        size_t answered = 0;
        while (answered < storm.size() && t.elapsed() < 120000) {
            QElapsedTimer g;
            g.start();
            rig.Http("GET", "/api/machines", {}, {}, cookie);
            ms.push_back(g.nsecsElapsed() / 1e6);
            answered = 0;
            for (auto& s : storm) {
                if (s->state() != QAbstractSocket::ConnectedState || s->bytesAvailable() > 0) {
                    ++answered;
                }
            }
        }
        const double storming = t.elapsed() / 1000.0;
        for (auto& s : storm) ++answers[UntilClosed(*s).mid(9, 3).toInt()];
        std::printf("login storm (40 wrong passwords from 10 addresses, answered in %.1f s:",
                    storming);
        for (const auto& [status, n] : answers) std::printf(" %d x %d", n, status);
        std::printf("): %zu GET /api/machines meanwhile, median %.2f ms, worst %.2f ms\n",
                    ms.size(), Median(ms), *std::max_element(ms.begin(), ms.end()));
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
