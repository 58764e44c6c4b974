#include "mqtt/BrokerCall.h"

#include <QCoreApplication>
#include <QFile>

#include "mqtt/Topics.h"

bool TBrokerCall::Take(const QStringList& args, qsizetype* i) {
    const QHash<QString, QString*> valued{{QStringLiteral("--mqtt"), &url},
                                          {QStringLiteral("--site"), &site},
                                          {QStringLiteral("--mqtt-user"), &user},
                                          {QStringLiteral("--mqtt-password-file"), &passwordFile},
                                          {QStringLiteral("--mqtt-cafile"), &caFile}};
    if (!valued.contains(args[*i]) || *i + 1 >= args.size()) return false;
    *valued[args[*i]] = args[*i + 1];
    *i += 1;
    return true;
}

QString TBrokerCall::Problem(bool siteNeeded) const {
    const std::optional<Topics::TBrokerUrl> parsed = Topics::ParseBrokerUrl(url);
    if (!parsed) {
        return QStringLiteral(
                   "--mqtt erwartet mqtt://RECHNER[:PORT] oder mqtts://RECHNER[:PORT], "
                   "nicht %1")
            .arg(url);
    }
    if (site.isEmpty() && siteNeeded) {
        return QStringLiteral("--mqtt braucht --site NAME (der Standort dieses Rechners)");
    }
    if (const QString problem = Topics::NameProblem(site); !site.isEmpty() && !problem.isEmpty()) {
        return QStringLiteral("--site %1 geht nicht: der Name %2").arg(site, problem);
    }
    if (!passwordFile.isEmpty() && user.isEmpty()) {
        return QStringLiteral("--mqtt-password-file gehört zu --mqtt-user");
    }
    if (!caFile.isEmpty() && !parsed->tls)
        return QStringLiteral("--mqtt-cafile gilt nur mit mqtts://");
    return {};
}

std::optional<TMqttClient::TOptions> TBrokerCall::Options(const QString& clientId,
                                                          QString* error) const {
    const std::optional<Topics::TBrokerUrl> parsed = Topics::ParseBrokerUrl(url);
    TMqttClient::TOptions options;
    options.host = parsed->host;
    options.port = parsed->port;
    options.tls = parsed->tls;
    options.caFile = caFile;
    options.user = user;
    options.clientId = clientId;
    for (const QString& path : {passwordFile, caFile}) {
        if (path.isEmpty()) continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("%1 ist nicht lesbar: %2").arg(path, file.errorString());
            return std::nullopt;
        }
        if (path != passwordFile) continue;
        // The first line; a line end after it is no part of it.
        options.password = file.readLine(4096);
        while (options.password.endsWith('\n') || options.password.endsWith('\r')) {
            options.password.chop(1);
        }
        if (options.password.isEmpty()) {
            *error = QStringLiteral("%1 enthält kein Passwort.").arg(path);
            return std::nullopt;
        }
    }
    return options;
}

void SayBrokerChanges(TMqttClient* broker, const TBrokerCall& call, const TBrokerWords& words) {
    struct TSaid {
        bool everUp = false;
        bool downSaid = false;
        int tries = 0;
    };
    auto said = std::make_shared<TSaid>();
    const int pause = TMqttClient::kLongestPauseMs / 1000;
    QObject::connect(broker, &TMqttClient::Down, broker, [=](const QString& why) {
        ++said->tries;
        if (std::exchange(said->downSaid, true)) return;
        Say(said->everUp ? QStringLiteral("Verbindung zum Broker %1 verloren (%2): neue Versuche "
                                          "mit wachsender Pause bis %3 s; %4.")
                               .arg(call.url, why)
                               .arg(pause)
                               .arg(words.lost)
                         : QStringLiteral("Broker %1 nicht erreichbar (%2): %3 versucht es "
                                          "wieder, mit wachsender Pause bis %4 s.")
                               .arg(call.url, why, words.meanwhile)
                               .arg(pause));
    });
    QObject::connect(broker, &TMqttClient::Up, broker, [=] {
        const QString after =
            said->tries > 0 ? QStringLiteral(" (nach %1 Versuchen)").arg(said->tries) : QString();
        Say(QStringLiteral("%1 mit dem Broker %2 verbunden%3: %4.")
                .arg(said->everUp ? QStringLiteral("Wieder") : QStringLiteral("Jetzt"), call.url,
                     after, words.up));
        said->everUp = true;
        said->downSaid = false;
        said->tries = 0;
    });
    QObject::connect(broker, &TMqttClient::Refused, broker, [=](const QString& why) {
        Say(QStringLiteral("dnc-server: Der Broker %1 lehnt die Anmeldung%2 ab (%3): Benutzer "
                           "oder Passwort falsch, oder der Benutzer ist dort nicht zugelassen.")
                .arg(call.url,
                     call.user.isEmpty() ? QString() : QStringLiteral(" als ") + call.user, why));
        QCoreApplication::exit(BrokerExit::Refused);
    });
}
