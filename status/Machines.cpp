#include "status/Machines.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include "common/Ansi.h"
#include "status/LogEntries.h"
#include "status/StatusClient.h"
#include "status/StatusSocket.h"

struct TMachines::TMachine {
    QString folder;
    TStatusClient* client = nullptr;
    QTimer retry;  // the socket is there but not yet listening: a few more tries
    int tries = 0;
    // The last transfer in the log, read again when the file changed.
    QString logPath;
    qint64 logSize = -1;
    QDateTime logModified;
    QJsonValue lastTransfer;
};

namespace {

constexpr int kRetryMs = 100;
constexpr int kRetries = 20;

// A log entry as the API shows it, with the paths in folders made relative.
QJsonObject EntryIn(const QString& line, const QStringList& folders) {
    QJsonObject entry = LogEntries::Parse(line);
    entry[QStringLiteral("entry")] =
        LogEntries::Relative(entry.value(QStringLiteral("entry")).toString(), folders);
    return entry;
}

bool IsMachineFolder(const QString& folder) {
    return QFileInfo::exists(folder + QStringLiteral("/Config.ini")) ||
           StatusSocket::Present(folder);
}

}  // namespace

TMachines::TMachines(const QString& root, QObject* parent)
    : QObject(parent), root_(QDir::cleanPath(QFileInfo(root).absoluteFilePath())) {
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this,
            [this](const QString& folder) { FolderChanged(folder); });
    watcher_.addPath(root_);
    Scan();
}

TMachines::~TMachines() {
    for (auto& m : machines_) {
        if (m->client) m->client->disconnect(this);
    }
}

void TMachines::Scan() {
    if (IsMachineFolder(root_)) Add(QFileInfo(root_).fileName(), root_);
    const QDir dir(root_);
    for (const QString& name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString folder = dir.filePath(name);
        if (machines_.contains(name) || IsMachineFolder(folder)) {
            Add(name, folder);
        } else {
            // A folder made for a machine gets its Config.ini or its instance later.
            watcher_.addPath(folder);
        }
    }
    for (auto& m : machines_) {
        if (!m->client->Connected()) TryConnect(*m);
    }
}

void TMachines::Add(const QString& name, const QString& folder) {
    if (machines_.contains(name)) return;
    auto m = std::make_shared<TMachine>();
    m->folder = folder;
    m->client = new TStatusClient(folder, this);
    m->retry.setSingleShot(true);
    TMachine* raw = m.get();
    connect(&m->retry, &QTimer::timeout, this, [this, raw] { TryConnect(*raw); });
    connect(m->client, &TStatusClient::StateChanged, this, [this, name] { emit Changed(name); });
    connect(m->client, &TStatusClient::LogEntry, this,
            [this, name](const QString& entry) { emit LogEntry(name, entry); });
    connect(m->client, &TStatusClient::Reply, this,
            [this, name](const QJsonObject& reply) { emit Reply(name, reply); });
    connect(m->client, &TStatusClient::Disconnected, this, [this, raw, name] {
        emit Changed(name);
        TryConnect(*raw);  // a restart makes a new socket; the watcher sees that too
    });
    machines_.insert(name, m);
    if (folder != root_) watcher_.addPath(folder);
    emit Changed(name);
}

void TMachines::TryConnect(TMachine& m) {
    if (m.client->Connected()) return;
    if (m.client->Connect()) {
        m.tries = 0;
        return;  // its first state follows
    }
    // Bound but not yet listening, or its backlog full: try again shortly, a few times.
    if (StatusSocket::Present(m.folder) && m.tries < kRetries) {
        ++m.tries;
        m.retry.start(kRetryMs);
    } else {
        m.tries = 0;
    }
}

void TMachines::FolderChanged(const QString& folder) {
    if (folder == root_) {
        Scan();
        return;
    }
    bool machine = false;
    for (auto& m : machines_) {
        if (m->folder != folder) continue;
        machine = true;
        if (!m->client->Connected()) {
            m->tries = 0;
            TryConnect(*m);
        }
    }
    if (!machine) Scan();
}

