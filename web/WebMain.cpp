#include "web/WebMain.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QHostInfo>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QStringList>
#include <cstdio>
#include <iostream>
#include <string>

#include "common/Ansi.h"
#include "mqtt/BrokerCall.h"
#include "mqtt/RemoteSites.h"
#include "status/Machines.h"
#include "web/HttpServer.h"
#include "web/WebApi.h"
#include "web/WebUsers.h"

namespace {

constexpr int kMinPassword = 8;

// The program's usage text, shown after a wrong call.
QByteArray usageText;

int Wrong(const QString& text) {
    SayWrongCall(text, usageText);
    return WebExit::Usage;
}

// "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:80".
bool ParseListen(const QString& text, QHostAddress* address, quint16* port) {
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon <= 0) return false;
    QString host = text.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']')) host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p > 65535 || !address->setAddress(host)) return false;
    *port = quint16(p);
    return true;
}

// ---- --web ------------------------------------------------------------------------------

// An address as a Host header names it: IPv6 in brackets, without a scope.
QByteArray HostOf(const QHostAddress& address) {
    QHostAddress plain = address;
    plain.setScopeId(QString());
    const QByteArray text = AddressText(plain).toLower();
    return text.contains(':') ? '[' + text + ']' : text;
}

// The names a browser may use for this server: the address it listens on (every address of
// the machine and its host name when it listens on all), localhost on loopback, and the
// names the admin adds. Any other name (a DNS rebinding) gets 421.
QByteArrayList ServedHosts(const QHostAddress& listen, const QStringList& extra) {
    QByteArrayList hosts;
    const bool any = listen == QHostAddress::Any || listen == QHostAddress::AnyIPv4 ||
                     listen == QHostAddress::AnyIPv6;
    const QList<QHostAddress> addresses =
        any ? QNetworkInterface::allAddresses() : QList<QHostAddress>{listen};
    for (const QHostAddress& a : addresses) hosts.append(HostOf(a));
    if (any || listen.isLoopback()) hosts.append("localhost");
    if (any) {
        const QString name = QHostInfo::localHostName().toLower();
        const QString domain = QHostInfo::localDomainName().toLower();
        if (!name.isEmpty()) hosts.append(name.toUtf8());
        if (!name.isEmpty() && !domain.isEmpty()) hosts.append((name + u'.' + domain).toUtf8());
    }
    for (const QString& h : extra) hosts.append(h.toLower().toUtf8());
    QByteArrayList unique;
    for (const QByteArray& h : hosts) {
        if (!unique.contains(h)) unique.append(h);
    }
    return unique;
}

// A name for --host: a host name or address, without port or path.
bool PlainHost(const QString& name) {
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$"));
    QHostAddress address;
    return re.match(name).hasMatch() || (name.startsWith(u'[') && name.endsWith(u']') &&
                                         address.setAddress(name.mid(1, name.size() - 2)));
}

