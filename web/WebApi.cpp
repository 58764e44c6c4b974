#include "web/WebApi.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/ProgramFiles.h"
#include "common/ProgramFolder.h"
#include "status/LogEntries.h"
#include "status/StatusSocket.h"
#include "web/Audit.h"

// The page lives in the resources of this static library: registered by hand.
static void InitPageResource() { Q_INIT_RESOURCE(web); }

namespace {

constexpr char kCookie[] = "dnc_sitzung";
constexpr qint64 kSmallBody = 4096;
constexpr qint64 kProgramBody = ProgramFiles::kMaxBytes;
// A machine's two folders, as the bridge's commands name them too: the programs a call
// loads, and the received ones.
const QString kPrograms = QStringLiteral("programs");
const QString kReceived = QStringLiteral("received");
constexpr int kDefaultLog = 100;
constexpr int kMaxLog = 5000;
// Event streams: a page needs one; a few tabs of one session, a few sessions of one user.
constexpr int kStreamsPerSession = 4;
constexpr int kStreamsPerUser = 8;

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

// "filename" for the download box: the name as it is, and a plain fallback.
QByteArray Disposition(const QString& name) {
    QByteArray plain = name.toLatin1();
    for (char& c : plain) {
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 32 || c == '?') c = '_';
    }
    return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" +
           name.toUtf8().toPercentEncoding();
}

// A file found here: where it is.
QJsonObject Found(const QString& path) { return {{QStringLiteral("path"), path}}; }

// The bytes of a file found here, or of one a bridge sent (its name and data).
THttpReply Download(const QJsonObject& result) {
    THttpReply reply;
    reply.contentType = "application/octet-stream";
    const QString path = result.value(QStringLiteral("path")).toString();
    reply.body =
        !path.isEmpty()
            ? TProgramFolder::Read(path)
            : QByteArray::fromBase64(result.value(QStringLiteral("data")).toString().toLatin1());
    reply.AddHeader("Content-Disposition",
                    Disposition(path.isEmpty() ? result.value(QStringLiteral("name")).toString()
                                               : QFileInfo(path).fileName()));
    reply.AddHeader("Cache-Control", "no-store");
    return reply;
}

// The list in a result.
std::function<THttpReply(const QJsonObject&)> Listed(const char* key) {
    return [key](const QJsonObject& result) {
        return JsonReply(200, result.value(QLatin1String(key)).toArray());
    };
}

