// The commands a site's machines take through the broker: each names the acting user, is
// written to the journal, and is answered with the request's own "request" value: changes
// (abort, program, delete, restore, accept) on the machine's event topic, where everybody
// sees them, questions (files, deleted, versions, download, log) on its reply topic. The
// programs are checked, stored and kept as versions as the web front does it.
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/ProgramFiles.h"
#include "common/ProgramFolder.h"
#include "mqtt/Bridge.h"
#include "mqtt/Topics.h"
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

// A request's value for the journal: as JSON writes it (no line end), not too long.
QString Shown(const QJsonValue& value) {
    const QByteArray json = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    const QString text = QString::fromUtf8(json.mid(1, json.size() - 2));
    return text.size() > 64 ? text.left(64) + QStringLiteral("...") : text;
}

// The folder a command names: the programs a call can load (default) or the received ones.
TProgramFolder FolderOf(const TInstanceFiles& files, const QJsonObject& request) {
    const QString folder = request.value(QStringLiteral("folder")).toString();
    if (folder.isEmpty() || folder == QStringLiteral("programs")) {
        return TProgramFolder(files.folder, files.ext);
    }
    if (folder == QStringLiteral("received")) return TProgramFolder(files.save, files.ext);
    throw TRefused{400, Text("\"folder\" ist programs oder received.")};
}

// The commands that change something: answered on the event topic.
const QStringList kChanges{QStringLiteral("abort"), QStringLiteral("program"),
                           QStringLiteral("delete"), QStringLiteral("restore"),
                           QStringLiteral("accept")};

// The request's "name", a plain file name.
QString NameIn(const QJsonObject& request) {
    const QString name = request.value(QStringLiteral("name")).toString();
    if (const QString problem = ProgramFiles::NameProblem(name.toUtf8()); !problem.isEmpty()) {
        throw TRefused{400, problem};
    }
    return name;
}

// A file's fields into an answer, whose own "time" says when it was answered: the file's
// time becomes "modified".
void Merge(QJsonObject* reply, const QJsonObject& result) {
    for (auto it = result.begin(); it != result.end(); ++it) {
        reply->insert(it.key() == QStringLiteral("time") ? QStringLiteral("modified") : it.key(),
                      it.value());
    }
}

// What a command to change a program answers: the program as the web front answers it.
void Changed(QJsonObject* reply, const QJsonObject& result, bool created) {
    Merge(reply, result);
    reply->insert(QStringLiteral("created"), created);
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
    if (command == QStringLiteral("log")) return Log(name, request, reply);
    try {
        const QString done = Files(name, command, request, &reply);
        if (done.isEmpty()) return Answer(name, reply, false, Text("Unbekannter Befehl."));
        Answer(name, reply, true, done);
    } catch (const TRefused& refused) {
        reply[QStringLiteral("status")] = refused.status;
        Answer(name, reply, false, machines_.Relative(name, refused.message));
    } catch (const FileError& e) {
        reply[QStringLiteral("status")] = 500;
        Answer(name, reply, false, machines_.Relative(name, Ansi::ToQString(e.what())));
    }
}