int RunWeb(const QStringList& args) {
    QString root = QString::fromLatin1(kDefaultRoot);
    QString listen = QStringLiteral("127.0.0.1:8080");
    QString cert, key;
    QStringList hosts;
    TBrokerCall broker;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QStringLiteral("--web") || broker.Take(args, &i)) continue;
        if ((a == QStringLiteral("--listen") || a == QStringLiteral("--cert") ||
             a == QStringLiteral("--key")) &&
            i + 1 < args.size()) {
            (a == QStringLiteral("--listen") ? listen
             : a == QStringLiteral("--cert") ? cert
                                             : key) = args[++i];
        } else if (a == QStringLiteral("--host") && i + 1 < args.size()) {
            if (!PlainHost(args[i + 1])) {
                return Wrong(QStringLiteral("--host erwartet einen Namen oder eine Adresse "
                                            "ohne Port, nicht %1")
                                 .arg(args[i + 1]));
            }
            hosts.append(args[++i]);
        } else if (!a.startsWith(u'-')) {
            root = a;
        } else {
            return Wrong(QStringLiteral("unbekannte Option %1").arg(a));
        }
    }
    if (cert.isEmpty() != key.isEmpty())
        return Wrong(QStringLiteral("--cert und --key gehören zusammen"));
    QHostAddress address;
    quint16 port = 0;
    if (!ParseListen(listen, &address, &port)) {
        return Wrong(QStringLiteral("--listen erwartet ADRESSE:PORT, nicht %1").arg(listen));
    }
    const bool withBroker = !broker.url.isEmpty();
    if (!withBroker &&
        !(broker.site + broker.user + broker.passwordFile + broker.caFile).isEmpty()) {
        return Wrong(
            QStringLiteral("--site, --mqtt-user, --mqtt-password-file und --mqtt-cafile "
                           "gehören zu --mqtt"));
    }
    if (const QString problem = withBroker ? broker.Problem(false) : QString();
        !problem.isEmpty()) {
        return Wrong(problem);
    }
    if (RootMissing(root)) return WebExit::Root;
    // This PC's site: its machines are shown from here, not again from the broker.
    if (withBroker && broker.site.isEmpty()) broker.site = QHostInfo::localHostName();
    if (withBroker && broker.site.isEmpty()) broker.site = QStringLiteral("lokal");
    std::unique_ptr<TMqttClient> client;
    std::unique_ptr<TRemoteSites> remote;
    if (withBroker) {
        QString error;
        const auto clientOptions = broker.Options(QStringLiteral("dnc-web-%1-%2")
                                                      .arg(broker.site)
                                                      .arg(QCoreApplication::applicationPid()),
                                                  &error);
        if (!clientOptions) {
            Say(QStringLiteral("dnc-server: ") + error);
            return WebExit::BrokerFile;
        }
        client = std::make_unique<TMqttClient>(*clientOptions);
        remote = std::make_unique<TRemoteSites>(client.get(), broker.site);
        SayBrokerChanges(client.get(), broker,
                         {QStringLiteral("die Webseite zeigt die Maschinen dieses Rechners und"),
                          QStringLiteral("die Maschinen der anderen Standorte sind \"unbekannt\""),
                          QStringLiteral("die Webseite zeigt die Maschinen aller Standorte")});
    }

    THttpServer::Options options;
    options.hosts = ServedHosts(address, hosts);
    THttpServer server(options);
    QString error;
    if (!cert.isEmpty() && !server.UseTls(cert, key, &error)) {
        Say(QStringLiteral("dnc-server: HTTPS nicht möglich: ") + error);
        return WebExit::Listen;
    }
    if (!server.Listen(address, port, &error)) {
        Say(QStringLiteral("dnc-server: %1 nicht nutzbar: %2").arg(listen, error));
        return WebExit::Listen;
    }
    TWebApi api(root, &server, remote.get(), broker.site);
    const QString shown = address.protocol() == QAbstractSocket::IPv6Protocol
                              ? u'[' + address.toString() + u']'
                              : address.toString();
    Say(QStringLiteral("Webseite unter %1://%2:%3/ für %4 (%5 Maschinen)")
            .arg(server.Secure() ? QStringLiteral("https") : QStringLiteral("http"), shown)
            .arg(server.Port())
            .arg(api.Machines().Root())
            .arg(api.Machines().Names().size()));
    Say(QStringLiteral("Angenommene Namen (weitere mit --host NAME): ") +
        QString::fromUtf8(options.hosts.join(", ")));
    if (WebUsers::Read(WebUsers::FilePath(api.Machines().Root())).isEmpty()) {
        Say(QStringLiteral("Noch kein Benutzer: dnc-server --web-user NAME --role bedienen %1")
                .arg(api.Machines().Root()));
    }
    if (client) {
        Say(QStringLiteral("Die anderen Standorte vom Broker %1%2; die Maschinen hier sind "
                           "Standort %3.")
                .arg(broker.url,
                     broker.user.isEmpty() ? QString() : QStringLiteral(" als ") + broker.user,
                     broker.site));
        if (const QString problem = client->Start(); !problem.isEmpty()) {
            Say(QStringLiteral("dnc-server: ") + problem);
            return WebExit::BrokerFile;
        }
    }
    return QCoreApplication::exec();
}

// ---- --status ---------------------------------------------------------------------------

QString Progress(const QJsonObject& m) {
    if (m.value(QStringLiteral("lines")).isNull()) return QStringLiteral("-");
    QString text = QStringLiteral("%1 % (Zeile %2 von %3")
                       .arg(m.value(QStringLiteral("percent")).toInt())
                       .arg(m.value(QStringLiteral("line")).toInt())
                       .arg(m.value(QStringLiteral("lines")).toInt());
    const int left = m.value(QStringLiteral("remainingSeconds")).toInt();
    text += left >= 60 ? QStringLiteral(", noch %1 min %2 s)").arg(left / 60).arg(left % 60)
                       : QStringLiteral(", noch %1 s)").arg(left);
    return m.value(QStringLiteral("program")).toString() + u' ' + text;
}

int RunStatus(const QStringList& args) {
    QString root = QString::fromLatin1(kDefaultRoot);
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QStringLiteral("--status")) continue;
        if (args[i].startsWith(u'-'))
            return Wrong(QStringLiteral("unbekannte Option %1").arg(args[i]));
        root = args[i];
    }
    if (RootMissing(root)) return WebExit::Root;
    TMachines machines(root);
    machines.WaitForStates(2000);
    if (machines.Names().isEmpty()) {
        Say(QStringLiteral("Keine Maschine unter %1 (ein Ordner mit Config.ini).").arg(root));
    }
    for (const QString& name : machines.Names()) {
        const QJsonObject m = machines.Describe(name);
        const QJsonObject last = m.value(QStringLiteral("lastTransfer")).toObject();
        const QString lastText = last.isEmpty()
                                     ? QStringLiteral("-")
                                     : (last.value(QStringLiteral("time")).toString() + u' ' +
                                        last.value(QStringLiteral("entry")).toString())
                                           .trimmed();
        const QString port = m.value(QStringLiteral("port")).toString();
        const QString line =
            QStringList{name, port.isEmpty() ? QStringLiteral("-") : port,
                        m.value(QStringLiteral("state")).toString(), Progress(m), lastText}
                .join(u'\t');
        std::fputs((line + u'\n').toUtf8().constData(), stdout);
    }
    return WebExit::Ok;
}

