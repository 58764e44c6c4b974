// The commands a site's machines take through the broker: each names the acting user, is
// written to the journal, and is answered with the request's own "request" value: changes
// (abort, program) on the machine's event topic, where everybody sees them, questions
// (files, download, log) on its reply topic.
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include "common/ProgramFiles.h"
#include "common/Versions.h"
#include "mqtt/Bridge.h"
#include "mqtt/Topics.h"
#include "status/LogEntries.h"
#include "status/StatusSocket.h"

namespace {

// The bytes of the largest program, in Base64, and room for the rest of the request.
constexpr qsizetype kMaxRequest = (ProgramFiles::kMaxBytes + 2) / 3 * 4 + 64 * 1024;
constexpr qsizetype kMaxUser = 64;
constexpr int kDefaultLog = 100;
constexpr int kMaxLog = 5000;

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

// The acting user as the journal and the log may carry it; empty when there is none.
QString UserOf(const QJsonObject& request) {
    const QString user = request.value(QStringLiteral("user")).toString().trimmed();
    if (user.size() > kMaxUser) return {};
    for (const QChar c : user) {
        if (c.unicode() < 32 || c.category() == QChar::Other_Control) return {};
    }
    return user;
}

QJsonObject FileObject(const QFileInfo& info) {
    return {{QStringLiteral("name"), info.fileName()},
            {QStringLiteral("size"), info.size()},
            {QStringLiteral("time"), info.lastModified().toString(Qt::ISODate)}};
}

// A request's value for the journal: as JSON writes it (no line end), not too long.
QString Shown(const QJsonValue& value) {
    const QByteArray json = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    const QString text = QString::fromUtf8(json.mid(1, json.size() - 2));
    return text.size() > 64 ? text.left(64) + QStringLiteral("...") : text;
}

// The folder a question names: the programs a call can load (default) or the received ones.
QString FolderOf(const TInstanceFiles& files, const QJsonObject& request) {
    const QString folder = request.value(QStringLiteral("folder")).toString();
    if (folder.isEmpty() || folder == QStringLiteral("programs")) return files.folder;
    if (folder == QStringLiteral("received")) return files.save;
    return {};
}

}  // namespace

void TBridge::Message(const QString& topic, const QByteArray& payload, bool retained) {
    const auto target = Topics::ParseCommand(topic, site_);
    if (!target) return;
    const QString& name = target->machine;
    // No topic of ours can carry such a name: nothing to answer on.
    if (!Topics::NameProblem(name).isEmpty() || !Topics::NameProblem(target->command).isEmpty()) {
        return;
    }
    // A retained command would be carried out again at every connect: never.
    if (retained) {
        Say(QStringLiteral("Gespeicherter Befehl auf %1 nicht ausgeführt: ein Befehl gilt nur, "
                           "wenn er kommt (retain aus).")
                .arg(topic));
        return;
    }
    if (payload.isEmpty()) return;
    if (!machines_.Has(name)) machines_.Scan();  // a machine folder made just now
    QJsonObject reply = About(name);
    reply[QStringLiteral("type")] = QStringLiteral("reply");
    reply[QStringLiteral("command")] = target->command;
    QJsonObject request;
    if (payload.size() <= kMaxRequest) request = QJsonDocument::fromJson(payload).object();
    reply[QStringLiteral("request")] = request.value(QStringLiteral("request"));
    const QString user = UserOf(request);
    reply[QStringLiteral("user")] = user;
    if (payload.size() > kMaxRequest) {
        Answer(name, reply, false, Text("Der Befehl ist größer als 16 MiB."));
    } else if (request.isEmpty()) {
        Answer(name, reply, false, Text("Der Befehl ist kein JSON-Objekt."));
    } else if (user.isEmpty()) {
        Answer(name, reply, false,
               Text("Der Befehl nennt keinen Benutzer (\"user\", höchstens 64 Zeichen)."));
    } else if (!machines_.Has(name)) {
        Answer(name, reply, false, Text("Unbekannte Maschine."));
    } else {
        Command(name, target->command, request, reply);
    }
}

void TBridge::Command(const QString& name, const QString& command, const QJsonObject& request,
                      QJsonObject reply) {
    if (command == QStringLiteral("abort")) return Abort(name, reply);
    if (command == QStringLiteral("program")) return Program(name, request, reply);
    if (command == QStringLiteral("download") || command == QStringLiteral("files")) {
        const TInstanceFiles files = machines_.Files(name);
        const QString folder = FolderOf(files, request);
        if (folder.isEmpty()) {
            return Answer(name, reply, false, Text("\"folder\" ist programs oder received."));
        }
        if (command == QStringLiteral("files")) return Files(name, folder, files.ext, reply);
        return Download(name, folder, files.ext, request, reply);
    }
    if (command == QStringLiteral("log")) return Log(name, request, reply);
    Answer(name, reply, false, Text("Unbekannter Befehl."));
}

void TBridge::Answer(const QString& name, QJsonObject reply, bool ok, const QString& message) {
    reply[QStringLiteral("ok")] = ok;
    reply[QStringLiteral("message")] = message;
    reply[QStringLiteral("time")] = IsoNow();
    const QString what = reply.value(QStringLiteral("command")).toString();
    Say(QStringLiteral("%1: %2 von %3 (Anfrage %4): %5")
            .arg(name, what, reply.value(QStringLiteral("user")).toString(),
                 Shown(reply.value(QStringLiteral("request"))), message));
    if (what == QStringLiteral("abort") || what == QStringLiteral("program")) {
        QJsonObject event;
        for (auto it = reply.begin(); it != reply.end(); ++it) event.insert(it.key(), it.value());
        PublishEvent(name, event);
        return;
    }
    // The asker waits for its answer only so long: one that cannot go now is not held.
    if (!broker_->Publish(Topics::Reply(site_, name),
                          QJsonDocument(reply).toJson(QJsonDocument::Compact), false)) {
        Say(QStringLiteral("%1: Antwort auf %2 nicht gesendet: der Broker fehlt.").arg(name, what));
    }
}

