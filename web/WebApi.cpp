#include "web/WebApi.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>

#include "common/Ansi.h"
#include "common/FilePaths.h"
#include "common/FileReplace.h"
#include "common/Versions.h"
#include "status/LogEntries.h"

// The page lives in the resources of this static library: registered by hand.
static void InitPageResource() { Q_INIT_RESOURCE(web); }

namespace {

constexpr char kCookie[] = "dnc_sitzung";
constexpr qint64 kSessionIdleMs = 12LL * 3600 * 1000;
constexpr int kMaxSessions = 1000;
constexpr qint64 kLoginBody = 4096;
// Failed logins: from the fifth for a user (the twentieth for an address, which a shop's
// machines may share) each doubles the wait, up to five minutes; a quarter of an hour
// without one forgets them.
constexpr int kFreeUserFailures = 4;
constexpr int kFreeAddressFailures = 19;
constexpr qint64 kMaxWaitMs = 5 * 60 * 1000;
constexpr qint64 kForgetMs = 15 * 60 * 1000;
constexpr int kDefaultLog = 100;
constexpr int kMaxLog = 5000;
// The most a download reads into memory (programs are far smaller).
constexpr qint64 kMaxDownload = 64 * 1024 * 1024;

const QByteArray kPageSecurity =
    "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
    "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'";

bool IsChange(const QByteArray& method) {
    return method == "POST" || method == "PUT" || method == "DELETE" || method == "PATCH";
}

QByteArray CookieValue(const QByteArray& header, const QByteArray& name) {
    for (const QByteArray& part : header.split(';')) {
        const QByteArray p = part.trimmed();
        if (p.startsWith(name + "=")) return p.mid(name.size() + 1);
    }
    return {};
}

bool HasExtension(const QString& name, const QString& ext) {
    return !ext.isEmpty() && name.endsWith(u'.' + ext, Qt::CaseInsensitive) &&
           name.size() > ext.size() + 1;
}

QJsonObject FileObject(const QFileInfo& info) {
    return {{QStringLiteral("name"), info.fileName()},
            {QStringLiteral("size"), info.size()},
            {QStringLiteral("time"), info.lastModified().toString(Qt::ISODate)}};
}

QString MessageOf(const std::exception& e) { return Ansi::ToQString(QByteArray(e.what())); }

// "filename" for the download box: the name as it is, and a plain fallback.
QByteArray Disposition(const QString& name) {
    QByteArray plain = name.toLatin1();
    for (char& c : plain) {
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 32 || c == '?') c = '_';
    }
    return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" +
           name.toUtf8().toPercentEncoding();
}

}  // namespace

THttpReply JsonReply(int status, const QJsonValue& value) {
    THttpReply reply;
    reply.status = status;
    reply.contentType = "application/json; charset=utf-8";
    reply.body = value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                 : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    reply.AddHeader("Cache-Control", "no-store");
    return reply;
}

THttpReply ErrorReply(int status, const QString& message) {
    return JsonReply(status, QJsonObject{{QStringLiteral("error"), message}});
}

TWebApi::TWebApi(const QString& root, THttpServer* server, QObject* parent)
    : QObject(parent),
      server_(server),
      machines_(root),
      users_(WebUsers::FilePath(machines_.Root())) {
    InitPageResource();
    server_->OnHead = [this](const THttpRequest& r) { return Head(r); };
    server_->OnRequest = [this](const THttpRequest& r) { return Handle(r); };
    connect(&machines_, &TMachines::Changed, this, [this](const QString& name) {
        server_->Broadcast("machine",
                           QJsonDocument(machines_.Describe(name)).toJson(QJsonDocument::Compact));
    });
    connect(&machines_, &TMachines::LogEntry, this,
            [this](const QString& name, const QString& entry) {
                QJsonObject event = LogEntries::Parse(entry);
                event[QStringLiteral("machine")] = name;
                server_->Broadcast("log", QJsonDocument(event).toJson(QJsonDocument::Compact));
            });
}

