#pragma once
// Where the bridge publishes and listens on the shop's broker, and the broker's address:
// rules without I/O.
//
//   dnc/<site>/online                 "1" while the bridge runs, "0" (its last will) after
//   dnc/<site>/<machine>/state        the machine's state (retained)
//   dnc/<site>/<machine>/event        log entries, transfers and answers to changes
//   dnc/<site>/<machine>/reply        answers to questions (files, a program's bytes, the log)
//   dnc/<site>/<machine>/cmd/<what>   commands to the machine
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

namespace Topics {

QString Online(const QString& site);
QString State(const QString& site, const QString& machine);
QString Event(const QString& site, const QString& machine);
QString Reply(const QString& site, const QString& machine);
QString Command(const QString& site, const QString& machine, const QString& command);
// Every command of the site, as a subscription.
QString Commands(const QString& site);
// What a reader of every site subscribes to: the online flags, states, events and replies.
QStringList Everything();

// The site, the machine (empty for "online") and the rest ("online", "state", "event",
// "reply", "cmd/abort") of a topic under dnc/; nullopt for any other.
struct TTopic {
    QString site;
    QString machine;
    QString leaf;
};
std::optional<TTopic> Parse(const QString& topic);

// The machine and the command a topic names when it is a command of site.
struct TCommandTopic {
    QString machine;
    QString command;
};
std::optional<TCommandTopic> ParseCommand(const QString& topic, const QString& site);

// Empty when name can be one level of a topic (a site, a machine), otherwise why not
// (German): not empty, no "/", "+" or "#" (the broker's separators and wildcards), no
// control character, not longer than the broker is sure to take.
QString NameProblem(const QString& name);

// A time as the messages carry it: ISO 8601 with the offset from UTC, as dashboards read it.
QString TimeText(const QDateTime& local);

// mqtt://HOST[:PORT] (default 1883) or mqtts://HOST[:PORT] (TLS, default 8883); a host of
// IPv6 in brackets.
struct TBrokerUrl {
    QString host;
    int port = 0;
    bool tls = false;
};
std::optional<TBrokerUrl> ParseBrokerUrl(const QString& url);

}  // namespace Topics
