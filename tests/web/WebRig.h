#pragma once
// Machines under one root as a shop runs them: a folder each with Config.ini, its settings
// and a port map whose COM1 is a pseudo-terminal the test plays the machine on; a
// `dnc-server --service` in each; users made with `--web-user`; `dnc-server --web` on a free
// port of 127.0.0.1; and a plain HTTP client that sends exactly the bytes a test asks for.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <map>
#include <memory>

#include "tests/common/TestFiles.h"
#include "tests/common/TestPty.h"

namespace webrig {

using test_files::ReadFile;
using test_files::WaitFor;
using test_files::WriteFile;

// The machine's end of the line: the master of a pseudo-terminal whose slave is COM1.
class TMachineLine {
  public:
    explicit TMachineLine(const QString& link) {
        pty_.Raw();
        pty_.NonBlocking();
        ok_ = pty_.LinkAs(link);
    }
    bool Ok() const { return ok_; }
    void Send(const QByteArray& bytes) {
        for (qsizetype at = 0; at < bytes.size();) {
            const ssize_t n =
                ::write(pty_.Master(), bytes.constData() + at, size_t(bytes.size() - at));
            if (n > 0)
                at += n;
            else
                QThread::msleep(2);
        }
    }
    void Call(const QByteArray& number) { Send("%Prg\r\nO" + number + "\r\nM30\r\n"); }
    // Up to max bytes that are there now.
    QByteArray Take(qsizetype max = 1 << 20) {
        QByteArray out(max, '\0');
        const ssize_t n = ::read(pty_.Master(), out.data(), size_t(max));
        out.resize(n > 0 ? n : 0);
        return out;
    }
    // Reads until got ends with marker or the deadline passes.
    QByteArray Until(const QByteArray& marker, int deadlineMs = 30000) {
        QByteArray got;
        WaitFor(
            [&] {
                got += Take();
                return got.endsWith(marker);
            },
            deadlineMs);
        return got;
    }

  private:
    TestPty pty_;
    bool ok_ = false;
};

struct THttpResult {
    int status = 0;
    QByteArray head;
    QByteArray body;
    QByteArray Header(const QByteArray& name) const {
        for (const QByteArray& line : head.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == name)
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }
    QJsonValue Json() const {
        const QJsonDocument d = QJsonDocument::fromJson(body);
        return d.isArray() ? QJsonValue(d.array()) : QJsonValue(d.object());
    }
};

// Connects to the server from a local address of one's choosing (127.0.0.2 plays another
// machine of the shop network, or the attacker).
inline bool ConnectFrom(QTcpSocket& socket, quint16 port, const char* from = "127.0.0.1") {
    socket.bind(QHostAddress(QString::fromLatin1(from)), 0);
    socket.connectToHost("127.0.0.1", port);
    return socket.waitForConnected(5000);
}

// Reads until the server has closed the connection; what came.
inline QByteArray UntilClosed(QTcpSocket& socket, int deadlineMs = 30000) {
    QByteArray got;
    WaitFor(
        [&] {
            got += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        deadlineMs);
    return got + socket.readAll();
}

// Sends raw bytes and reads one response (Content-Length, or until the server closes); a
// request already sent when bytes are empty.
inline THttpResult Exchange(QTcpSocket& socket, const QByteArray& request) {
    THttpResult r;
    socket.write(request);
    socket.flush();
    QByteArray got;
    qsizetype headEnd = -1;
    qint64 length = -1;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000) {
        if (headEnd < 0 && (headEnd = got.indexOf("\r\n\r\n")) >= 0) {
            r.head = got.left(headEnd);
            r.status = r.head.mid(9, 3).toInt();
            const QByteArray l = r.Header("content-length");
            length = l.isEmpty() ? -1 : l.toLongLong();
        }
        if (headEnd >= 0 && length >= 0 && got.size() >= headEnd + 4 + length) break;
        if (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0)
            break;
        // A server in this process answers only while its events are processed.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (socket.bytesAvailable() == 0) socket.waitForReadyRead(5);
        got += socket.readAll();
    }
    if (headEnd >= 0) r.body = got.mid(headEnd + 4, length >= 0 ? length : -1);
    return r;
}

// A program of `lines` lines, each about 40 bytes.
inline QByteArray Program(int lines) {
    QByteArray p = "%\r\n";
    for (int k = 1; k <= lines; ++k)
        p += "N" + QByteArray::number(k * 10) + " G1 X" + QByteArray::number(k) +
             ".500 Y-20.125 F1200\r\n";
    return p + "M30\r\n";
}

class TWebRig {
  public:
    TWebRig() : rootPath(root.path()) {}
    ~TWebRig() {
        std::vector<QProcess*> all{&web};
        for (auto& [name, p] : services) all.push_back(p.get());
        for (QProcess* p : all) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
    }

    QString Folder(const QString& machine) const { return rootPath + u'/' + machine; }

