#include "mqtt/MqttMain.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStringList>

#include "common/Ansi.h"
#include "mqtt/Bridge.h"
#include "mqtt/MqttClient.h"
#include "mqtt/Topics.h"

namespace {

constexpr char kDefaultRoot[] = "/srv/dnc";
// The longest the last words ("offline") may take at the end.
constexpr int kLastWordsMs = 5000;

QByteArray usageText;

int Wrong(const QString& text) {
    Say(QStringLiteral("dnc-server: ") + text);
    Say(Ansi::ToQString(usageText));
    return MqttExit::Usage;
}

struct TCall {
    QString url;
    QString site;
    QString user;
    QString passwordFile;
    QString caFile;
    QString root = QString::fromLatin1(kDefaultRoot);
};

// The command line; empty with *error when it is wrong.
std::optional<TCall> Parse(const QStringList& args, QString* error) {
    TCall call;
    const QHash<QString, QString*> valued{
        {QStringLiteral("--mqtt"), &call.url},
        {QStringLiteral("--site"), &call.site},
        {QStringLiteral("--mqtt-user"), &call.user},
        {QStringLiteral("--mqtt-password-file"), &call.passwordFile},
        {QStringLiteral("--mqtt-cafile"), &call.caFile}};
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (valued.contains(a) && i + 1 < args.size()) {
            *valued[a] = args[++i];
        } else if (!a.startsWith(u'-')) {
            call.root = a;
        } else {
            *error = QStringLiteral("unbekannte Option %1").arg(a);
            return std::nullopt;
        }
    }
    if (call.site.isEmpty()) {
        *error = QStringLiteral("--mqtt braucht --site NAME (der Standort dieses Rechners)");
    } else if (const QString problem = Topics::NameProblem(call.site); !problem.isEmpty()) {
        *error = QStringLiteral("--site %1 geht nicht: der Name %2").arg(call.site, problem);
    } else if (!call.passwordFile.isEmpty() && call.user.isEmpty()) {
        *error = QStringLiteral("--mqtt-password-file gehört zu --mqtt-user");
    } else {
        return call;
    }
    return std::nullopt;
}

// Signals reach the event loop through a pipe: the handler only writes the signal number.
int signalPipe[2] = {-1, -1};

void OnSignal(int number) {
    const char byte = char(number);
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

}  // namespace

bool IsMqttMode(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--mqtt") return true;
    }
    return false;
}

int RunMqttMode(int argc, char** argv, const QByteArray& usage) {
    usageText = usage;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dnc-server"));
    QString error;
    const std::optional<TCall> call = Parse(QCoreApplication::arguments(), &error);
    if (!call) return Wrong(error);
    const std::optional<Topics::TBrokerUrl> url = Topics::ParseBrokerUrl(call->url);
    if (!url) {
        return Wrong(QStringLiteral("--mqtt erwartet mqtt://RECHNER[:PORT] oder "
                                    "mqtts://RECHNER[:PORT], nicht %1")
                         .arg(call->url));
    }
    if (!call->caFile.isEmpty() && !url->tls) {
        return Wrong(QStringLiteral("--mqtt-cafile gilt nur mit mqtts://"));
    }
    if (!QFileInfo(call->root).isDir()) {
        Say(QStringLiteral("dnc-server: Wurzelordner %1 ist nicht vorhanden.").arg(call->root));
        return MqttExit::Root;
    }

    TMqttClient::TOptions options;
    options.host = url->host;
    options.port = url->port;
    options.tls = url->tls;
    options.caFile = call->caFile;
    options.user = call->user;
    options.clientId = QStringLiteral("dnc-") + call->site;
    options.willTopic = Topics::Online(call->site);
    options.willPayload = "0";
    for (const QString& path : {call->passwordFile, call->caFile}) {
        if (path.isEmpty()) continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            Say(QStringLiteral("dnc-server: %1 ist nicht lesbar: %2")
                    .arg(path, file.errorString()));
            return MqttExit::File;
        }
        if (path != call->passwordFile) continue;
        // The first line; a line end after it is no part of it.
        options.password = file.readLine(4096);
        while (options.password.endsWith('\n') || options.password.endsWith('\r')) {
            options.password.chop(1);
        }
        if (options.password.isEmpty()) {
            Say(QStringLiteral("dnc-server: %1 enthält kein Passwort.").arg(path));
            return MqttExit::File;
        }
    }

    TMqttClient broker(options);
    bool everUp = false, downSaid = false;
    int tries = 0;
    QObject::connect(&broker, &TMqttClient::Down, &app, [&](const QString& why) {
        ++tries;
        if (downSaid) return;
        downSaid = true;
        Say(everUp ? QStringLiteral("Verbindung zum Broker %1 verloren (%2): neue Versuche mit "
                                    "wachsender Pause bis %3 s; Ereignisse werden gehalten "
                                    "(höchstens %4).")
                         .arg(call->url, why)
                         .arg(TMqttClient::kLongestPauseMs / 1000)
                         .arg(TBridge::kMaxHeld)
                   : QStringLiteral("Broker %1 nicht erreichbar (%2): die Brücke wartet und "
                                    "versucht es wieder, mit wachsender Pause bis %3 s.")
                         .arg(call->url, why)
                         .arg(TMqttClient::kLongestPauseMs / 1000));
    });
    QObject::connect(&broker, &TMqttClient::Up, &app, [&] {
        const QString after =
            tries > 0 ? QStringLiteral(" (nach %1 Versuchen)").arg(tries) : QString();
        Say(QStringLiteral("%1 mit dem Broker %2 verbunden%3: Standort %4 ist online.")
                .arg(everUp ? QStringLiteral("Wieder") : QStringLiteral("Jetzt"), call->url, after,
                     call->site));
        everUp = true;
        downSaid = false;
        tries = 0;
    });
    QObject::connect(&broker, &TMqttClient::Refused, &app, [&](const QString& why) {
        Say(QStringLiteral("dnc-server: Der Broker %1 lehnt die Anmeldung%2 ab (%3): Benutzer "
                           "oder Passwort falsch, oder der Benutzer ist dort nicht zugelassen.")
                .arg(call->url,
                     call->user.isEmpty() ? QString() : QStringLiteral(" als ") + call->user, why));
        QCoreApplication::exit(MqttExit::Refused);
    });
    TBridge bridge(call->root, call->site, &broker);
    bridge.Machines().WaitForStates(2000);
    Say(QStringLiteral("MQTT-Brücke für Standort %1: %2 Maschinen unter %3, Broker %4%5")
            .arg(call->site)
            .arg(bridge.Machines().Names().size())
            .arg(bridge.Machines().Root(), call->url,
                 call->user.isEmpty() ? QString() : QStringLiteral(" als ") + call->user));

    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&] {
            char byte = 0;
            while (::read(signalPipe[0], &byte, 1) == 1) {
            }
            bridge.Stop();
            Say(QStringLiteral("Ende: Standort %1 ist offline.").arg(call->site));
            QCoreApplication::exit(MqttExit::Ok);
        });
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        ::sigemptyset(&sa.sa_mask);
        for (int number : {SIGTERM, SIGINT}) ::sigaction(number, &sa, nullptr);
    }
    if (const QString problem = broker.Start(); !problem.isEmpty()) {
        Say(QStringLiteral("dnc-server: ") + problem);
        return MqttExit::File;
    }
    return QCoreApplication::exec();
}
