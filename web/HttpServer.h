#pragma once
// A small HTTP/1.1 server on QtNetwork for the web page and its API, with the limits a
// server on a shop network needs: bounded heads and bodies, time-outs for slow clients,
// a bound on connections and on event streams, and event streams that never hold more
// than a bounded backlog for a reader that does not read. HTTPS with a certificate and key.
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QTimer>
#include <functional>
#include <optional>

#include "web/HttpParser.h"

class QTcpServer;
class THttpConnection;

struct THttpReply {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    // Keep the connection as a Server-Sent Events stream after the head.
    bool eventStream = false;
    QByteArray streamTag;  // CloseStreams(tag) ends it (the session it belongs to)

    void AddHeader(const QByteArray& name, const QByteArray& value) {
        headers.append(qMakePair(name, value));
    }
};

class THttpServer final : public QObject {
    Q_OBJECT

  public:
    struct Options {
        int headTimeoutMs = 10000;  // a request's head must be whole within this
        int bodyIdleMs = 20000;     // a body that stops coming for this long is given up
        int keepAliveMs = 30000;    // an idle connection is closed
        qint64 maxBody = 16 * 1024 * 1024;
        int maxConnections = 256;
        int maxStreams = 64;
        qint64 maxStreamBacklog = 256 * 1024;
        int heartbeatMs = 20000;  // a comment on every stream, so dead peers are found
    };

    explicit THttpServer(Options options, QObject* parent = nullptr);
    ~THttpServer() override;

    // Looks at a request's head before its body is read: a reply answers it at once (the
    // body is not read), nullopt reads the body and calls OnRequest.
    std::function<std::optional<THttpReply>(const THttpRequest&)> OnHead;
    std::function<THttpReply(const THttpRequest&)> OnRequest;

    // HTTPS from now on; false with *error when the files do not hold a certificate and its key.
    bool UseTls(const QString& certFile, const QString& keyFile, QString* error);
    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 Port() const;
    bool Secure() const { return secure_; }

    // Sends one event to every open stream.
    void Broadcast(const QByteArray& event, const QByteArray& data);
    void CloseStreams(const QByteArray& tag);
    int Streams() const { return int(streams_.size()); }
    int Connections() const { return int(connections_.size()); }
    const Options& Limits() const { return options_; }

  private:
    friend class THttpConnection;
    void Accept();
    void StreamOpened(THttpConnection* c);
    void Gone(THttpConnection* c);

    Options options_;
    QTcpServer* server_ = nullptr;
    bool secure_ = false;
    QSet<THttpConnection*> connections_;
    QSet<THttpConnection*> streams_;
    QTimer heartbeat_;
};

// The head and body of a reply as sent.
QByteArray HttpResponseBytes(const THttpReply& reply, bool keepAlive);
