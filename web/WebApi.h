#pragma once
// The web page's HTTP API and the page itself, over THttpServer: login and sessions, the
// machines, their logs, programs (with versions, restore and delete) and received programs
// (taken over as programs), uploads, aborting a send, and the event stream. Holds no
// transfer state: everything comes from the instances' sockets and the files in their
// folders, and for the machines of other sites (with a broker) from their bridges.
//
// A machine is named by its id: its folder's name without a broker; with one
// "<site>/<machine>", in a path one segment with its "/" as %2F. A machine of this PC is also
// found by its plain name. Every machine route works for the other sites' machines too:
// their bridges do what the route does here, with the same checks.
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
#include <functional>

#include "mqtt/RemoteSites.h"
#include "status/Machines.h"
#include "web/HttpServer.h"
#include "web/Logins.h"
#include "web/Sessions.h"

class TProgramFolder;

class TWebApi final : public QObject {
    Q_OBJECT

  public:
    // remote: the other sites (nullptr without a broker); site: this PC's site on the broker.
    TWebApi(const QString& root, THttpServer* server, TRemoteSites* remote = nullptr,
            const QString& site = {}, QObject* parent = nullptr);

    TMachines& Machines() { return machines_; }

  private:
    // One request as its route takes it.
    struct TCall {
        TCall(const THttpRequest& r, const THttpAnswer& a) : request(r), answer(a) {}
        const THttpRequest& request;
        const THttpAnswer& answer;
        const TWebUser* user = nullptr;  // nullptr on a route that needs no session
        QByteArray token;                // the session's
        QString machine;                 // {machine}: the folder's name, or another site's id
        bool remote = false;             // a machine of another site
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
    // The machine's folder named kPrograms or kReceived; Programs: its kPrograms.
    TProgramFolder Folder(const QString& machine, const QString& folder);
    TProgramFolder Programs(const QString& machine);
    // A machine of this PC as the API shows it, and every machine.
    QJsonObject Local(const QString& name);
    QJsonArray All();
    // The machine's state to every open stream.
    void Publish(const QJsonObject& machine);
    void PublishEntry(QJsonObject entry, const QJsonObject& machine);

    // What a route does: here for a machine of this PC (local, which throws TRefused to
    // refuse), through the broker for one of another site (command and request to its
    // bridge, whose answer has the same fields); then the reply done makes of the result.
    using TDone = std::function<THttpReply(const QJsonObject& result)>;
    THttpReply Either(const TCall& call, const QString& command, const QJsonObject& request,
                      const std::function<QJsonObject()>& local, const TDone& done);
    // A change's reply; the journal says what was done to which object, as told(result) has it.
    using TTold = std::function<std::pair<QString, QString>(const QJsonObject& result)>;
    TDone Changed(const TCall& call, const TTold& told) const;
    // A folder's list of files and one of its files, as the routes of both folders answer.
    THttpReply FileList(const TCall& call, const QString& folder);
    THttpReply FileDownload(const TCall& call, const QString& folder);

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
    TRemoteSites* remote_;
    QString site_;
    TMachines machines_;
    TSessions sessions_;
    TLogins logins_;
};

// A JSON reply.
THttpReply JsonReply(int status, const QJsonValue& value);
// {"error": message}.
THttpReply ErrorReply(int status, const QString& message);
