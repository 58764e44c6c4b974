#include "mqtt/Bridge.h"

#include <QDateTime>
#include <QJsonDocument>

#include "mqtt/Topics.h"
#include "status/LogEntries.h"
#include "status/StatusSocket.h"

namespace {

QByteArray Compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

}  // namespace

QString IsoNow() { return Topics::TimeText(QDateTime::currentDateTime()); }

TBridge::TBridge(const QString& root, const QString& site, TMqttClient* broker, QObject* parent)
    : QObject(parent), site_(site), broker_(broker), machines_(root) {
    connect(&machines_, &TMachines::Changed, this, &TBridge::StateChanged);
    connect(&machines_, &TMachines::LogEntry, this, &TBridge::LogEntry);
    connect(&machines_, &TMachines::Reply, this, &TBridge::InstanceReplied);
    connect(broker_, &TMqttClient::Up, this, &TBridge::BrokerUp);
    connect(broker_, &TMqttClient::Message, this, &TBridge::Message);
}

void TBridge::Stop(int ms) { broker_->Stop(Topics::Online(site_), "0", ms); }

bool TBridge::Usable(const QString& name) {
    if (unusable_.contains(name)) return false;
    const QString problem = Topics::NameProblem(name);
    if (problem.isEmpty()) return true;
    if (!machines_.Has(name)) return false;
    unusable_.insert(name, problem);
    Say(QStringLiteral("Maschine %1 wird nicht veröffentlicht: ihr Name %2.").arg(name, problem));
    return false;
}

TBridge::TMachineOut& TBridge::Out(const QString& name) {
    auto& o = out_[name];
    if (!o) {
        o = std::make_shared<TMachineOut>();
        o->later = new QTimer(this);
        o->later->setSingleShot(true);
        connect(o->later, &QTimer::timeout, this, [this, name] { PublishState(name, false); });
    }
    return *o;
}

QJsonObject TBridge::About(const QString& name) const {
    return {{QStringLiteral("site"), site_},
            {QStringLiteral("id"), site_ + u'/' + name},
            {QStringLiteral("machine"), name}};
}

// ---- the broker ---------------------------------------------------------------------------

void TBridge::BrokerUp() {
    broker_->Subscribe(Topics::Commands(site_));
    broker_->Publish(Topics::Online(site_), "1", true);
    // The broker may have lost what it kept (a restart without persistence): all again.
    for (const QString& name : machines_.Names()) PublishState(name, true);
    // The gap first, then what was held, in order.
    const QHash<QString, qint64> dropped = held_.TakeDropped();
    qint64 total = 0;
    for (auto it = dropped.cbegin(); it != dropped.cend(); ++it) {
        total += it.value();
        QJsonObject event = About(it.key());
        event[QStringLiteral("type")] = QStringLiteral("dropped");
        event[QStringLiteral("time")] = IsoNow();
        event[QStringLiteral("count")] = it.value();
        event[QStringLiteral("entry")] =
            QStringLiteral("%1 Ereignisse verworfen, während der Broker fehlte").arg(it.value());
        broker_->Publish(Topics::Event(site_, it.key()), Compact(event), false);
    }
    if (total > 0) {
        Say(QStringLiteral("%1 Ereignisse verworfen, während der Broker fehlte (gehalten werden "
                           "höchstens %2).")
                .arg(total)
                .arg(kMaxHeld));
    }
    while (!held_.Empty() && broker_->Publish(Topics::Event(site_, held_.Front().machine),
                                              held_.Front().payload, false)) {
        held_.Pop();
    }
}

// ---- states -------------------------------------------------------------------------------

void TBridge::StateChanged(const QString& name) {
    if (!Usable(name)) return;
    TMachineOut& o = Out(name);
    const QString word = machines_.State(name);
    if (word == QString::fromUtf8(StatusSocket::kOff) && !o.awaiting.empty()) Unanswered(name);
    if (o.later->isActive()) return;
    if (word != o.lastWord || !o.since.isValid() || o.since.elapsed() >= kProgressMs) {
        PublishState(name, false);
    } else {
        o.later->start(int(kProgressMs - o.since.elapsed()));
    }
}

void TBridge::PublishState(const QString& name, bool always) {
    if (!Usable(name) || !broker_->IsUp()) return;  // all go out when the broker is back
    TMachineOut& o = Out(name);
    o.later->stop();
    QJsonObject state = machines_.Describe(name);
    state[QStringLiteral("site")] = site_;
    state[QStringLiteral("id")] = site_ + u'/' + name;
    const QByteArray content = Compact(state);
    if (!always && content == o.last) return;
    state[QStringLiteral("time")] = IsoNow();
    if (!broker_->Publish(Topics::State(site_, name), Compact(state), true)) return;
    o.last = content;
    o.lastWord = state.value(QStringLiteral("state")).toString();
    o.since.start();
}

// ---- events -------------------------------------------------------------------------------

void TBridge::LogEntry(const QString& name, const QString& entry) {
    const QJsonObject parsed = LogEntries::Parse(entry);
    const QString text = parsed.value(QStringLiteral("entry")).toString().trimmed();
    const LogEntries::TKind kind = LogEntries::Kind(text);
    // Names as the web front shows them: relative to the machine, never server paths.
    const QDateTime stamp =
        QDateTime::fromString(parsed.value(QStringLiteral("time")).toString(), Qt::ISODate);
    QJsonObject event{
        {QStringLiteral("type"), kind.kind},
        {QStringLiteral("time"), stamp.isValid() ? Topics::TimeText(stamp) : IsoNow()},
        {QStringLiteral("entry"), machines_.Relative(name, text)},
        {QStringLiteral("program"),
         kind.program.isEmpty() ? QJsonValue() : QJsonValue(kind.program)}};
    PublishEvent(name, event);
}

void TBridge::PublishEvent(const QString& name, const QJsonObject& event) {
    if (!Usable(name)) return;
    QJsonObject whole = About(name);
    for (auto it = event.begin(); it != event.end(); ++it) whole.insert(it.key(), it.value());
    const QByteArray payload = Compact(whole);
    if (broker_->IsUp()) {
        if (!broker_->Publish(Topics::Event(site_, name), payload, false)) {
            Say(QStringLiteral("Ereignis von %1 nicht gesendet (%2 Bytes).")
                    .arg(name)
                    .arg(payload.size()));
        }
        return;
    }
    held_.Push(name, payload);
}
