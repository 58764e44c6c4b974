#include "mqtt/MqttMain.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>
#include <functional>

#include "mqtt/Bridge.h"
#include "mqtt/BrokerCall.h"
#include "mqtt/MqttClient.h"
#include "mqtt/Topics.h"

namespace {

// The longest the last words ("offline") may take at the end.
constexpr int kLastWordsMs = 5000;

QByteArray usageText;

int Wrong(const QString& text) {
    SayWrongCall(text, usageText);
    return MqttExit::Usage;
}

struct TCall {
    TBrokerCall broker;
    QString root = QString::fromLatin1(kDefaultRoot);
};

// The command line; empty with *error when it is wrong.
std::optional<TCall> Parse(const QStringList& args, QString* error) {
    TCall call;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (call.broker.Take(args, &i)) continue;
        if (a.startsWith(u'-')) {
            *error = QStringLiteral("unbekannte Option %1").arg(a);
            return std::nullopt;
        }
        call.root = a;
    }
    *error = call.broker.Problem(true);
    if (!error->isEmpty()) return std::nullopt;
    return call;
}

// Signals reach the event loop through a pipe: the handler only writes the signal number.
int signalPipe[2] = {-1, -1};

void OnSignal(int number) {
    const char byte = char(number);
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT call end on app's event loop.
void EndOnSignals(QCoreApplication* app, const std::function<void()>& end) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [end] {
        char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1) {
        }
        end();
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigemptyset(&sa.sa_mask);
    for (int number : {SIGTERM, SIGINT}) ::sigaction(number, &sa, nullptr);
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
    if (RootMissing(call->root)) return MqttExit::Root;
    const QString site = call->broker.site;
    std::optional<TMqttClient::TOptions> options =
        call->broker.Options(QStringLiteral("dnc-") + site, &error);
    if (!options) {
        Say(QStringLiteral("dnc-server: ") + error);
        return MqttExit::File;
    }
    options->willTopic = Topics::Online(site);
    options->willPayload = "0";

    TMqttClient broker(*options);
    SayBrokerChanges(
        &broker, call->broker,
        {QStringLiteral("die Brücke wartet und"),
         QStringLiteral("Ereignisse werden gehalten (höchstens %1)").arg(TBridge::kMaxHeld),
         QStringLiteral("Standort %1 ist online").arg(site)});
    TBridge bridge(call->root, site, &broker);
    bridge.Machines().WaitForStates(2000);
    Say(QStringLiteral("MQTT-Brücke für Standort %1: %2 Maschinen unter %3, Broker %4%5")
            .arg(site)
            .arg(bridge.Machines().Names().size())
            .arg(bridge.Machines().Root(), call->broker.url,
                 call->broker.user.isEmpty() ? QString()
                                             : QStringLiteral(" als ") + call->broker.user));

    EndOnSignals(&app, [&] {
        bridge.Stop(kLastWordsMs);
        Say(QStringLiteral("Ende: Standort %1 ist offline.").arg(site));
        QCoreApplication::exit(MqttExit::Ok);
    });
    if (const QString problem = broker.Start(); !problem.isEmpty()) {
        Say(QStringLiteral("dnc-server: ") + problem);
        return MqttExit::File;
    }
    return QCoreApplication::exec();
}