THttpReply Busy(int status, const QString& message, int seconds) {
    THttpReply reply = ErrorReply(status, message);
    reply.AddHeader("Retry-After", QByteArray::number(seconds));
    return reply;
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

// clang-format off
const TWebApi::TRoute TWebApi::kRoutes[] = {
    {"GET",    "/",                                                             TRole::None,    0,            &TWebApi::Page},
    {"GET",    "/index.html",                                                   TRole::None,    0,            &TWebApi::Page},
    {"GET",    "/app.js",                                                       TRole::None,    0,            &TWebApi::Page},
    {"GET",    "/app.css",                                                      TRole::None,    0,            &TWebApi::Page},
    {"GET",    "/icon.svg",                                                     TRole::None,    0,            &TWebApi::Page},
    {"POST",   "/api/login",                                                    TRole::None,    kSmallBody,   &TWebApi::Login},
    {"POST",   "/api/logout",                                                   TRole::Read,    0,            &TWebApi::Logout},
    {"GET",    "/api/session",                                                  TRole::Read,    0,            &TWebApi::Session},
    {"GET",    "/api/events",                                                   TRole::Read,    0,            &TWebApi::Events},
    {"GET",    "/api/machines",                                                 TRole::Read,    0,            &TWebApi::MachineList},
    {"GET",    "/api/machines/{machine}",                                       TRole::Read,    0,            &TWebApi::MachineState},
    {"GET",    "/api/machines/{machine}/log",                                   TRole::Read,    0,            &TWebApi::Log},
    {"POST",   "/api/machines/{machine}/abort",                                 TRole::Operate, 0,            &TWebApi::Abort},
    {"GET",    "/api/machines/{machine}/programs",                              TRole::Read,    0,            &TWebApi::ProgramList},
    {"GET",    "/api/machines/{machine}/deleted",                               TRole::Read,    0,            &TWebApi::RemovedList},
    {"GET",    "/api/machines/{machine}/programs/{name}",                       TRole::Read,    0,            &TWebApi::Program},
    {"PUT",    "/api/machines/{machine}/programs/{name}",                       TRole::Operate, kProgramBody, &TWebApi::Upload},
    {"DELETE", "/api/machines/{machine}/programs/{name}",                       TRole::Operate, 0,            &TWebApi::Remove},
    {"GET",    "/api/machines/{machine}/programs/{name}/versions",              TRole::Read,    0,            &TWebApi::VersionList},
    {"GET",    "/api/machines/{machine}/programs/{name}/versions/{id}",         TRole::Read,    0,            &TWebApi::Version},
    {"POST",   "/api/machines/{machine}/programs/{name}/versions/{id}/restore", TRole::Operate, 0,            &TWebApi::Restore},
    {"GET",    "/api/machines/{machine}/received",                              TRole::Read,    0,            &TWebApi::ReceivedList},
    {"GET",    "/api/machines/{machine}/received/{name}",                       TRole::Read,    0,            &TWebApi::ReceivedProgram},
    {"POST",   "/api/machines/{machine}/received/{name}/accept",                TRole::Operate, kSmallBody,   &TWebApi::Accept},
};
// clang-format on

TWebApi::TWebApi(const QString& root, THttpServer* server, TRemoteSites* remote,
                 const QString& site, QObject* parent)
    : QObject(parent),
      server_(server),
      remote_(remote),
      site_(site),
      machines_(root),
      sessions_(WebUsers::FilePath(machines_.Root())) {
    InitPageResource();
    server_->OnHead = [this](const THttpRequest& r) { return Head(r); };
    server_->OnRequest = [this](const THttpRequest& r, const THttpAnswer& a) {
        return Dispatch(r, a);
    };
    connect(&machines_, &TMachines::Changed, this,
            [this](const QString& name) { Publish(Local(name)); });
    connect(&machines_, &TMachines::LogEntry, this,
            [this](const QString& name, const QString& entry) {
                const QJsonObject machine = Local(name);
                PublishEntry(machines_.Entry(name, entry), machine);
                // A transfer's entry is the machine's "Zuletzt" from now on.
                if (LogEntries::IsTransfer(entry)) Publish(machine);
            });
    if (remote_) {
        connect(remote_, &TRemoteSites::Changed, this,
                [this](const QString& id) { Publish(remote_->Describe(id)); });
        connect(remote_, &TRemoteSites::LogEntry, this,
                [this](const QString& id, const QJsonObject& entry) {
                    PublishEntry(entry, remote_->Describe(id));
                });
    }
    connect(&sessions_, &TSessions::Ended, this,
            [this](const QByteArray& token, const QString& user, const QString& why) {
                server_->CloseStreams("s:" + token);
                Audit::Say(QStringLiteral("Sitzung beendet (%1)").arg(why), user, "-");
            });
}

void TWebApi::Publish(const QJsonObject& machine) {
    server_->Broadcast("machine", QJsonDocument(machine).toJson(QJsonDocument::Compact));
}

void TWebApi::PublishEntry(QJsonObject entry, const QJsonObject& machine) {
    for (const char* key : {"site", "id"})
        entry[QLatin1String(key)] = machine.value(QLatin1String(key));
    entry[QStringLiteral("machine")] = machine.value(QStringLiteral("name"));
    server_->Broadcast("log", QJsonDocument(entry).toJson(QJsonDocument::Compact));
}

QJsonObject TWebApi::Local(const QString& name) {
    QJsonObject m = machines_.Describe(name);
    m[QStringLiteral("site")] = remote_ ? QJsonValue(site_) : QJsonValue();
    m[QStringLiteral("id")] = remote_ ? site_ + u'/' + name : name;
    return m;
}

QJsonArray TWebApi::All() {
    // Looks again although the folders are watched: a file system mounted on a machine
    // folder after the start is not seen by the watch on the folder beneath it.
    machines_.Scan();
    QJsonArray all;
    for (const QString& name : machines_.Names()) all.append(Local(name));
    if (remote_) {
        for (const QJsonValue& m : remote_->DescribeAll()) all.append(m);
    }
    return all;
}

// ---- routing ----------------------------------------------------------------------------

const TWebApi::TRoute* TWebApi::Route(const THttpRequest& request, TCall* call,
                                      std::optional<THttpReply>* no) {
    static const QRegularExpression versionId(QStringLiteral("^\\d{8}-\\d{6}(\\.\\d+)?$"));
    const QList<QByteArray> path = request.Segments();
    const TRoute* route = nullptr;
    QByteArrayList allowed;
    QList<QByteArray> values;  // what the pattern's placeholders took, in order
    for (const TRoute& r : kRoutes) {
        const QList<QByteArray> pattern = QByteArray(r.pattern + 1).split('/');
        if (pattern.size() != path.size()) continue;
        QList<QByteArray> taken;
        bool match = true;
        for (qsizetype i = 0; i < pattern.size() && match; ++i) {
            if (pattern[i].startsWith('{')) {
                taken.append(path[i]);
                match = !path[i].isEmpty();
            } else {
                match = pattern[i] == path[i];
            }
        }
        if (!match) continue;
        allowed.append(r.method);
        if (r.method == request.method) {
            route = &r;
            values = taken;
        }
    }
    if (allowed.isEmpty()) {
        *no = ErrorReply(404, QStringLiteral("Unbekannte Adresse."));
        return nullptr;
    }
    if (!route) {
        *no =
            ErrorReply(405, QStringLiteral("Nicht erlaubt: ") +
                                QString::fromLatin1(allowed.join(", ")) + QStringLiteral(" hier."));
        (*no)->AddHeader("Allow", allowed.join(", "));
        return nullptr;
    }
    if (IsChange(route->method) && !SameOrigin(request)) {
        *no = ErrorReply(403, QStringLiteral("Anfrage von einer fremden Seite abgelehnt."));
        return nullptr;
    }
    if (route->needs != TRole::None) {
        call->token = CookieValue(request.Header("cookie"), kCookie);
        call->user = sessions_.Find(call->token);
        if (!call->user) {
            *no = ErrorReply(401, QStringLiteral("Bitte anmelden."));
            return nullptr;
        }
        if (call->user->role < route->needs) {
            *no = ErrorReply(403, QStringLiteral("Das dürfen nur Benutzer mit der Rolle \"%1\".")
                                      .arg(WebUsers::RoleName(route->needs)));
            return nullptr;
        }
    }
    if (request.contentLength > route->maxBody) {
        QString limit = QStringLiteral("Hier wird nichts hochgeladen.");
        if (route->maxBody >= 1024 * 1024) {
            limit = QStringLiteral("Größer als %1 MiB.").arg(route->maxBody / (1024 * 1024));
        } else if (route->maxBody > 0) {
            limit = QStringLiteral("Größer als %1 KiB.").arg(route->maxBody / 1024);
        }
        *no = ErrorReply(413, limit);
        return nullptr;
    }
    // The placeholders' values, checked.
    QByteArrayList names;
    for (const QByteArray& segment : QByteArray(route->pattern).split('/')) {
        if (segment.startsWith('{')) names.append(segment);
    }
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QByteArray& value = values[i];
        if (names[i] == "{machine}") {
            // A plain name, or this site's id: a machine of this PC; another site's id: one
            // of its bridge's.
            const QString id = QString::fromUtf8(value);
            const qsizetype slash = id.indexOf(u'/');
            call->remote = slash >= 0 && !(remote_ && id.left(slash) == site_);
            call->machine = call->remote || slash < 0 ? id : id.mid(slash + 1);
            if (!call->remote && !machines_.Has(call->machine)) machines_.Scan();
            if (call->remote ? !(remote_ && remote_->Has(id)) : !machines_.Has(call->machine)) {
                *no = ErrorReply(404, QStringLiteral("Unbekannte Maschine."));
                return nullptr;
            }
        } else if (names[i] == "{name}") {
            if (const QString problem = ProgramFiles::NameProblem(value); !problem.isEmpty()) {
                *no = ErrorReply(400, problem);
                return nullptr;
            }
            call->name = QString::fromUtf8(value);
        } else if (names[i] == "{id}") {
            call->id = QString::fromUtf8(value);
            if (!versionId.match(call->id).hasMatch()) {
                *no = ErrorReply(404, QStringLiteral("Diese Fassung gibt es nicht."));
                return nullptr;
            }
        }
    }
    return route;
}

