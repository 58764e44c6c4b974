#pragma once
// A small HTTP/1.1 server on QtNetwork for the web page and its API, with the limits a
// server on a shop network needs: connections per address and in all, a head that must be
// whole soon after its first byte, idle connections closed, bounded bodies, event streams
// bounded and never holding more than a bounded backlog for a reader that does not read.
// A client over a limit is told so (503 with Retry-After), never dropped without a word.
// HTTPS with a certificate and key.
#include <QByteArray>
#include <QByteArrayList>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
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
    // Keep the connection as a Server-Sent Events stream after the head; body is its first
    // event. CloseStreams(tag) ends it, StreamsTagged(tag) counts it.
    bool eventStream = false;
    QByteArrayList streamTags;
    // The handler answers later, through the THttpAnswer it was given.
    bool later = false;

    void AddHeader(const QByteArray& name, const QByteArray& value) {
        headers.append(qMakePair(name, value));
    }
    static THttpReply Later() {
        THttpReply reply;
        reply.later = true;
        return reply;
    }
};

// A plain-text reply of that status ("503 Service Unavailable").
THttpReply PlainReply(int status);

// Answers one request, now or later (after a password check off the event loop). Answering
// a connection that has gone does nothing.
class THttpAnswer {
  public:
    THttpAnswer() = default;  // answers nothing
    void operator()(const THttpReply& reply) const;

  private:
    friend class THttpConnection;
    THttpAnswer(QObject* connection, quint64 request)
        : connection_(connection), request_(request) {}
    QPointer<QObject> connection_;  // a THttpConnection
    quint64 request_ = 0;
};

class THttpServer final : public QObject {
    Q_OBJECT

  public:
    struct Options {
        int headTimeoutMs = 5000;  // a head must be whole this long after its first byte,
                                   // and a new connection must begin one within it
        int bodyIdleMs = 10000;    // a body that stops coming for this long is given up
        int keepAliveMs = 15000;   // an idle connection between requests is closed
        int lingerMs = 2000;       // after a last answer, what still comes is dropped this long
        qint64 maxBody = 16 * 1024 * 1024;  // no route takes more
        int maxConnections = 256;
        int maxPerAddress = 32;
        int maxRefusing = 64;  // connections being told 503 at the same time
        int maxStreams = 128;
        qint64 maxStreamBacklog = 256 * 1024;
        int heartbeatMs = 20000;  // a comment on every stream, so dead peers are found
        int retryAfterSeconds = 5;
        // The host names served (lower case, an IPv6 address in brackets, no port); a
        // request for another gets 421. Empty: every name.
        QByteArrayList hosts;
    };

    explicit THttpServer(Options options, QObject* parent = nullptr);
    ~THttpServer() override;

    // Looks at a request's head before its body is read: a reply answers it at once (the
    // body is not read and the connection ends), nullopt reads the body and calls OnRequest.
    std::function<std::optional<THttpReply>(const THttpRequest&)> OnHead;
    // Answers the whole request: with a reply, or THttpReply::Later() and then through answer.
    std::function<THttpReply(const THttpRequest&, const THttpAnswer& answer)> OnRequest;

    // HTTPS from now on; false with *error when the files do not hold a certificate and its key.
    bool UseTls(const QString& certFile, const QString& keyFile, QString* error);
    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 Port() const;
    bool Secure() const { return secure_; }

    // Sends one event to every open stream.
    void Broadcast(const QByteArray& event, const QByteArray& data);
    void CloseStreams(const QByteArray& tag);
    int StreamsTagged(const QByteArray& tag) const;
    int Streams() const { return int(streams_.size()); }
    int Connections() const { return int(connections_.size()); }
    const Options& Limits() const { return options_; }

    // True when the request's Host is one this server answers for.
    bool HostServed(const THttpRequest& request) const;
    // The head and body of a reply as this server sends it.
    QByteArray ResponseBytes(const THttpReply& reply, bool keepAlive) const;

  private:
    friend class THttpConnection;
    void Accept();
    // The answer over a limit: 503, come back later.
    THttpReply Busy() const;
    void StreamOpened(THttpConnection* c);
    void Gone(THttpConnection* c);

    Options options_;
    QTcpServer* server_ = nullptr;
    bool secure_ = false;
    QSet<THttpConnection*> connections_;
    QSet<THttpConnection*> refusing_;
    QHash<QByteArray, int> perAddress_;
    QSet<THttpConnection*> streams_;
    QTimer heartbeat_;
};

// The address as the limits and the journal name it: an IPv4 address mapped into IPv6 as
// plain IPv4.
QByteArray AddressText(const QHostAddress& address);
