#pragma once
// The machines of the other sites on the shop's broker, as a web front shows them beside its
// own: each site's online flag, each machine's last state and its log entries as they come;
// and commands to a machine, answered through the broker. A machine is named by its id,
// "<site>/<machine>". The front's own site is left out: its machines are served from its
// own root. Holds no transfer state: everything comes from the bridges' messages.
#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <functional>

#include "mqtt/MqttClient.h"

class TRemoteSites final : public QObject {
    Q_OBJECT

  public:
    // How long an answer to a command is awaited.
    static constexpr int kAnswerMs = 30000;
    // The state of a machine whose site cannot be seen now.
    static constexpr char kUnknown[] = "unbekannt";

    TRemoteSites(TMqttClient* broker, const QString& ownSite, QObject* parent = nullptr);

    QStringList Ids() const;
    bool Has(const QString& id) const { return states_.contains(id); }
    // The machine as the web API shows it: what its bridge published last; while the bridge
    // or the broker is away "unbekannt", no progress, why in "reason" and in "seen" when the
    // site was seen last (ISO 8601, null when never).
    QJsonObject Describe(const QString& id) const;
    QJsonArray DescribeAll() const;
    // Why the machine's site cannot be reached now (German), empty when it can.
    QString Away(const QString& id) const;

    // Sends a command for user to the machine; answer gets the bridge's reply once, or
    // {ok: false, status: 503 or 504, message} when none can come.
    using TAnswer = std::function<void(const QJsonObject& reply)>;
    void Ask(const QString& id, const QString& command, QJsonObject request, const QString& user,
             const TAnswer& answer);

  signals:
    void Changed(const QString& id);
    // A log entry of the machine: {entry, time, type, program}.
    void LogEntry(const QString& id, const QJsonObject& event);

  private:
    struct TSite {
        bool online = false;
        QDateTime seen;
    };
    struct TPending {
        QString id;
        TAnswer answer;
    };

    void Up();
    void Down();
    void Message(const QString& topic, const QByteArray& payload, bool retained);
    void SiteChanged(const QString& site);
    // Ends the asks of site (all when empty) with a refusal.
    void Refuse(const QString& site, int status, const QString& message);
    void Finish(const QString& request, const QJsonObject& reply);

    TMqttClient* broker_;
    QString ownSite_;
    QString prefix_;  // of this front's request values, unique on the broker
    quint64 asked_ = 0;
    bool connected_ = false;
    QHash<QString, TSite> sites_;
    QHash<QString, QJsonObject> states_;  // by id
    QHash<QString, TPending> pending_;    // by request value
};
