#pragma once
// The shop's broker as the bridge meets it: a real mosquitto on a free port of 127.0.0.1 with
// a password file (mosquitto_passwd) and an ACL, optionally with TLS; `dnc-server --mqtt`
// bridges over machine folders made as the web tests make them; and a client of the test's
// own on libmosquitto (MQTT 5, so that it hears the broker refuse a message).
#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <algorithm>
#include <deque>

#include "tests/web/WebRig.h"

namespace brokerrig {

using test_files::ReadFile;
using test_files::WaitFor;
using test_files::WriteFile;
using webrig::Program;
using webrig::TMachineLine;
using webrig::TWebRig;

inline quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline int Run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(60000);
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

class TBroker {
  public:
    // users: name and password, each; acl: the ACL file's text.
    TBroker(const QList<QPair<QByteArray, QByteArray>>& users, const QByteArray& acl)
        : port(FreePort()) {
        for (const auto& [user, password] : users) {
            QStringList args{"-b", dir.filePath("passwd"), user, password};
            if (!QFile::exists(dir.filePath("passwd"))) args.prepend("-c");
            Run("mosquitto_passwd", args);
        }
        WriteFile(dir.filePath("acl"), acl);
    }
    ~TBroker() { Kill(); }

    // tls: the listener's certificate and key, signed by the CA in ca.
    bool Start(const QString& ca = {}, const QString& cert = {}, const QString& key = {}) {
        QByteArray conf = "listener " + QByteArray::number(port) +
                          " 127.0.0.1\nallow_anonymous false\nuser root\nlog_dest stderr\n"
                          "log_type all\npersistence true\npersistence_location " +
                          QFile::encodeName(dir.path()) + "/\npassword_file " +
                          QFile::encodeName(dir.filePath("passwd")) + "\nacl_file " +
                          QFile::encodeName(dir.filePath("acl")) + "\n";
        if (!ca.isEmpty()) {
            conf += "cafile " + QFile::encodeName(ca) + "\ncertfile " + QFile::encodeName(cert) +
                    "\nkeyfile " + QFile::encodeName(key) + "\n";
        }
        WriteFile(dir.filePath("mosquitto.conf"), conf);
        said.clear();
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start("mosquitto", {"-c", dir.filePath("mosquitto.conf")});
        return process.waitForStarted() && Said(" running");
    }
    void Kill() {
        if (process.state() == QProcess::NotRunning) return;
        process.kill();
        process.waitForFinished(10000);
    }
    // A restart as the system's service manager does it: the broker keeps its sessions.
    void Stop() {
        process.terminate();
        process.waitForFinished(30000);
    }
    bool Said(const QByteArray& text) {
        return WaitFor([&] {
            said += process.readAll();
            return said.contains(text);
        });
    }

    QTemporaryDir dir;
    quint16 port;
    QProcess process;
    QByteArray said;
};

// A client as a dashboard or the web front is one: it subscribes, publishes and keeps what
// it heard, in order. With a session: MQTT 3.1.1, and the broker keeps its subscriptions and
// what comes for them while it is away; else MQTT 5.
class TClient {
  public:
    struct TMessage {
        QString topic;
        QByteArray payload;
        bool retained;
        QJsonObject Json() const { return QJsonDocument::fromJson(payload).object(); }
    };

    TClient(quint16 port, const QByteArray& user, const QByteArray& password,
            const QString& ca = {}, const QByteArray& session = {}) {
        mosq_ = mosquitto_new(session.isEmpty() ? nullptr : session.constData(), session.isEmpty(),
                              this);
        if (session.isEmpty())
            mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_username_pw_set(mosq_, user.constData(), password.constData());
        if (!ca.isEmpty())
            mosquitto_tls_set(mosq_, QFile::encodeName(ca), nullptr, nullptr, nullptr, nullptr);
        mosquitto_connect_v5_callback_set(
            mosq_, [](mosquitto*, void* self, int rc, int, const mosquitto_property*) {
                static_cast<TClient*>(self)->connack_ = rc;
            });
        mosquitto_subscribe_v5_callback_set(
            mosq_, [](mosquitto*, void* self, int mid, int, const int*, const mosquitto_property*) {
                static_cast<TClient*>(self)->acks_[mid] = 0;
            });
        mosquitto_publish_v5_callback_set(
            mosq_, [](mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
                static_cast<TClient*>(self)->acks_[mid] = reason;
            });
        mosquitto_message_v5_callback_set(
            mosq_,
            [](mosquitto*, void* self, const mosquitto_message* m, const mosquitto_property*) {
                static_cast<TClient*>(self)->messages.push_back(
                    {QString::fromUtf8(m->topic),
                     QByteArray(static_cast<const char*>(m->payload), m->payloadlen), m->retain});
            });
        if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS) {
            Loop([&] { return connack_ >= 0; });
        }
    }
    ~TClient() {
        mosquitto_disconnect(mosq_);
        mosquitto_destroy(mosq_);
    }
    bool Connected() const { return connack_ == 0; }

