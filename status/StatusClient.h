#pragma once
// The reader's side of an instance's socket (StatusSocket.h): the web process and
// `--status` connect through it, get the state and the log entries as they come, and send
// commands.
#include <QJsonObject>
#include <QObject>
#include <QString>

class QLocalSocket;

class TStatusClient final : public QObject {
    Q_OBJECT

  public:
    explicit TStatusClient(const QString& folder, QObject* parent = nullptr);
    ~TStatusClient() override;

    const QString& Folder() const { return folder_; }

    // Connects when not connected; false when no instance answers.
    bool Connect();
    bool Connected() const;
    // The last state the instance published (empty before the first).
    const QJsonObject& State() const { return state_; }
    // Sends a command ({"command": ...}); false when not connected.
    bool Send(const QJsonObject& command);
    // Waits up to ms for the first state (for --status, which has no event loop running).
    bool WaitForState(int ms);

  signals:
    void StateChanged();
    void LogEntry(const QString& entry);
    void Reply(const QJsonObject& reply);
    void Disconnected();

  private:
    void Read();
    void Drop();

    QString folder_;
    QLocalSocket* socket_ = nullptr;
    QJsonObject state_;
};