void TMachines::WaitForStates(int ms) {
    QElapsedTimer clock;
    clock.start();
    for (auto& m : machines_) {
        const qint64 left = ms - clock.elapsed();
        if (left > 0 && m->client->Connected()) m->client->WaitForState(int(left));
    }
}

QStringList TMachines::Names() const {
    QStringList names = machines_.keys();
    names.sort();
    return names;
}

TInstanceFiles TMachines::Files(const QString& name) {
    const auto it = machines_.find(name);
    if (it == machines_.end()) return {};
    return InstanceFiles((*it)->folder, (*it)->client->State());
}

QString TMachines::State(const QString& name) {
    const auto it = machines_.find(name);
    if (it == machines_.end()) return {};
    const QJsonObject& s = (*it)->client->State();
    return s.isEmpty() ? QString::fromUtf8(StatusSocket::kOff)
                       : s.value(QStringLiteral("state")).toString();
}

QStringList TMachines::Folders(const TInstanceFiles& files) const {
    return {files.folder, files.save, root_};
}

QString TMachines::Relative(const QString& name, const QString& text) {
    return LogEntries::Relative(text, Folders(Files(name)));
}

QJsonObject TMachines::Entry(const QString& name, const QString& line) {
    return EntryIn(line, Folders(Files(name)));
}

QJsonArray TMachines::Log(const QString& name, int limit) {
    // The files once, not for each entry: without an instance they come from its Config.ini.
    const TInstanceFiles files = Files(name);
    const QStringList folders = Folders(files);
    QJsonArray entries;
    for (const QString& line : LogEntries::TailEntries(files.log, limit)) {
        entries.append(EntryIn(line, folders));
    }
    return entries;
}

bool TMachines::Command(const QString& name, const QJsonObject& command) {
    const auto it = machines_.find(name);
    return it != machines_.end() && (*it)->client->Send(command);
}

QJsonValue TMachines::LastTransfer(TMachine& m, const TInstanceFiles& files) {
    const QString& logPath = files.log;
    const QFileInfo info(logPath);
    if (logPath == m.logPath && info.size() == m.logSize && info.lastModified() == m.logModified) {
        return m.lastTransfer;
    }
    m.logPath = logPath;
    m.logSize = info.size();
    m.logModified = info.lastModified();
    m.lastTransfer = QJsonValue();
    const QStringList entries = LogEntries::TailEntries(logPath, 200);
    const QStringList folders = Folders(files);
    for (qsizetype i = entries.size() - 1; i >= 0; --i) {
        QJsonObject entry = EntryIn(entries[i], folders);
        const QJsonObject transfer =
            LogEntries::Transfer(entry.value(QStringLiteral("entry")).toString());
        if (transfer.isEmpty()) continue;
        for (auto it = transfer.begin(); it != transfer.end(); ++it) entry[it.key()] = *it;
        m.lastTransfer = entry;
        break;
    }
    return m.lastTransfer;
}

QJsonObject TMachines::Describe(const QString& name) {
    const auto it = machines_.find(name);
    if (it == machines_.end()) return {};
    TMachine& m = **it;
    if (!m.client->Connected()) TryConnect(m);
    const QJsonObject& s = m.client->State();
    QJsonObject d{{QStringLiteral("name"), name}};
    for (const char* key : {"port", "device", "program", "line", "lines", "percent",
                            "remainingSeconds", "stallSeconds", "reason"}) {
        const QString k = QLatin1String(key);
        d[k] = s.contains(k) ? s.value(k) : QJsonValue();
    }
    d[QStringLiteral("state")] = State(name);
    d[QStringLiteral("lastTransfer")] = LastTransfer(m, Files(name));
    return d;
}

QJsonArray TMachines::DescribeAll() {
    QJsonArray all;
    for (const QString& name : Names()) all.append(Describe(name));
    return all;
}