std::optional<THttpReply> TWebApi::Head(const THttpRequest& request) {
    const THttpAnswer none;
    TCall call{request, none};
    std::optional<THttpReply> no;
    Route(request, &call, &no);
    return no;
}

THttpReply TWebApi::Dispatch(const THttpRequest& request, const THttpAnswer& answer) {
    TCall call{request, answer};
    std::optional<THttpReply> no;
    const TRoute* route = Route(request, &call, &no);
    if (!route) return *no;
    try {
        return (this->*route->handle)(call);
    } catch (const TRefused& refused) {
        return ErrorReply(refused.status, machines_.Relative(call.machine, refused.message));
    } catch (const FileError& e) {
        // The system's words, with the machine's paths made relative.
        return ErrorReply(500, machines_.Relative(call.machine, Ansi::ToQString(e.what())));
    }
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

TProgramFolder TWebApi::Folder(const QString& machine, const QString& folder) {
    const TInstanceFiles files = machines_.Files(machine);
    return TProgramFolder(folder == kReceived ? files.save : files.folder, files.ext);
}

TProgramFolder TWebApi::Programs(const QString& machine) { return Folder(machine, kPrograms); }

THttpReply TWebApi::Either(const TCall& call, const QString& command, const QJsonObject& request,
                           const std::function<QJsonObject()>& local, const TDone& done) {
    if (!call.remote) return done(local());
    const THttpAnswer answer = call.answer;
    remote_->Ask(call.machine, command, request, call.user->name,
                 [answer, done](QJsonObject reply) {
                     if (!reply.value(QStringLiteral("ok")).toBool()) {
                         answer(ErrorReply(reply.value(QStringLiteral("status")).toInt(409),
                                           reply.value(QStringLiteral("message")).toString()));
                         return;
                     }
                     // The answer's own time is when it went out; the file's is "modified".
                     reply.remove(QStringLiteral("time"));
                     if (reply.contains(QStringLiteral("modified"))) {
                         reply[QStringLiteral("time")] = reply.take(QStringLiteral("modified"));
                     }
                     answer(done(reply));
                 });
    return THttpReply::Later();
}

TWebApi::TDone TWebApi::Changed(const TCall& call, const TTold& told) const {
    const QString user = call.user->name;
    const QByteArray peer = call.request.peer;
    const QString machine = call.machine;
    return [=](const QJsonObject& result) {
        const auto [what, object] = told(result);
        Audit::Say(what, user, peer, machine + u'/' + object);
        QJsonObject shown;
        for (const char* key : {"name", "size", "time", "version"}) {
            if (result.contains(QLatin1String(key))) {
                shown[QLatin1String(key)] = result.value(QLatin1String(key));
            }
        }
        return JsonReply(result.value(QStringLiteral("created")).toBool() ? 201 : 200, shown);
    };
}

// ---- the page, login and sessions -------------------------------------------------------

THttpReply TWebApi::Page(const TCall& call) {
    static const QHash<QByteArray, QPair<QString, QByteArray>> files{
        {"/", {QStringLiteral(":/web/index.html"), "text/html; charset=utf-8"}},
        {"/index.html", {QStringLiteral(":/web/index.html"), "text/html; charset=utf-8"}},
        {"/app.js", {QStringLiteral(":/web/app.js"), "text/javascript; charset=utf-8"}},
        {"/app.css", {QStringLiteral(":/web/app.css"), "text/css; charset=utf-8"}},
        {"/icon.svg", {QStringLiteral(":/web/icon.svg"), "image/svg+xml"}},
    };
    const auto it = files.find(call.request.path);
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

THttpReply TWebApi::Login(const TCall& call) {
    const QJsonObject body = QJsonDocument::fromJson(call.request.body).object();
    const QString name = body.value(QStringLiteral("user")).toString();
    const QString password = body.value(QStringLiteral("password")).toString();
    if (name.isEmpty() || !body.value(QStringLiteral("password")).isString()) {
        return ErrorReply(400, QStringLiteral("Benutzer und Passwort fehlen."));
    }
    const QByteArray address = call.request.peer;
    qint64 waitMs = 0;
    if (logins_.Throttled(name, address, &waitMs)) {
        const int seconds = int((waitMs + 999) / 1000);
        return Busy(429, QStringLiteral("Zu viele Fehlversuche: bitte %1 s warten.").arg(seconds),
                    seconds);
    }
    const TWebUser* user = sessions_.Users().Find(name);
    const QByteArray salt = user ? user->salt : QByteArray();
    const THttpAnswer answer = call.answer;
    const bool queued =
        logins_.Check(user, password, address, [this, name, salt, address, answer](bool ok) {
            answer(LoginChecked(ok, name, salt, address));
        });
    if (!queued) {
        return Busy(503,
                    QStringLiteral("Zu viele Anmeldungen gleichzeitig: bitte gleich noch "
                                   "einmal."),
                    2);
    }
    return THttpReply::Later();
}

THttpReply TWebApi::LoginChecked(bool ok, const QString& name, const QByteArray& salt,
                                 const QByteArray& address) {
    // The password may have changed while it was checked: the old one opens nothing.
    const TWebUser* user = sessions_.Users().Find(name);
    if (!ok || !user || user->salt != salt) {
        logins_.Failed(name, address);
        Audit::Say(QStringLiteral("Anmeldung fehlgeschlagen"), name, address);
        return ErrorReply(401, QStringLiteral("Benutzer oder Passwort falsch."));
    }
    logins_.Succeeded(name, address);
    Audit::Say(QStringLiteral("Anmeldung"), name, address);
    const QByteArray token = sessions_.Open(*user);
    const QString role = WebUsers::RoleName(user->role);
    THttpReply reply = JsonReply(
        200, QJsonObject{{QStringLiteral("user"), user->name}, {QStringLiteral("role"), role}});
    reply.AddHeader("Set-Cookie", QByteArray(kCookie) + "=" + token +
                                      "; Path=/; HttpOnly; SameSite=Strict" +
                                      (server_->Secure() ? "; Secure" : ""));
    return reply;
}

THttpReply TWebApi::Logout(const TCall& call) {
    sessions_.Close(call.token);
    server_->CloseStreams("s:" + call.token);
    Audit::Say(QStringLiteral("Abmeldung"), call.user->name, call.request.peer);
    THttpReply reply = JsonReply(200, QJsonObject{{QStringLiteral("ok"), true}});
    reply.AddHeader("Set-Cookie", QByteArray(kCookie) +
                                      "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                      (server_->Secure() ? "; Secure" : ""));
    return reply;
}

THttpReply TWebApi::Session(const TCall& call) {
    return JsonReply(200,
                     QJsonObject{{QStringLiteral("user"), call.user->name},
                                 {QStringLiteral("role"), WebUsers::RoleName(call.user->role)}});
}

THttpReply TWebApi::Events(const TCall& call) {
    const QByteArray session = "s:" + call.token;
    const QByteArray user = "u:" + call.user->name.toUtf8();
    // Bounded per session and per user, so that one cannot take every stream from the
    // others; a page that gets none shows the machines by asking now and then.
    if (server_->StreamsTagged(session) >= kStreamsPerSession ||
        server_->StreamsTagged(user) >= kStreamsPerUser) {
        return Busy(429, QStringLiteral("Zu viele offene Live-Verbindungen dieses Benutzers."), 30);
    }
    THttpReply reply;
    reply.eventStream = true;
    reply.streamTags = {session, user};
    reply.body =
        "event: machines\ndata: " + QJsonDocument(All()).toJson(QJsonDocument::Compact) + "\n\n";
    return reply;
}

// ---- machines and their logs ------------------------------------------------------------

THttpReply TWebApi::MachineList(const TCall&) { return JsonReply(200, All()); }

THttpReply TWebApi::MachineState(const TCall& call) {
    return JsonReply(200, call.remote ? remote_->Describe(call.machine) : Local(call.machine));
}

THttpReply TWebApi::Log(const TCall& call) {
    int limit = kDefaultLog;
    const QByteArray text = call.request.Query("limit");
    if (!text.isEmpty()) {
        bool ok = false;
        limit = text.toInt(&ok);
        if (!ok || limit < 1) {
            return ErrorReply(400, QStringLiteral("limit ist eine ganze Zahl ab 1."));
        }
        limit = std::min(limit, kMaxLog);
    }
    return Either(
        call, QStringLiteral("log"), {{QStringLiteral("limit"), limit}},
        [&] {
            QJsonArray entries;
            const QString log = machines_.Files(call.machine).log;
            for (const QString& line : LogEntries::TailEntries(log, limit)) {
                entries.append(machines_.Entry(call.machine, line));
            }
            return QJsonObject{{QStringLiteral("entries"), entries}};
        },
        Listed("entries"));
}

THttpReply TWebApi::Abort(const TCall& call) {
    const QString user = call.user->name;
    const QByteArray peer = call.request.peer;
    const QString machine = call.machine;
    return Either(
        call, QStringLiteral("abort"), {},
        [&] {
            const QString state = machines_.State(call.machine);
            if (state != QString::fromUtf8(StatusSocket::kSending) &&
                state != QString::fromUtf8(StatusSocket::kWaiting)) {
                throw TRefused{409, QStringLiteral("Es läuft kein Senden.")};
            }
            if (!machines_.Command(call.machine,
                                   {{QStringLiteral("command"), QStringLiteral("abort")},
                                    {QStringLiteral("user"), user}})) {
                throw TRefused{409, QStringLiteral("Der Server der Maschine antwortet nicht.")};
            }
            return QJsonObject();
        },
        [=](const QJsonObject&) {
            Audit::Say(QStringLiteral("Abbruch Senden"), user, peer, machine);
            return JsonReply(202, QJsonObject{{QStringLiteral("ok"), true}});
        });
}

// ---- programs, their versions, received programs ----------------------------------------

THttpReply TWebApi::FileList(const TCall& call, const QString& folder) {
    return Either(
        call, QStringLiteral("files"), {{QStringLiteral("folder"), folder}},
        [&] {
            return QJsonObject{{QStringLiteral("files"), Folder(call.machine, folder).List()}};
        },
        Listed("files"));
}

THttpReply TWebApi::FileDownload(const TCall& call, const QString& folder) {
    return Either(
        call, QStringLiteral("download"),
        {{QStringLiteral("folder"), folder}, {QStringLiteral("name"), call.name}},
        [&] { return Found(Folder(call.machine, folder).Existing(call.name)); }, Download);
}

THttpReply TWebApi::ProgramList(const TCall& call) { return FileList(call, kPrograms); }

THttpReply TWebApi::RemovedList(const TCall& call) {
    return Either(
        call, QStringLiteral("deleted"), {},
        [&] {
            return QJsonObject{{QStringLiteral("files"), Programs(call.machine).Removed()}};
        },
        Listed("files"));
}

THttpReply TWebApi::Program(const TCall& call) { return FileDownload(call, kPrograms); }

THttpReply TWebApi::Upload(const TCall& call) {
    return Either(
        call, QStringLiteral("program"),
        // The bytes in Base64 only for a bridge.
        call.remote ? QJsonObject{{QStringLiteral("name"), call.name},
                                  {QStringLiteral("data"),
                                   QString::fromLatin1(call.request.body.toBase64())}}
                    : QJsonObject(),
        [&] {
            bool created = false;
            QJsonObject result =
                Programs(call.machine).Write(call.name, call.request.body, &created);
            result[QStringLiteral("created")] = created;
            return result;
        },
        Changed(call, [](const QJsonObject& result) {
            const QString name = result.value(QStringLiteral("name")).toString();
            if (result.value(QStringLiteral("created")).toBool()) {
                return std::pair(QStringLiteral("Hochgeladen"), name);
            }
            return std::pair(QStringLiteral("Ersetzt"),
                             name + QStringLiteral(" (vorherige Fassung %1)")
                                        .arg(result.value(QStringLiteral("version")).toString()));
        }));
}

THttpReply TWebApi::Remove(const TCall& call) {
    return Either(
        call, QStringLiteral("delete"), {{QStringLiteral("name"), call.name}},
        [&] { return Programs(call.machine).Remove(call.name); },
        Changed(call, [](const QJsonObject& result) {
            return std::pair(QStringLiteral("Gelöscht"),
                             result.value(QStringLiteral("name")).toString() +
                                 QStringLiteral(" (aufbewahrt als Fassung %1)")
                                     .arg(result.value(QStringLiteral("version")).toString()));
        }));
}

THttpReply TWebApi::VersionList(const TCall& call) {
    return Either(
        call, QStringLiteral("versions"), {{QStringLiteral("name"), call.name}},
        [&] {
            return QJsonObject{
                {QStringLiteral("versions"), Programs(call.machine).VersionList(call.name)}};
        },
        Listed("versions"));
}

THttpReply TWebApi::Version(const TCall& call) {
    return Either(
        call, QStringLiteral("download"),
        {{QStringLiteral("name"), call.name}, {QStringLiteral("version"), call.id}},
        [&] { return Found(Programs(call.machine).VersionPath(call.name, call.id)); }, Download);
}

THttpReply TWebApi::Restore(const TCall& call) {
    const QString id = call.id;
    return Either(
        call, QStringLiteral("restore"),
        {{QStringLiteral("name"), call.name}, {QStringLiteral("version"), call.id}},
        [&] {
            bool created = false;
            QJsonObject result = Programs(call.machine).Restore(call.name, call.id, &created);
            result[QStringLiteral("created")] = created;
            return result;
        },
        Changed(call, [id](const QJsonObject& result) {
            return std::pair(QStringLiteral("Wiederhergestellt"),
                             result.value(QStringLiteral("name")).toString() +
                                 QStringLiteral(" aus Fassung ") + id);
        }));
}

THttpReply TWebApi::ReceivedList(const TCall& call) { return FileList(call, kReceived); }

THttpReply TWebApi::ReceivedProgram(const TCall& call) { return FileDownload(call, kReceived); }

THttpReply TWebApi::Accept(const TCall& call) {
    const QString as = QJsonDocument::fromJson(call.request.body)
                           .object()
                           .value(QStringLiteral("as"))
                           .toString(call.name);
    return Either(
        call, QStringLiteral("accept"),
        {{QStringLiteral("name"), call.name}, {QStringLiteral("as"), as}},
        [&] {
            const QString from = Folder(call.machine, kReceived).Existing(call.name);
            bool created = false;
            QJsonObject result = Programs(call.machine).Accept(from, as, &created);
            result[QStringLiteral("created")] = created;
            result[QStringLiteral("from")] = QFileInfo(from).fileName();
            return result;
        },
        Changed(call, [](const QJsonObject& result) {
            return std::pair(QStringLiteral("Übernommen"),
                             QStringLiteral("empfangen %1 als %2")
                                 .arg(result.value(QStringLiteral("from")).toString(),
                                      result.value(QStringLiteral("name")).toString()));
        }));
}
