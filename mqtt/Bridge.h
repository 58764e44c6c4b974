#pragma once
// The bridge between the instances under a root and the shop's broker: every machine's
// state (retained, again at each change, progress at most once a second), its log entries
// as events, the site's online flag, and the commands for the site's machines. Holds no
// transfer state: everything comes from the instances' sockets and the files in their
// folders. While the broker is away, events are held up to a bound; what is dropped beyond
// it is counted and said.
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <memory>

#include "mqtt/BrokerCall.h"
#include "mqtt/HeldEvents.h"
#include "mqtt/MqttClient.h"
#include "status/Machines.h"

class TBridge final : public QObject {
    Q_OBJECT

  public:
    // The most events held while the broker is away.
    static constexpr int kMaxHeld = 10000;
    // A state goes out at once when its word changes, its progress at most this often.
    static constexpr int kProgressMs = 1000;

    TBridge(const QString& root, const QString& site, TMqttClient* broker,
            QObject* parent = nullptr);

    TMachines& Machines() { return machines_; }

    // The last words before a clean end: the site goes offline (waits up to ms for the broker).
    void Stop(int ms);

  private:
    struct TMachineOut {
        QByteArray last;      // the state last published, without its time
        QString lastWord;     // and its state word
        QElapsedTimer since;  // when it went out
        QTimer* later = nullptr;
        // Commands sent to the instance whose answer is awaited, in order.
        std::deque<QJsonObject> awaiting;
    };

    void BrokerUp();
    void BrokerDown(const QString& why);
    bool Usable(const QString& name);
    TMachineOut& Out(const QString& name);
    void StateChanged(const QString& name);
    void PublishState(const QString& name, bool always);
    void PublishEvent(const QString& name, const QJsonObject& event);
    void LogEntry(const QString& name, const QString& entry);
    QJsonObject About(const QString& name) const;

    // Commands.cpp
    void Message(const QString& topic, const QByteArray& payload, bool retained);
    void Command(const QString& name, const QString& command, const QJsonObject& request,
                 QJsonObject reply);
    void Abort(const QString& name, QJsonObject reply);
    void InstanceReplied(const QString& name, const QJsonObject& answer);
    void Unanswered(const QString& name);
    // The commands on programs: what was done (German) with *reply filled in, empty for an
    // unknown command; throws TRefused or FileError.
    QString Files(const QString& name, const QString& command, const QJsonObject& request,
                  QJsonObject* reply);
    void Log(const QString& name, const QJsonObject& request, QJsonObject reply);
    // An answer to a change (on the event topic) or to a question (on the reply topic).
    void Answer(const QString& name, QJsonObject reply, bool ok, const QString& message);

    QString site_;
    TMqttClient* broker_;
    TMachines machines_;
    QHash<QString, std::shared_ptr<TMachineOut>> out_;
    QHash<QString, QString> unusable_;  // machine names no topic can carry, and why
    THeldEvents held_{kMaxHeld};
};

// Now, in ISO 8601 with the offset from UTC, as dashboards read it.
QString IsoNow();