    bool Loop(const std::function<bool()>& done, int deadlineMs = 30000) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < deadlineMs) {
            if (mosquitto_loop(mosq_, 50, 1) != MOSQ_ERR_SUCCESS) QThread::msleep(50);
            QCoreApplication::processEvents();
        }
        return done();
    }
    void Subscribe(const char* pattern) {
        int mid = 0;
        mosquitto_subscribe(mosq_, &mid, pattern, 1);
        Loop([&] { return acks_.count(mid) > 0; });
    }
    // QoS 1; the broker's reason code (0: taken, 0x87: not authorised), -1 without answer.
    int Publish(const QString& topic, const QByteArray& payload, bool retain = false) {
        int mid = 0;
        mosquitto_publish(mosq_, &mid, topic.toUtf8().constData(), int(payload.size()),
                          payload.constData(), 1, retain);
        Loop([&] { return acks_.count(mid) > 0; });
        return acks_.count(mid) ? acks_[mid] : -1;
    }
    // Waits for the next message on topic (after those already taken) that passes test.
    std::optional<QJsonObject> Next(const QString& topic,
                                    const std::function<bool(const QJsonObject&)>& test = {},
                                    int deadlineMs = 30000) {
        std::optional<QJsonObject> found;
        Loop(
            [&] {
                for (; taken_ < messages.size() && !found; ++taken_) {
                    const TMessage& m = messages[taken_];
                    if (m.topic == topic && (!test || test(m.Json()))) found = m.Json();
                }
                return found.has_value();
            },
            deadlineMs);
        return found;
    }
    // Waits until a message on topic passes test, whether Next took it already or not: for
    // messages on topics whose order among each other is not fixed.
    bool Heard(const QString& topic, const std::function<bool(const QJsonObject&)>& test,
               int deadlineMs = 30000) {
        return Loop(
            [&] {
                return std::any_of(messages.begin(), messages.end(), [&](const TMessage& m) {
                    return m.topic == topic && test(m.Json());
                });
            },
            deadlineMs);
    }
    // The payload last heard on topic.
    QByteArray Last(const QString& topic) const {
        for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
            if (it->topic == topic) return it->payload;
        }
        return {};
    }
    bool Hears(const QString& topic, const QByteArray& payload, int deadlineMs = 30000) {
        return Loop([&] { return Last(topic) == payload; }, deadlineMs);
    }

    std::deque<TMessage> messages;

  private:
    mosquitto* mosq_ = nullptr;
    int connack_ = -1;
    std::map<int, int> acks_;
    size_t taken_ = 0;
};

// The shop of the tests: a broker whose users halle1 and halle2 (each PC's bridge) and web
// (the web front) may do what the README's ACL lets them, each with a password file.
class TShop {
  public:
    TShop()
        : broker({{"halle1", "pw-halle1"}, {"halle2", "pw-halle2"}, {"web", "pw-web"}},
                 "user halle1\ntopic readwrite dnc/halle1/#\n"
                 "user halle2\ntopic readwrite dnc/halle2/#\n"
                 "user web\ntopic read dnc/#\ntopic write dnc/+/+/cmd/#\n") {
        for (const char* user : {"halle1", "halle2", "web"}) {
            WriteFile(PasswordFile(user), "pw-" + QByteArray(user) + "\n");
        }
    }
    QString Url() const { return "mqtt://127.0.0.1:" + QString::number(broker.port); }
    QString PasswordFile(const QString& user) const { return broker.dir.filePath(user + ".pw"); }
    // The broker's options of user, as a unit gives them.
    QStringList Login(const QString& user, const QString& url = {}) const {
        return {"--mqtt", url.isEmpty() ? Url() : url, "--mqtt-user",
                user,     "--mqtt-password-file",      PasswordFile(user)};
    }
    // The bridge of a site, whose user is named after it.
    QStringList Bridge(const QString& site, const QString& url = {}) const {
        return Login(site, url) + QStringList{"--site", site};
    }

    TBroker broker;
};

// `dnc-server --mqtt` for one site.
class TBridgeProcess {
  public:
    ~TBridgeProcess() { Kill(); }
    void Start(const TWebRig& site, const QStringList& args) {
        said.clear();
        process.setProcessEnvironment(site.Env(site.rootPath));
        process.start(DNC_SERVER, args + QStringList{site.rootPath});
        process.waitForStarted();
    }
    bool Said(const QByteArray& text, int deadlineMs = 30000) {
        return WaitFor(
            [&] {
                said += process.readAllStandardError();
                return said.contains(text);
            },
            deadlineMs);
    }
    void Kill() {
        if (process.state() == QProcess::NotRunning) return;
        process.kill();
        process.waitForFinished(10000);
    }
    QProcess process;
    QByteArray said;
};

// A machine of a site on the virtual CNC instead of the test's line: once the machine's server
// opens COM1, it calls program 4711 and keeps what it receives in answer.
class TCallingCnc {
  public:
    TCallingCnc(const QString& virtualCnc, const TWebRig& site, const QString& machine)
        : link(site.Folder(machine) + "/.config/dnc-server/ports/COM1"),
          answer(site.Folder("answer.txt")) {
        QFile::remove(link);  // the test's own line
        process.start(virtualCnc, {"--link", link, "--await-open", "--call", "4711", "--receive",
                                   answer, "--hold"});
    }
    ~TCallingCnc() { Kill(); }
    bool Received(const QByteArray& program) {
        return WaitFor([&] { return ReadFile(answer) == program; });
    }
    void Kill() {
        if (process.state() == QProcess::NotRunning) return;
        process.kill();
        process.waitForFinished();
    }
    const QString link;
    const QString answer;
    QProcess process;
};

}  // namespace brokerrig
