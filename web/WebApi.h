#pragma once
// The web page's HTTP API and the page itself, over THttpServer: login and sessions, the
// machines, their logs, programs and received programs, uploads, aborting a send, and the
// event stream. Holds no transfer state: everything comes from the instances' sockets and
// the files in their folders.
//
// Rules: a request without a valid session gets 401; a "lesen" user's change 403; a change
// without an Origin (or Referer) of this server 403; an unknown machine or file 404; a file
// name that is no plain name 400; a body over the server's limit 413; repeated failed logins
// for one user or address 429.
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include "status/Machines.h"
#include "web/HttpServer.h"
#include "web/WebUsers.h"

class TWebApi final : public QObject {
    Q_OBJECT

  public:
    TWebApi(const QString& root, THttpServer* server, QObject* parent = nullptr);

    TMachines& Machines() { return machines_; }

    // Empty when name is a plain file name (no separator, "..", control character or NUL,
    // not hidden, not longer than the file system allows), otherwise why not (German).
    static QString FileNameProblem(const QByteArray& name);

  private:
    struct TSession {
        QString user;
        QElapsedTimer lastUsed;
    };
    struct TFailures {
        int count = 0;
        QElapsedTimer since;   // the last failure
        qint64 blockedMs = 0;  // no try before since + blockedMs
    };

    std::optional<THttpReply> Head(const THttpRequest& request);
    THttpReply Handle(const THttpRequest& request);

    // The session's user, or nullptr; the role as the users file says now.
    const TWebUser* SessionUser(const THttpRequest& request, QByteArray* token = nullptr);
    bool SameOrigin(const THttpRequest& request) const;

    THttpReply Login(const THttpRequest& request);
    THttpReply Logout(const THttpRequest& request);
    THttpReply Machine(const THttpRequest& request, const QList<QByteArray>& path,
                       const TWebUser& user);
    THttpReply ListFiles(const QString& folder, const QString& ext);
    THttpReply Download(const QString& folder, const QString& ext, const QByteArray& name);
    THttpReply Upload(const QString& folder, const QString& ext, const QByteArray& name,
                      const QByteArray& body);
    THttpReply Log(const QString& machine, const THttpRequest& request);
    THttpReply Events(const QByteArray& token);
    THttpReply Page(const QByteArray& path);

    // Failed logins: true (and the wait) when this user or address must wait.
    bool Throttled(const QString& key, qint64* waitMs);
    void Failed(const QString& key, int free);

    THttpServer* server_;
    TMachines machines_;
    TWebUserFile users_;
    QHash<QByteArray, TSession> sessions_;
    QHash<QString, TFailures> failures_;
};

// A JSON reply.
THttpReply JsonReply(int status, const QJsonValue& value);
// {"error": message}.
THttpReply ErrorReply(int status, const QString& message);
