#include "mqtt/RemoteSites.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTimer>

#include "mqtt/Topics.h"

namespace {

// What a state may carry: the fields of the web API's machine entry.
const char* const kFields[] = {"state",  "port",         "device",      "program",
                               "line",   "lines",        "percent",     "remainingSeconds",
                               "reason", "stallSeconds", "lastTransfer"};
// What only a running send has.
const char* const kProgress[] = {"program", "line",         "lines",
                                 "percent", "stallSeconds", "remainingSeconds"};

QJsonObject Refusal(int status, const QString& message) {
    return {{QStringLiteral("ok"), false},
            {QStringLiteral("status"), status},
            {QStringLiteral("message"), message + u'.'}};
}

QString SiteOf(const QString& id) { return id.section(u'/', 0, 0); }

}  // namespace

TRemoteSites::TRemoteSites(TMqttClient* broker, const QString& ownSite, QObject* parent)
    : QObject(parent),
      broker_(broker),
      ownSite_(ownSite),
      prefix_(QStringLiteral("web-%1-").arg(QRandomGenerator::system()->generate64(), 16, 16,
                                            QLatin1Char('0'))) {
    connect(broker_, &TMqttClient::Up, this, &TRemoteSites::Up);
    connect(broker_, &TMqttClient::Down, this, &TRemoteSites::Down);
    connect(broker_, &TMqttClient::Message, this, &TRemoteSites::Message);
}

QStringList TRemoteSites::Ids() const {
    QStringList ids = states_.keys();
    ids.sort();
    return ids;
}

QString TRemoteSites::Away(const QString& id) const {
    if (!broker_->IsUp()) return QStringLiteral("Keine Verbindung zum Broker");
    const QString site = SiteOf(id);
    if (!sites_.value(site).online) return QStringLiteral("Standort %1 ist offline").arg(site);
    return {};
}

QJsonObject TRemoteSites::Describe(const QString& id) const {
    QJsonObject d = states_.value(id);
    const QString away = Away(id);
    if (d.isEmpty() || away.isEmpty()) return d;
    d[QStringLiteral("state")] = QLatin1String(kUnknown);
    for (const char* key : kProgress) d[QLatin1String(key)] = QJsonValue();
    d[QStringLiteral("reason")] = away;
    const QDateTime seen = sites_.value(SiteOf(id)).seen;
    d[QStringLiteral("seen")] = seen.isValid() ? QJsonValue(Topics::TimeText(seen)) : QJsonValue();
    return d;
}

QJsonArray TRemoteSites::DescribeAll() const {
    QJsonArray all;
    for (const QString& id : Ids()) all.append(Describe(id));
    return all;
}

// ---- the broker -----------------------------------------------------------------------------

void TRemoteSites::Up() {
    connected_ = true;
    for (const QString& pattern : Topics::Everything()) broker_->Subscribe(pattern);
}

void TRemoteSites::Down() {
    // Every failed try says Down: only the loss of a connection counts.
    if (!std::exchange(connected_, false)) return;
    // Each site was seen until now; whether it is online is told again after the reconnect.
    const QDateTime now = QDateTime::currentDateTime();
    for (TSite& site : sites_) {
        if (site.online) site.seen = now;
        site.online = false;
    }
    Refuse({}, 503, QStringLiteral("Verbindung zum Broker verloren"));
    for (const QString& id : Ids()) emit Changed(id);
}

void TRemoteSites::Message(const QString& topic, const QByteArray& payload, bool retained) {
    const std::optional<Topics::TTopic> t = Topics::Parse(topic);
    if (!t || t->site == ownSite_) return;
    TSite& site = sites_[t->site];
    const QDateTime now = QDateTime::currentDateTime();
    if (!retained) site.seen = now;
    if (t->leaf == QStringLiteral("online")) {
        const bool online = payload == "1";
        // A retained "1": its bridge is connected now.
        if (online) site.seen = now;
        if (online == site.online) return;
        site.online = online;
        if (!online) Refuse(t->site, 503, QStringLiteral("Standort %1 ist offline").arg(t->site));
        SiteChanged(t->site);
        return;
    }
    const QJsonObject message = QJsonDocument::fromJson(payload).object();
    const QString id = t->site + u'/' + t->machine;
    if (t->leaf == QStringLiteral("state")) {
        if (message.isEmpty()) return;
        QJsonObject state{{QStringLiteral("site"), t->site},
                          {QStringLiteral("id"), id},
                          {QStringLiteral("name"), t->machine}};
        for (const char* key : kFields)
            state[QLatin1String(key)] = message.value(QLatin1String(key));
        // Kept since it went out: the site was seen then.
        const QDateTime sent =
            QDateTime::fromString(message.value(QStringLiteral("time")).toString(), Qt::ISODate);
        if (retained && sent.isValid() && (!site.seen.isValid() || sent > site.seen)) {
            site.seen = sent;
        }
        states_.insert(id, state);
        emit Changed(id);
        return;
    }
    const bool event = t->leaf == QStringLiteral("event");
    if (t->leaf == QStringLiteral("reply") ||
        (event && message.value(QStringLiteral("type")) == QStringLiteral("reply"))) {
        Finish(message.value(QStringLiteral("request")).toString(), message);
    } else if (event && !retained) {
        QJsonObject entry;
        for (const char* key : {"entry", "time", "type", "program"}) {
            entry[QLatin1String(key)] = message.value(QLatin1String(key));
        }
        emit LogEntry(id, entry);
    }
}

void TRemoteSites::SiteChanged(const QString& site) {
    for (const QString& id : Ids()) {
        if (SiteOf(id) == site) emit Changed(id);
    }
}

// ---- commands -------------------------------------------------------------------------------

void TRemoteSites::Ask(const QString& id, const QString& command, QJsonObject request,
                       const QString& user, const TAnswer& answer) {
    const QString site = SiteOf(id);
    const QString value = prefix_ + QString::number(++asked_);
    request[QStringLiteral("request")] = value;
    request[QStringLiteral("user")] = user;
    const QString away = Away(id);
    if (!away.isEmpty() ||
        !broker_->Publish(Topics::Command(site, id.section(u'/', 1), command),
                          QJsonDocument(request).toJson(QJsonDocument::Compact), false)) {
        // Answered as every answer is: after the asker has returned.
        const QJsonObject no =
            Refusal(503, away.isEmpty() ? QStringLiteral("Keine Verbindung zum Broker") : away);
        QTimer::singleShot(0, this, [answer, no] { answer(no); });
        return;
    }
    pending_.insert(value, {id, answer});
    QTimer::singleShot(kAnswerMs, this, [this, value, site] {
        Finish(value, Refusal(504, QStringLiteral("Standort %1 antwortet nicht").arg(site)));
    });
}

void TRemoteSites::Finish(const QString& request, const QJsonObject& reply) {
    const auto it = pending_.find(request);
    if (it == pending_.end()) return;  // another asker's, or answered already
    const TAnswer answer = it->answer;
    pending_.erase(it);
    answer(reply);
}

void TRemoteSites::Refuse(const QString& site, int status, const QString& message) {
    QStringList ended;
    for (auto it = pending_.cbegin(); it != pending_.cend(); ++it) {
        if (site.isEmpty() || SiteOf(it->id) == site) ended.append(it.key());
    }
    for (const QString& request : ended) Finish(request, Refusal(status, message));
}