// ---- abort ----------------------------------------------------------------------------------

void TBridge::Abort(const QString& name, QJsonObject reply) {
    const QString state = machines_.State(name);
    if (state != Text(StatusSocket::kSending) && state != Text(StatusSocket::kWaiting)) {
        return Answer(name, reply, false, Text("Es läuft kein Senden."));
    }
    const QString user = reply.value(QStringLiteral("user")).toString();
    if (!machines_.Command(name, {{QStringLiteral("command"), QStringLiteral("abort")},
                                  {QStringLiteral("user"), user}})) {
        return Answer(name, reply, false, Text("Der Server der Maschine antwortet nicht."));
    }
    // The instance answers in order; its answer goes to the asker.
    Out(name).awaiting.push_back(reply);
}

void TBridge::InstanceReplied(const QString& name, const QJsonObject& answer) {
    auto it = out_.find(name);
    if (it == out_.end() || (*it)->awaiting.empty()) return;
    const QJsonObject reply = (*it)->awaiting.front();
    (*it)->awaiting.pop_front();
    Answer(name, reply, answer.value(QStringLiteral("ok")).toBool(),
           answer.value(QStringLiteral("message")).toString());
}

void TBridge::Unanswered(const QString& name) {
    std::deque<QJsonObject> awaiting;
    awaiting.swap(Out(name).awaiting);
    for (const QJsonObject& reply : awaiting) {
        Answer(name, reply, false, Text("Der Server der Maschine antwortet nicht."));
    }
}

// ---- programs -------------------------------------------------------------------------------

void TBridge::Program(const QString& name, const QJsonObject& request, QJsonObject reply) {
    const QByteArray file = request.value(QStringLiteral("name")).toString().toUtf8();
    reply[QStringLiteral("name")] = QString::fromUtf8(file);
    const auto bytes =
        QByteArray::fromBase64Encoding(request.value(QStringLiteral("data")).toString().toLatin1(),
                                       QByteArray::AbortOnBase64DecodingErrors);
    if (!request.value(QStringLiteral("data")).isString() || !bytes) {
        return Answer(name, reply, false, Text("\"data\" fehlt oder ist kein Base64."));
    }
    const TInstanceFiles files = machines_.Files(name);
    const ProgramFiles::TStored stored = ProgramFiles::Store(files.folder, files.ext, file, *bytes);
    if (stored.result != ProgramFiles::TStored::Created &&
        stored.result != ProgramFiles::TStored::Replaced) {
        return Answer(name, reply, false, stored.message);
    }
    const QFileInfo info(stored.path);
    reply[QStringLiteral("name")] = info.fileName();
    reply[QStringLiteral("size")] = info.size();
    reply[QStringLiteral("created")] = stored.result == ProgramFiles::TStored::Created;
    // Beside the program, as the machine's folder holds it.
    reply[QStringLiteral("version")] = stored.version.isEmpty()
                                           ? QJsonValue()
                                           : QJsonValue(QLatin1String(Versions::kFolder) + u'/' +
                                                        QFileInfo(stored.version).fileName());
    Answer(name, reply, true,
           (stored.result == ProgramFiles::TStored::Created ? Text("%1 gespeichert (%2 Bytes)")
                                                            : Text("%1 ersetzt (%2 Bytes)"))
               .arg(info.fileName())
               .arg(info.size()));
}

void TBridge::Download(const QString& name, const QString& folder, const QString& ext,
                       const QJsonObject& request, QJsonObject reply) {
    QString problem;
    const QString path = ProgramFiles::Find(
        folder, ext, request.value(QStringLiteral("name")).toString().toUtf8(), &problem);
    if (path.isEmpty()) return Answer(name, reply, false, problem);
    const QFileInfo info(path);
    if (info.size() > ProgramFiles::kMaxBytes) {
        return Answer(name, reply, false, Text("Die Datei ist größer als 16 MiB."));
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return Answer(name, reply, false, Text("Datei nicht lesbar: ") + file.errorString());
    }
    const QJsonObject about = FileObject(info);
    for (auto it = about.begin(); it != about.end(); ++it) reply.insert(it.key(), it.value());
    reply[QStringLiteral("data")] = QString::fromLatin1(file.readAll().toBase64());
    Answer(name, reply, true, info.fileName());
}

void TBridge::Files(const QString& name, const QString& folder, const QString& ext,
                    QJsonObject reply) {
    QJsonArray list;
    for (const QFileInfo& info : ProgramFiles::List(folder, ext)) list.append(FileObject(info));
    reply[QStringLiteral("files")] = list;
    Answer(name, reply, true, Text("%1 Dateien").arg(list.size()));
}

void TBridge::Log(const QString& name, const QJsonObject& request, QJsonObject reply) {
    const int limit = request.value(QStringLiteral("limit")).toInt(kDefaultLog);
    if (limit < 1) return Answer(name, reply, false, Text("\"limit\" ist eine ganze Zahl ab 1."));
    QJsonArray entries;
    for (const QString& line :
         LogEntries::TailEntries(machines_.Files(name).log, std::min(limit, kMaxLog))) {
        entries.append(LogEntries::Parse(line));
    }
    reply[QStringLiteral("entries")] = entries;
    Answer(name, reply, true, Text("%1 Einträge").arg(entries.size()));
}