QString TWebApi::FileNameProblem(const QByteArray& name) {
    if (name.isEmpty()) return QStringLiteral("Der Dateiname ist leer.");
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) return QStringLiteral("Der Dateiname enthält ein Steuerzeichen.");
        if (c == '/' || c == '\\') return QStringLiteral("Der Dateiname enthält ein Trennzeichen.");
    }
    if (name.contains("..")) return QStringLiteral("Der Dateiname enthält \"..\".");
    if (name.startsWith('.')) return QStringLiteral("Der Dateiname beginnt mit einem Punkt.");
    // NAME_MAX of the file systems in use.
    if (name.size() > 255) return QStringLiteral("Der Dateiname ist zu lang.");
    if (!QString::fromUtf8(name).toUtf8().startsWith(name)) {
        return QStringLiteral("Der Dateiname ist kein gültiger UTF-8-Text.");
    }
    return {};
}

// ---- sessions, origin, failed logins --------------------------------------------------------

const TWebUser* TWebApi::SessionUser(const THttpRequest& request, QByteArray* token) {
    const QByteArray t = CookieValue(request.Header("cookie"), kCookie);
    const auto it = sessions_.find(t);
    if (t.isEmpty() || it == sessions_.end()) return nullptr;
    if (it->lastUsed.elapsed() > kSessionIdleMs) {
        sessions_.erase(it);
        return nullptr;
    }
    // Deleted or changed in the users file since the login: that counts now.
    const TWebUser* user = users_.Find(it->user);
    if (!user) {
        sessions_.erase(it);
        return nullptr;
    }
    it->lastUsed.start();
    if (token) *token = t;
    return user;
}

bool TWebApi::SameOrigin(const THttpRequest& request) const {
    const QByteArray host = request.Header("host");
    if (host.isEmpty()) return false;
    const QByteArray own = (server_->Secure() ? "https://" : "http://") + host.toLower();
    const QByteArray origin = request.Header("origin").toLower();
    if (!origin.isEmpty()) return origin == own;
    const QByteArray referer = request.Header("referer");
    return referer.toLower().startsWith(own + "/");
}

bool TWebApi::Throttled(const QString& key, qint64* waitMs) {
    const auto it = failures_.find(key);
    if (it == failures_.end()) return false;
    const qint64 since = it->since.elapsed();
    if (since > kForgetMs) {
        failures_.erase(it);
        return false;
    }
    if (since >= it->blockedMs) return false;
    *waitMs = std::max(*waitMs, it->blockedMs - since);
    return true;
}

void TWebApi::Failed(const QString& key, int free) {
    if (failures_.size() > 10000) {
        // Many addresses: forget those long quiet.
        for (auto it = failures_.begin(); it != failures_.end();) {
            it = it->since.elapsed() > kForgetMs ? failures_.erase(it) : std::next(it);
        }
    }
    TFailures& f = failures_[key];
    if (f.since.isValid() && f.since.elapsed() > kForgetMs) f = {};
    ++f.count;
    f.since.start();
    if (f.count > free) {
        const int doublings = std::min(f.count - free - 1, 20);
        f.blockedMs = std::min(kMaxWaitMs, qint64(1000) << doublings);
    }
}

// ---- routing ----------------------------------------------------------------------------

std::optional<THttpReply> TWebApi::Head(const THttpRequest& request) {
    const QList<QByteArray> path = request.Segments();
    if (path.value(0) != "api") return std::nullopt;
    if (IsChange(request.method) && !SameOrigin(request)) {
        return ErrorReply(403, QStringLiteral("Anfrage von einer fremden Seite abgelehnt."));
    }
    if (path.value(1) == "login") {
        if (request.contentLength > kLoginBody) return ErrorReply(413, QStringLiteral("Zu groß."));
        return std::nullopt;
    }
    const TWebUser* user = SessionUser(request);
    if (!user) return ErrorReply(401, QStringLiteral("Bitte anmelden."));
    // An upload is checked whole before its body is read.
    if (request.method == "PUT") {
        if (path.size() != 5 || path[1] != "machines" || path[3] != "programs") {
            return ErrorReply(405, QStringLiteral("Nicht erlaubt."));
        }
        if (user->role != QStringLiteral("bedienen")) {
            return ErrorReply(403, QStringLiteral("Nur Benutzer mit der Rolle \"bedienen\" "
                                                  "dürfen Programme hochladen."));
        }
        if (!machines_.Has(QString::fromUtf8(path[2]))) {
            machines_.Scan();
            if (!machines_.Has(QString::fromUtf8(path[2]))) {
                return ErrorReply(404, QStringLiteral("Unbekannte Maschine."));
            }
        }
        const QString problem = FileNameProblem(path[4]);
        if (!problem.isEmpty()) return ErrorReply(400, problem);
        if (request.contentLength > server_->Limits().maxBody) {
            return ErrorReply(413, QStringLiteral("Die Datei ist größer als 16 MiB."));
        }
    }
    return std::nullopt;
}

