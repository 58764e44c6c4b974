#pragma once
// The shop's broker as a command line names it (--mqtt URL, --site, --mqtt-user,
// --mqtt-password-file, --mqtt-cafile), for the bridge and the web front alike, and the
// journal of the connection: a broker that is away is said once, not at every try.
#include <QString>
#include <QStringList>
#include <optional>

#include "common/FrontCall.h"
#include "mqtt/MqttClient.h"

// The exit statuses the broker's options add to a mode's own.
namespace BrokerExit {
inline constexpr int File = 3;     // the password file or the CA file cannot be read
inline constexpr int Refused = 7;  // the broker refuses the user (name or password wrong)
}  // namespace BrokerExit

struct TBrokerCall {
    QString url;
    QString site;
    QString user;
    QString passwordFile;
    QString caFile;

    // Takes args[*i] and its value when it is one of the broker's options (*i moves on).
    bool Take(const QStringList& args, qsizetype* i);
    // Empty when the options go together, otherwise why not (German, a wrong call).
    QString Problem(bool siteNeeded) const;
    // The client's options, its password read; nullopt with *error (German) when a file
    // cannot be read (BrokerExit::File).
    std::optional<TMqttClient::TOptions> Options(const QString& clientId, QString* error) const;
};

// What the journal says of the connection: who connects ("die Brücke", "die Webseite"), what
// it does while the broker is away at the start and after a loss, and on a refused login
// the program ends with BrokerExit::Refused.
struct TBrokerWords {
    QString meanwhile;  // while the broker is away at the start
    QString lost;       // after the connection was lost
    QString up;         // once connected
};
void SayBrokerChanges(TMqttClient* broker, const TBrokerCall& call, const TBrokerWords& words);