// ---- --web-user -------------------------------------------------------------------------

// One line from standard input; on a terminal without echo, after the prompt.
bool ReadPassword(const QString& prompt, QString* password) {
    const bool terminal = ::isatty(STDIN_FILENO);
    termios before{};
    if (terminal) {
        std::fputs(prompt.toUtf8().constData(), stderr);
        std::fflush(stderr);
        ::tcgetattr(STDIN_FILENO, &before);
        termios quiet = before;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool got = bool(std::getline(std::cin, line));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
        std::fputs("\n", stderr);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    *password = QString::fromStdString(line);
    return got;
}

int RunWebUser(const QStringList& args) {
    QString name, role, root = QString::fromLatin1(kDefaultRoot);
    bool remove = false;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QStringLiteral("--web-user") && i + 1 < args.size()) {
            name = args[++i];
        } else if (a == QStringLiteral("--role") && i + 1 < args.size()) {
            role = args[++i];
        } else if (a == QStringLiteral("--delete")) {
            remove = true;
        } else if (!a.startsWith(u'-')) {
            root = a;
        } else {
            return Wrong(QStringLiteral("unbekannte Option %1").arg(a));
        }
    }
    if (const QString problem = WebUsers::NameProblem(name); !problem.isEmpty()) {
        return Wrong(problem);
    }
    if (remove == !role.isEmpty()) {
        return Wrong(QStringLiteral("--web-user braucht --role lesen|bedienen oder --delete"));
    }
    if (!remove && WebUsers::ParseRole(role) == TRole::None) {
        return Wrong(QStringLiteral("Rolle %1 gibt es nicht: lesen oder bedienen").arg(role));
    }
    if (RootMissing(root)) return WebExit::Root;
    const QString path = WebUsers::FilePath(root);
    QList<TWebUser> users = WebUsers::Read(path);
    const auto it =
        std::find_if(users.begin(), users.end(), [&](const TWebUser& u) { return u.name == name; });
    QString done;
    if (remove) {
        if (it == users.end()) {
            Say(QStringLiteral("dnc-server: einen Benutzer %1 gibt es nicht.").arg(name));
            return WebExit::Usage;
        }
        users.erase(it);
        done = QStringLiteral("Benutzer %1 entfernt.").arg(name);
    } else {
        QString password, again;
        if (!ReadPassword(QStringLiteral("Passwort für %1: ").arg(name), &password)) {
            Say(QStringLiteral("dnc-server: kein Passwort auf der Standardeingabe."));
            return WebExit::Usage;
        }
        if (::isatty(STDIN_FILENO)) {
            ReadPassword(QStringLiteral("Passwort wiederholen: "), &again);
            if (again != password) {
                Say(QStringLiteral("dnc-server: die Passwörter sind verschieden."));
                return WebExit::Usage;
            }
        }
        if (password.size() < kMinPassword) {
            Say(QStringLiteral("dnc-server: das Passwort braucht mindestens %1 Zeichen.")
                    .arg(kMinPassword));
            return WebExit::Usage;
        }
        const TWebUser user = WebUsers::Make(name, WebUsers::ParseRole(role), password);
        done = QStringLiteral("Benutzer %1 %2 (Rolle %3).")
                   .arg(name,
                        it == users.end() ? QStringLiteral("angelegt") : QStringLiteral("geändert"),
                        role);
        if (it == users.end()) {
            users.append(user);
        } else {
            *it = user;
        }
    }
    try {
        WebUsers::Write(path, users);
    } catch (const std::exception& e) {
        Say(QStringLiteral("dnc-server: ") + Ansi::ToQString(QByteArray(e.what())));
        return WebExit::Usage;
    }
    // Run by root for the server's user: the file belongs to whoever owns the root folder.
    struct stat owner {};
    if (::geteuid() == 0 && ::stat(QFile::encodeName(root).constData(), &owner) == 0) {
        [[maybe_unused]] int r =
            ::chown(QFile::encodeName(path).constData(), owner.st_uid, owner.st_gid);
    }
    Say(done);
    return WebExit::Ok;
}

}  // namespace

bool IsWebMode(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        if (a == "--web" || a == "--status" || a == "--web-user") return true;
    }
    return false;
}

int RunWebMode(int argc, char** argv, const QByteArray& usage) {
    usageText = usage;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dnc-server"));
    const QStringList args = QCoreApplication::arguments();
    if (args.contains(QStringLiteral("--web-user"))) return RunWebUser(args);
    if (args.contains(QStringLiteral("--status"))) return RunStatus(args);
    return RunWeb(args);
}