    // A machine folder with its line; timer: the dwell in Config.ini.
    TMachineLine& AddMachine(const QString& name, const QByteArray& timer = "0") {
        const QString f = Folder(name);
        QDir().mkpath(f + "/send");
        QDir().mkpath(f + "/save");
        WriteFile(f + "/send/DNC.log", "");
        WriteFile(f + "/Config.ini",
                  "Config.ini=13\r\na\r\nb\r\nc\r\nExt=CNC\r\nLog=DNC\r\nAK=O\r\nEnd=M30\r\n"
                  "Com=Dienst\r\nPrgAK=Prg\r\nTimer=" +
                      timer + "\r\nSend=send\r\nSave=save\r\n");
        WriteFile(f + "/.config/dnc-server/SerDemo.ini",
                  "[SerBsp1]\r\nConfiguration=RRS000107400000020480000204810000017019000016"
                  "0000000400063026010000000000000000000001000108\r\n");
        lines[name] = std::make_unique<TMachineLine>(f + "/.config/dnc-server/ports/COM1");
        return *lines[name];
    }

    QProcessEnvironment Env(const QString& folder) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* n : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) env.remove(n);
        env.insert("XDG_CONFIG_HOME", folder + "/.config");
        env.insert("HOME", folder);
        return env;
    }

    // Starts the machine's service and waits until its port is open.
    bool StartService(const QString& name) {
        auto& p = services[name];
        p = std::make_unique<QProcess>();
        p->setProcessEnvironment(Env(Folder(name)));
        p->setWorkingDirectory(Folder(name));
        p->start(DNC_SERVER, {"--service"});
        return p->waitForStarted() &&
               WaitFor([&] { return Journal(name).contains(" Port 1 ist ge"); });
    }
    QByteArray Journal(const QString& name) {
        journals[name] += services[name]->readAllStandardError();
        return journals[name];
    }
    QByteArray Log(const QString& name) { return ReadFile(Folder(name) + "/send/DNC.log"); }

    // `dnc-server --web-user NAME --role ROLE ROOT` with the password on standard input.
    int MakeUser(const QString& name, const QString& role, const QByteArray& password) {
        QProcess p;
        p.setProcessEnvironment(Env(rootPath));
        p.start(DNC_SERVER, {"--web-user", name, "--role", role, rootPath});
        p.waitForStarted();
        p.write(password + "\n");
        p.closeWriteChannel();
        p.waitForFinished(60000);
        return p.exitCode();
    }

    // `dnc-server --web` on a free port; extra: more options (--cert, --key).
    bool StartWeb(const QStringList& extra = {}) {
        webSaid.clear();
        web.setProcessEnvironment(Env(rootPath));
        web.setProcessChannelMode(QProcess::SeparateChannels);
        web.start(DNC_SERVER,
                  QStringList{"--web", "--listen", "127.0.0.1:" + QString::number(port)} + extra +
                      QStringList{rootPath});
        if (!web.waitForStarted()) return false;
        static const QRegularExpression at(QStringLiteral("https?://127\\.0\\.0\\.1:(\\d+)/"));
        return WaitFor([&] {
            webSaid += web.readAllStandardError();
            const auto m = at.match(QString::fromUtf8(webSaid));
            if (m.hasMatch()) port = quint16(m.captured(1).toUInt());
            return m.hasMatch();
        });
    }
    void KillWeb() {
        web.kill();
        web.waitForFinished(5000);
    }
    // True once the web process has said text on standard error (its journal).
    bool WebSaid(const QByteArray& text) {
        return WaitFor([&] {
            webSaid += web.readAllStandardError();
            return webSaid.contains(text);
        });
    }
    QByteArray Host() const { return "Host: 127.0.0.1:" + QByteArray::number(port); }

    QByteArray Origin() const { return "http://127.0.0.1:" + QByteArray::number(port); }

    // One request on its own connection. headers: whole lines without CR LF.
    THttpResult Http(const QByteArray& method, const QByteArray& path, const QByteArray& body = {},
                     const QByteArrayList& headers = {}, const QByteArray& cookie = {}) {
        return HttpFrom("127.0.0.1", method, path, body, headers, cookie);
    }
    THttpResult HttpFrom(const char* from, const QByteArray& method, const QByteArray& path,
                         const QByteArray& body = {}, const QByteArrayList& headers = {},
                         const QByteArray& cookie = {}) {
        QTcpSocket socket;
        if (!ConnectFrom(socket, port, from)) return {};
        QByteArray request = method + " " + path +
                             " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                             "\r\nConnection: close\r\n";
        if (!cookie.isEmpty()) request += "Cookie: " + cookie + "\r\n";
        for (const QByteArray& h : headers) request += h + "\r\n";
        const bool sized = std::any_of(headers.begin(), headers.end(), [](const QByteArray& h) {
            return h.startsWith("Content-Length:");
        });
        if (!sized && (!body.isEmpty() || method == "POST" || method == "PUT")) {
            request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        }
        return Exchange(socket, request + "\r\n" + body);
    }
    // A change from the page itself: with its Origin.
    THttpResult Change(const QByteArray& method, const QByteArray& path, const QByteArray& cookie,
                       const QByteArray& body = {}) {
        return Http(method, path, body, {"Origin: " + Origin()}, cookie);
    }
    // Logs in; the session cookie ("dnc_sitzung=..."), empty on failure.
    QByteArray Login(const QByteArray& user, const QByteArray& password,
                     const char* from = "127.0.0.1") {
        const THttpResult r =
            HttpFrom(from, "POST", "/api/login",
                     "{\"user\":\"" + user + "\",\"password\":\"" + password + "\"}",
                     {"Origin: " + Origin(), "Content-Type: application/json"});
        return r.status == 200 ? r.Header("set-cookie").split(';').first() : QByteArray();
    }

    QTemporaryDir root;
    QString rootPath;
    std::map<QString, std::unique_ptr<TMachineLine>> lines;
    std::map<QString, std::unique_ptr<QProcess>> services;
    std::map<QString, QByteArray> journals;
    QProcess web;
    QByteArray webSaid;
    quint16 port = 0;
};

