#pragma once
// The web page's HTTP API and the page itself, over THttpServer: login and sessions, the
// machines, their logs, programs (with versions, restore and delete) and received programs
// (taken over as programs), uploads, aborting a send, and the event stream. Holds no
// transfer state: everything comes from the instances' sockets and the files in their
// folders.
//
// Every route is one row of kRoutes: method, pattern, the role it needs, its body limit, its
// handler. The head check and the dispatch read the same row, in this order: no route 404
// (405 for another method); a change without an Origin (or Referer) of this server 403; no
// valid session 401; a role too small 403; a body over the row's limit 413; an unknown
// machine 404; a name that is no plain file name 400. So a body is read only for a route
// that takes one, once who asks may ask. Failed logins slow down (429).
#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include "status/Machines.h"
#include "web/HttpServer.h"
#include "web/Logins.h"
#include "web/Sessions.h"

class TProgramFolder;

class TWebApi final : public QObject {
    Q_OBJECT

  public:
    TWebApi(const QString& root, THttpServer* server, QObject* parent = nullptr);

    TMachines& Machines() { return machines_; }

  private:
    // One request as its route takes it.
    struct TCall {
        TCall(const THttpRequest& r, const THttpAnswer& a) : request(r), answer(a) {}
        const THttpRequest& request;
        const THttpAnswer& answer;
        const TWebUser* user = nullptr;  // nullptr on a route that needs no session
        QByteArray token;                // the session's
        QString machine;                 // {machine}
        QString name;                    // {name}: a plain file name
        QString id;                      // {id}: a version's id
    };
    using THandler = THttpReply (TWebApi::*)(const TCall&);
    struct TRoute {
        const char* method;
        const char* pattern;  // "{machine}", "{name}", "{id}" take one segment each
        TRole needs;
        qint64 maxBody;
        THandler handle;
    };
    static const TRoute kRoutes[];

    // The route of request and its call, or the answer that refuses it.
    const TRoute* Route(const THttpRequest& request, TCall* call, std::optional<THttpReply>* no);
    std::optional<THttpReply> Head(const THttpRequest& request);
    THttpReply Dispatch(const THttpRequest& request, const THttpAnswer& answer);
    bool SameOrigin(const THttpRequest& request) const;
    TProgramFolder Programs(const QString& machine);
    TProgramFolder Received(const QString& machine);
    void Say(const TCall& call, const QString& what, const QString& object) const;
    // The machine's state to every open stream.
    void Publish(const QString& machine);

    // The handlers, in the order of kRoutes.
    THttpReply Page(const TCall& call);
    THttpReply Login(const TCall& call);
    THttpReply Logout(const TCall& call);
    THttpReply Session(const TCall& call);
    THttpReply Events(const TCall& call);
    THttpReply MachineList(const TCall& call);
    THttpReply MachineState(const TCall& call);
    THttpReply Log(const TCall& call);
    THttpReply Abort(const TCall& call);
    THttpReply ProgramList(const TCall& call);
    THttpReply RemovedList(const TCall& call);
    THttpReply Program(const TCall& call);
    THttpReply Upload(const TCall& call);
    THttpReply Remove(const TCall& call);
    THttpReply VersionList(const TCall& call);
    THttpReply Version(const TCall& call);
    THttpReply Restore(const TCall& call);
    THttpReply ReceivedList(const TCall& call);
    THttpReply ReceivedProgram(const TCall& call);
    THttpReply Accept(const TCall& call);

    // The answer to a login whose password check has ended.
    THttpReply LoginChecked(bool ok, const QString& name, const QByteArray& salt,
                            const QByteArray& address);

    THttpServer* server_;
    TMachines machines_;
    TSessions sessions_;
    TLogins logins_;
};

// A JSON reply.
THttpReply JsonReply(int status, const QJsonValue& value);
// {"error": message}.
THttpReply ErrorReply(int status, const QString& message);