THttpReply TWebApi::Handle(const THttpRequest& request) {
    const QList<QByteArray> path = request.Segments();
    const QByteArray& method = request.method;
    if (path.value(0) != "api") {
        return method == "GET" ? Page(request.path) : ErrorReply(405, QStringLiteral("Nur GET."));
    }
    const QByteArray what = path.value(1);
    if (what == "login" && path.size() == 2) {
        return method == "POST" ? Login(request) : ErrorReply(405, QStringLiteral("Nur POST."));
    }
    QByteArray token;
    const TWebUser* user = SessionUser(request, &token);
    if (!user) return ErrorReply(401, QStringLiteral("Bitte anmelden."));
    if (what == "logout" && path.size() == 2 && method == "POST") return Logout(request);
    if (what == "session" && path.size() == 2 && method == "GET") {
        return JsonReply(200, QJsonObject{{QStringLiteral("user"), user->name},
                                          {QStringLiteral("role"), user->role}});
    }
    if (what == "events" && path.size() == 2 && method == "GET") return Events(token);
    if (what == "machines") {
        if (path.size() == 2 && method == "GET") {
            machines_.Scan();
            return JsonReply(200, machines_.DescribeAll());
        }
        if (path.size() >= 3) return Machine(request, path, *user);
    }
    return ErrorReply(404, QStringLiteral("Unbekannte Adresse."));
}

THttpReply TWebApi::Machine(const THttpRequest& request, const QList<QByteArray>& path,
                            const TWebUser& user) {
    const QString name = QString::fromUtf8(path[2]);
    if (!machines_.Has(name)) machines_.Scan();
    if (!machines_.Has(name)) return ErrorReply(404, QStringLiteral("Unbekannte Maschine."));
    const QByteArray& method = request.method;
    const QByteArray what = path.value(3);
    if (path.size() == 3 && method == "GET") return JsonReply(200, machines_.Describe(name));
    if (what == "log" && path.size() == 4 && method == "GET") return Log(name, request);
    if (what == "abort" && path.size() == 4 && method == "POST") {
        if (user.role != QStringLiteral("bedienen")) {
            return ErrorReply(403, QStringLiteral("Nur Benutzer mit der Rolle \"bedienen\" "
                                                  "dürfen ein Senden abbrechen."));
        }
        const QString state = machines_.State(name);
        if (state != QStringLiteral("sendet") && state != QStringLiteral("wartet")) {
            return ErrorReply(409, QStringLiteral("Es läuft kein Senden."));
        }
        if (!machines_.Command(name, {{QStringLiteral("command"), QStringLiteral("abort")}})) {
            return ErrorReply(409, QStringLiteral("Der Server der Maschine antwortet nicht."));
        }
        return JsonReply(202, QJsonObject{{QStringLiteral("ok"), true}});
    }
    if (what != "programs" && what != "received") {
        return ErrorReply(404, QStringLiteral("Unbekannte Adresse."));
    }
    const TInstanceFiles files = machines_.Files(name);
    const QString folder = what == "programs" ? files.folder : files.save;
    if (path.size() == 4 && method == "GET") return ListFiles(folder, files.ext);
    if (path.size() != 5) return ErrorReply(404, QStringLiteral("Unbekannte Adresse."));
    const QString problem = FileNameProblem(path[4]);
    if (!problem.isEmpty()) return ErrorReply(400, problem);
    if (method == "GET") return Download(folder, files.ext, path[4]);
    if (method == "PUT" && what == "programs") {
        return Upload(folder, files.ext, path[4], request.body);
    }
    return ErrorReply(405, QStringLiteral("Nicht erlaubt."));
}