// An open event stream: reads events as they come.
class TEventStream {
  public:
    TEventStream(quint16 port, const QByteArray& cookie, const char* from = "127.0.0.1") {
        ConnectFrom(socket, port, from);
        socket.write("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie +
                     "\r\nAccept: text/event-stream\r\n\r\n");
        socket.flush();
    }
    // Waits for an event of that name whose data satisfies test; false after deadline.
    bool WaitFor(const QByteArray& event, const std::function<bool(const QJsonObject&)>& test,
                 int deadlineMs = 20000) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < deadlineMs) {
            qsizetype end;
            while ((end = buffer.indexOf("\n\n")) >= 0) {
                const QByteArray block = buffer.left(end);
                buffer.remove(0, end + 2);
                QByteArray name, data;
                for (const QByteArray& line : block.split('\n')) {
                    if (line.startsWith("event: ")) name = line.mid(7);
                    if (line.startsWith("data: ")) data = line.mid(6);
                }
                if (name.isEmpty()) continue;
                seen.append(name);
                const QJsonDocument d = QJsonDocument::fromJson(data);
                if (name == event &&
                    test(d.isObject() ? d.object() : QJsonObject{{"list", d.array()}})) {
                    return true;
                }
            }
            if (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0)
                return false;
            socket.waitForReadyRead(100);
            buffer += socket.readAll();
        }
        return false;
    }
    // The status of the stream's answer (200 when it streams), 0 when none came.
    int Status(int deadlineMs = 20000) {
        webrig::WaitFor([&] { return buffer.contains("\r\n") || !Open(); }, deadlineMs);
        return buffer.startsWith("HTTP/1.1 ") ? buffer.mid(9, 3).toInt() : 0;
    }
    bool Open() {
        buffer += socket.readAll();
        return socket.state() == QAbstractSocket::ConnectedState;
    }
    // True once the server has ended the stream.
    bool Ended(int deadlineMs = 20000) {
        return webrig::WaitFor([&] { return !Open(); }, deadlineMs);
    }
    QTcpSocket socket;
    QByteArray buffer;
    QByteArrayList seen;
};

// Why the page cannot be driven here, empty when it can.
inline QString PageToolsMissing() {
    if (QFileInfo::exists("/usr/bin/chromium") && QFileInfo::exists("/usr/bin/chromedriver")) {
        return {};
    }
    return "chromium and chromium-driver are missing: scripts/setup.sh installs them";
}

// Runs a scenario of the page script (page_test.py) against the rig's web process, logged in
// as "meister" with password; each cue the script prints calls cue(name) once; until cued,
// tick runs between reads. Returns what it printed.
inline QByteArray RunPage(const TWebRig& rig, const QString& script, const QString& shots,
                          const QByteArray& password, const QString& scenario,
                          const QStringList& extra,
                          const std::function<void(const QByteArray&)>& cue,
                          const std::function<void()>& tick) {
    QProcess page;
    page.start("/usr/bin/python3",
               QStringList{script, "--scenario", scenario, "--url", rig.Origin() + "/", "--user",
                           "meister", "--password", password, "--shots", shots} +
                   extra);
    EXPECT_TRUE(page.waitForStarted());
    QByteArray said;
    qsizetype cued = 0;
    EXPECT_TRUE(WaitFor(
        [&] {
            said += page.readAllStandardOutput();
            for (qsizetype end; (end = said.indexOf('\n', cued)) >= 0; cued = end + 1) {
                cue(said.mid(cued, end - cued));
            }
            tick();
            return page.state() == QProcess::NotRunning;
        },
        110000))
        << said.constData();
    said += page.readAllStandardOutput();
    EXPECT_EQ(page.exitCode(), 0) << said.constData() << page.readAllStandardError().constData();
    EXPECT_TRUE(said.contains("DONE")) << said.constData();
    return said;
}

}  // namespace webrig
