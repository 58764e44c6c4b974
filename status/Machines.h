#pragma once
// The machines under a reader's root (the web front's, the broker bridge's): the root folder
// itself and each direct subfolder that holds a Config.ini or an instance's socket, named
// after the folder. Each has a reader on its instance's socket; a folder whose instance does
// not answer is "aus". Folders are watched (inotify), so an instance that starts or ends is
// seen at once.
//
// A machine is named by an id: a folder's name here; machines of other sites will be
// "<site>/<machine>" (the web API carries an id as one path segment, its "/" as %2F).
// Everything it says names files relative to the machine, never by server paths.
#include <QFileSystemWatcher>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

#include "status/InstanceFiles.h"

class TStatusClient;

class TMachines final : public QObject {
    Q_OBJECT

  public:
    explicit TMachines(const QString& root, QObject* parent = nullptr);
    ~TMachines() override;

    const QString& Root() const { return root_; }
    // Looks for machine folders again and connects to the instances that answer.
    void Scan();
    QStringList Names() const;
    bool Has(const QString& name) const { return machines_.contains(name); }

    // The machine as the API shows it.
    QJsonObject Describe(const QString& name);
    QJsonArray DescribeAll();
    TInstanceFiles Files(const QString& name);
    // Waits up to ms until every instance that answered has said its state (for --status).
    void WaitForStates(int ms);
    // Sends a command to the machine's instance; false when none answers.
    bool Command(const QString& name, const QJsonObject& command);
    // The state word (StatusSocket::kReady, ...; kOff when no instance answers).
    QString State(const QString& name);
    // A log entry of the machine as the API shows it: {entry, time}, names relative.
    QJsonObject Entry(const QString& name, const QString& line);
    // The last limit entries of the machine's log, oldest first, each as Entry gives it.
    QJsonArray Log(const QString& name, int limit);
    // text with the machine's folders taken out of its paths.
    QString Relative(const QString& name, const QString& text);

  signals:
    void Changed(const QString& name);
    void LogEntry(const QString& name, const QString& entry);
    // The instance's answer to a command, in the order the commands were sent.
    void Reply(const QString& name, const QJsonObject& reply);

  private:
    struct TMachine;
    void Add(const QString& name, const QString& folder);
    void TryConnect(TMachine& m);
    void FolderChanged(const QString& folder);
    QJsonValue LastTransfer(TMachine& m, const TInstanceFiles& files);
    // The folders an entry's paths are made relative to.
    QStringList Folders(const TInstanceFiles& files) const;

    QString root_;
    QHash<QString, std::shared_ptr<TMachine>> machines_;
    QFileSystemWatcher watcher_;
};