// ---- login ------------------------------------------------------------------------------

THttpReply TWebApi::Login(const THttpRequest& request) {
    const QJsonObject body = QJsonDocument::fromJson(request.body).object();
    const QString name = body.value(QStringLiteral("user")).toString();
    const QString password = body.value(QStringLiteral("password")).toString();
    if (name.isEmpty() || !body.value(QStringLiteral("password")).isString()) {
        return ErrorReply(400, QStringLiteral("Benutzer und Passwort fehlen."));
    }
    const QString userKey = QStringLiteral("u:") + name;
    const QString addressKey = QStringLiteral("a:") + QString::fromLatin1(request.peer);
    qint64 waitMs = 0;
    if (Throttled(userKey, &waitMs) | Throttled(addressKey, &waitMs)) {
        const qint64 seconds = (waitMs + 999) / 1000;
        THttpReply reply = ErrorReply(
            429, QStringLiteral("Zu viele Fehlversuche: bitte %1 s warten.").arg(seconds));
        reply.AddHeader("Retry-After", QByteArray::number(seconds));
        return reply;
    }
    const TWebUser* user = users_.Find(name);
    if (!user || !WebUsers::Verify(*user, password)) {
        if (!user) {
            // As long as a wrong password, so the answer tells nothing about the name.
            static const TWebUser nobody =
                WebUsers::Make(QStringLiteral("-"), QStringLiteral("lesen"), QStringLiteral("-"));
            WebUsers::Verify(nobody, password);
        }
        Failed(userKey, kFreeUserFailures);
        Failed(addressKey, kFreeAddressFailures);
        return ErrorReply(401, QStringLiteral("Benutzer oder Passwort falsch."));
    }
    failures_.remove(userKey);
    if (sessions_.size() >= kMaxSessions) {
        auto oldest = sessions_.begin();
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
            if (it->lastUsed.elapsed() > oldest->lastUsed.elapsed()) oldest = it;
        }
        server_->CloseStreams(oldest.key());
        sessions_.erase(oldest);
    }
    QByteArray random(32, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(random.data()), 8);
    const QByteArray token =
        random.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    TSession session{user->name, {}};
    session.lastUsed.start();
    sessions_.insert(token, session);
    THttpReply reply = JsonReply(200, QJsonObject{{QStringLiteral("user"), user->name},
                                                  {QStringLiteral("role"), user->role}});
    reply.headers.append({"Set-Cookie", QByteArray(kCookie) + "=" + token +
                                            "; Path=/; HttpOnly; SameSite=Strict" +
                                            (server_->Secure() ? "; Secure" : "")});
    return reply;
}

THttpReply TWebApi::Logout(const THttpRequest& request) {
    const QByteArray token = CookieValue(request.Header("cookie"), kCookie);
    sessions_.remove(token);
    server_->CloseStreams(token);
    THttpReply reply = JsonReply(200, QJsonObject{{QStringLiteral("ok"), true}});
    reply.headers.append({"Set-Cookie", QByteArray(kCookie) +
                                            "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                            (server_->Secure() ? "; Secure" : "")});
    return reply;
}

// ---- files and the log ------------------------------------------------------------------

THttpReply TWebApi::ListFiles(const QString& folder, const QString& ext) {
    QJsonArray list;
    const QFileInfoList infos = QDir(folder).entryInfoList(QDir::Files, QDir::Name);
    for (const QFileInfo& info : infos) {
        if (HasExtension(info.fileName(), ext) && !info.fileName().startsWith(u'.')) {
            list.append(FileObject(info));
        }
    }
    return JsonReply(200, list);
}

THttpReply TWebApi::Download(const QString& folder, const QString& ext, const QByteArray& name) {
    const QString wanted = QString::fromUtf8(name);
    const QString path = FindIgnoringCase(JoinPath(folder, wanted));
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile() || !HasExtension(info.fileName(), ext)) {
        return ErrorReply(404, QStringLiteral("Datei nicht vorhanden."));
    }
    if (info.size() > kMaxDownload) return ErrorReply(413, QStringLiteral("Datei zu groß."));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return ErrorReply(500, QStringLiteral("Datei nicht lesbar: ") + file.errorString());
    }
    THttpReply reply;
    reply.contentType = "application/octet-stream";
    reply.body = file.readAll();
    reply.AddHeader("Content-Disposition", Disposition(info.fileName()));
    reply.AddHeader("Cache-Control", "no-store");
    return reply;
}