void TBridge::Answer(const QString& name, QJsonObject reply, bool ok, const QString& message) {
    reply[QStringLiteral("ok")] = ok;
    reply[QStringLiteral("message")] = message;
    reply[QStringLiteral("time")] = IsoNow();
    const QString what = reply.value(QStringLiteral("command")).toString();
    Say(QStringLiteral("%1: %2 von %3 (Anfrage %4): %5")
            .arg(name, what, reply.value(QStringLiteral("user")).toString(),
                 Shown(reply.value(QStringLiteral("request"))), message));
    if (kChanges.contains(what)) return PublishEvent(name, reply);
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

// ---- programs ------------------------------------------------------------------------------

QString TBridge::Files(const QString& name, const QString& command, const QJsonObject& request,
                       QJsonObject* reply) {
    const TInstanceFiles files = machines_.Files(name);
    TProgramFolder programs(files.folder, files.ext);
    bool created = false;
    if (command == QStringLiteral("files") || command == QStringLiteral("deleted")) {
        const QJsonArray list = command == QStringLiteral("deleted")
                                    ? programs.Removed()
                                    : FolderOf(files, request).List();
        reply->insert(QStringLiteral("files"), list);
        return Text("%1 Dateien").arg(list.size());
    }
    if (command == QStringLiteral("versions")) {
        const QJsonArray list = programs.VersionList(NameIn(request));
        reply->insert(QStringLiteral("versions"), list);
        return Text("%1 Fassungen").arg(list.size());
    }
    if (command == QStringLiteral("download")) {
        const QString version = request.value(QStringLiteral("version")).toString();
        const QString path = version.isEmpty() ? FolderOf(files, request).Existing(NameIn(request))
                                               : programs.VersionPath(NameIn(request), version);
        const QFileInfo info(path);
        if (info.size() > ProgramFiles::kMaxBytes) {
            throw TRefused{413, Text("Die Datei ist größer als 16 MiB.")};
        }
        const QByteArray bytes = TProgramFolder::Read(path);
        Merge(reply, FileObject(info));
        reply->insert(QStringLiteral("data"), QString::fromLatin1(bytes.toBase64()));
        return info.fileName();
    }
    if (command == QStringLiteral("program")) {
        const auto bytes = QByteArray::fromBase64Encoding(
            request.value(QStringLiteral("data")).toString().toLatin1(),
            QByteArray::AbortOnBase64DecodingErrors);
        reply->insert(QStringLiteral("name"), request.value(QStringLiteral("name")));
        if (!request.value(QStringLiteral("data")).isString() || !bytes) {
            throw TRefused{400, Text("\"data\" fehlt oder ist kein Base64.")};
        }
        const QJsonObject result = programs.Write(NameIn(request), *bytes, &created);
        Changed(reply, result, created);
        return (created ? Text("%1 gespeichert (%2 Bytes)") : Text("%1 ersetzt (%2 Bytes)"))
            .arg(result.value(QStringLiteral("name")).toString())
            .arg(bytes.decoded.size());
    }
    if (command == QStringLiteral("delete")) {
        const QJsonObject result = programs.Remove(NameIn(request));
        Changed(reply, result, false);
        return Text("%1 gelöscht").arg(result.value(QStringLiteral("name")).toString());
    }
    if (command == QStringLiteral("restore")) {
        const QString version = request.value(QStringLiteral("version")).toString();
        const QJsonObject result = programs.Restore(NameIn(request), version, &created);
        Changed(reply, result, created);
        return Text("%1 aus Fassung %2 wiederhergestellt")
            .arg(result.value(QStringLiteral("name")).toString(), version);
    }
    if (command == QStringLiteral("accept")) {
        const QString from = TProgramFolder(files.save, files.ext).Existing(NameIn(request));
        const QString as = request.value(QStringLiteral("as")).toString(QFileInfo(from).fileName());
        const QJsonObject result = programs.Accept(from, as, &created);
        Changed(reply, result, created);
        reply->insert(QStringLiteral("from"), QFileInfo(from).fileName());
        return Text("empfangen %1 als %2 übernommen")
            .arg(QFileInfo(from).fileName(), result.value(QStringLiteral("name")).toString());
    }
    return {};
}

void TBridge::Log(const QString& name, const QJsonObject& request, QJsonObject reply) {
    const int limit = request.value(QStringLiteral("limit")).toInt(kDefaultLog);
    if (limit < 1) return Answer(name, reply, false, Text("\"limit\" ist eine ganze Zahl ab 1."));
    const QJsonArray entries = machines_.Log(name, std::min(limit, kMaxLog));
    reply[QStringLiteral("entries")] = entries;
    Answer(name, reply, true, Text("%1 Einträge").arg(entries.size()));
}