THttpReply TWebApi::Upload(const QString& folder, const QString& ext, const QByteArray& name,
                           const QByteArray& body) {
    const QString given = QString::fromUtf8(name);
    if (!HasExtension(given, ext)) {
        return ErrorReply(400, QStringLiteral("Programme dieser Maschine haben die Endung .%1: "
                                              "ein Abruf lädt nur sie.")
                                   .arg(ext));
    }
    // A program that differs only in letter case is the same program to a call: replaced.
    QStringList alternatives;
    const QString found = FindIgnoringCase(JoinPath(folder, given), &alternatives);
    if (found.isEmpty() && !alternatives.isEmpty()) {
        return ErrorReply(409, QStringLiteral("Mehrere Dateien unterscheiden sich nur in der "
                                              "Groß-/Kleinschreibung: ") +
                                   alternatives.join(QStringLiteral(", ")));
    }
    const QString path = found.isEmpty() ? JoinPath(folder, given) : found;
    if (!found.isEmpty() && !QFileInfo(found).isFile()) {
        return ErrorReply(409, QStringLiteral("Unter diesem Namen liegt keine Datei."));
    }
    QString version;
    try {
        version = Versions::Keep(path);
        WriteAtomic(path, body);
    } catch (const std::exception& e) {
        return ErrorReply(500, QStringLiteral("Nicht gespeichert: ") + MessageOf(e));
    }
    QJsonObject result = FileObject(QFileInfo(path));
    result[QStringLiteral("version")] = version.isEmpty() ? QJsonValue() : QJsonValue(version);
    return JsonReply(found.isEmpty() ? 201 : 200, result);
}

THttpReply TWebApi::Log(const QString& machine, const THttpRequest& request) {
    int limit = kDefaultLog;
    const QByteArray text = request.Query("limit");
    if (!text.isEmpty()) {
        bool ok = false;
        limit = text.toInt(&ok);
        if (!ok || limit < 1) {
            return ErrorReply(400, QStringLiteral("limit ist eine ganze Zahl ab 1."));
        }
        limit = std::min(limit, kMaxLog);
    }
    QJsonArray entries;
    for (const QString& line : LogEntries::TailEntries(machines_.Files(machine).log, limit)) {
        entries.append(LogEntries::Parse(line));
    }
    return JsonReply(200, entries);
}

THttpReply TWebApi::Events(const QByteArray& token) {
    THttpReply reply;
    reply.eventStream = true;
    reply.streamTag = token;
    machines_.Scan();
    reply.body = "event: machines\ndata: " +
                 QJsonDocument(machines_.DescribeAll()).toJson(QJsonDocument::Compact) + "\n\n";
    return reply;
}

THttpReply TWebApi::Page(const QByteArray& path) {
    static const QHash<QByteArray, QPair<QString, QByteArray>> files{
        {"/", {QStringLiteral(":/web/index.html"), "text/html; charset=utf-8"}},
        {"/index.html", {QStringLiteral(":/web/index.html"), "text/html; charset=utf-8"}},
        {"/app.js", {QStringLiteral(":/web/app.js"), "text/javascript; charset=utf-8"}},
        {"/app.css", {QStringLiteral(":/web/app.css"), "text/css; charset=utf-8"}},
        {"/icon.svg", {QStringLiteral(":/web/icon.svg"), "image/svg+xml"}},
    };
    const auto it = files.find(path);
    if (it == files.end()) return ErrorReply(404, QStringLiteral("Unbekannte Adresse."));
    QFile file(it->first);
    file.open(QIODevice::ReadOnly);
    THttpReply reply;
    reply.contentType = it->second;
    reply.body = file.readAll();
    reply.AddHeader("Content-Security-Policy", kPageSecurity);
    reply.AddHeader("Cache-Control", "no-cache");
    return reply;
}
