#include "web/HttpServer.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

// One client connection: reads requests one after the other, answers them, or turns into an
// event stream.
class THttpConnection final : public QObject {
  public:
    THttpConnection(THttpServer* server, QTcpSocket* socket)
        : QObject(server), server_(server), socket_(socket) {
        socket_->setParent(this);
        // Qt buffers no more than this; the rest waits in the kernel until we read.
        socket_->setReadBufferSize(256 * 1024);
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, [this] { TimedOut(); });
        connect(socket_, &QTcpSocket::readyRead, this, [this] { Read(); });
        connect(socket_, &QTcpSocket::disconnected, this, [this] { Close(); });
        Arm(server_->Limits().keepAliveMs);
        if (socket_->bytesAvailable() > 0) Read();
    }

    void SendEvent(const QByteArray& bytes) {
        if (closed_) return;
        if (socket_->bytesToWrite() + bytes.size() > server_->Limits().maxStreamBacklog) {
            // It does not read: end the stream; the page's EventSource connects again.
            Close();
            return;
        }
        socket_->write(bytes);
    }
    const QByteArray& Tag() const { return tag_; }

    void Close() {
        if (closed_) return;
        closed_ = true;
        timer_.stop();
        socket_->disconnect(this);
        socket_->abort();
        server_->Gone(this);
        deleteLater();
    }

  private:
    void Arm(int ms) { timer_.start(ms); }

    void Read() {
        if (closed_) return;
        const QByteArray bytes = socket_->readAll();
        if (discard_ > 0) {
            // An answered request's body: read and dropped, so the client sees the answer.
            discard_ -= bytes.size();
            if (discard_ <= 0) FinishClose();
            return;
        }
        if (stream_ || closing_) return;
        if (!bytes.isEmpty() && parser_.Buffered() == 0 && !inHead_ && !inBody_) {
            inHead_ = true;
            Arm(server_->Limits().headTimeoutMs);
        }
        parser_.Feed(bytes);
        if (inBody_ && !bytes.isEmpty()) Arm(server_->Limits().bodyIdleMs);
        Process();
    }

    void Process() {
        for (;;) {
            switch (parser_.Next()) {
                case THttpParser::Event::None:
                    return;
                case THttpParser::Event::Error:
                    Reply(Plain(parser_.ErrorStatus()), false);
                    return;
                case THttpParser::Event::Head: {
                    inHead_ = false;
                    parser_.Request().peer = socket_->peerAddress().toString().toLatin1();
                    const THttpRequest& request = parser_.Request();
                    std::optional<THttpReply> early;
                    if (server_->OnHead) early = server_->OnHead(request);
                    if (!early && request.contentLength > server_->Limits().maxBody) {
                        early = Plain(413);
                    }
                    if (early) {
                        // The body is not wanted: dropped as it comes, then the connection ends.
                        discard_ = std::max<qint64>(0, parser_.BodyMissing());
                        Reply(*early, false);
                        return;
                    }
                    if (request.contentLength > 0) {
                        inBody_ = true;
                        Arm(server_->Limits().bodyIdleMs);
                        if (request.Header("expect").toLower() == "100-continue") {
                            socket_->write("HTTP/1.1 100 Continue\r\n\r\n");
                        }
                    }
                    break;
                }
                case THttpParser::Event::Complete: {
                    inBody_ = false;
                    const THttpRequest& request = parser_.Request();
                    THttpReply reply =
                        server_->OnRequest ? server_->OnRequest(request) : Plain(404);
                    if (reply.eventStream) {
                        OpenStream(reply);
                        return;
                    }
                    const bool keep = request.KeepAlive();
                    Reply(reply, keep);
                    if (!keep) return;
                    parser_.Reset();
                    Arm(server_->Limits().keepAliveMs);
                    if (parser_.Buffered() > 0) {
                        inHead_ = true;
                        Arm(server_->Limits().headTimeoutMs);
                    }
                    break;
                }
            }
        }
    }

    static THttpReply Plain(int status) {
        THttpReply reply;
        reply.status = status;
        reply.contentType = "text/plain; charset=utf-8";
        reply.body = QByteArray::number(status) + " " + HttpReason(status) + "\n";
        return reply;
    }

    void Reply(const THttpReply& reply, bool keepAlive) {
        socket_->write(HttpResponseBytes(reply, keepAlive));
        if (keepAlive) return;
        closing_ = true;
        if (discard_ > 0) {
            Arm(server_->Limits().bodyIdleMs);
        } else {
            FinishClose();
        }
    }

    void FinishClose() {
        closing_ = true;
        discard_ = 0;
        // Closes once what is written has gone (a TLS socket holds some below bytesToWrite);
        // disconnected ends the connection, the timer a peer that never takes it.
        socket_->disconnectFromHost();
        if (!closed_) Arm(server_->Limits().keepAliveMs);
    }

    void OpenStream(const THttpReply& reply) {
        if (server_->Streams() >= server_->Limits().maxStreams) {
            Reply(Plain(503), false);
            return;
        }
        stream_ = true;
        tag_ = reply.streamTag;
        timer_.stop();
        QByteArray head =
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
            "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
        for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
        head += "\r\nretry: 3000\n\n";
        socket_->write(head + reply.body);
        server_->StreamOpened(this);
    }

    void TimedOut() {
        if (inHead_ || inBody_) {
            inHead_ = inBody_ = false;
            Reply(Plain(408), false);
            return;
        }
        Close();
    }

    THttpServer* server_;
    QTcpSocket* socket_;
    THttpParser parser_;
    QTimer timer_;
    bool inHead_ = false;
    bool inBody_ = false;
    bool closing_ = false;
    bool closed_ = false;
    bool stream_ = false;
    qint64 discard_ = 0;
    QByteArray tag_;
};

QByteArray HttpResponseBytes(const THttpReply& reply, bool keepAlive) {
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(reply.status) + " " + HttpReason(reply.status) + "\r\n";
    if (!reply.contentType.isEmpty()) head += "Content-Type: " + reply.contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head +=
        "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n"
        "Referrer-Policy: same-origin\r\n";
    for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
    return head + "\r\n" + reply.body;
}

THttpServer::THttpServer(Options options, QObject* parent) : QObject(parent), options_(options) {
    heartbeat_.setInterval(options_.heartbeatMs);
    connect(&heartbeat_, &QTimer::timeout, this, [this] {
        for (THttpConnection* c : QSet<THttpConnection*>(streams_)) c->SendEvent(": \n\n");
    });
}

THttpServer::~THttpServer() {
    for (THttpConnection* c : QSet<THttpConnection*>(connections_)) c->disconnect();
}

bool THttpServer::UseTls(const QString& certFile, const QString& keyFile, QString* error) {
    QFile certIn(certFile);
    QFile keyIn(keyFile);
    if (!certIn.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Zertifikat %1: %2").arg(certFile, certIn.errorString());
        return false;
    }
    if (!keyIn.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Schlüssel %1: %2").arg(keyFile, keyIn.errorString());
        return false;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certIn.readAll(), QSsl::Pem);
    const QByteArray keyBytes = keyIn.readAll();
    QSslKey key(keyBytes, QSsl::Rsa, QSsl::Pem);
    if (key.isNull()) key = QSslKey(keyBytes, QSsl::Ec, QSsl::Pem);
    if (chain.isEmpty()) {
        *error = QStringLiteral("Zertifikat %1: kein PEM-Zertifikat").arg(certFile);
        return false;
    }
    if (key.isNull()) {
        *error = QStringLiteral("Schlüssel %1: kein PEM-Schlüssel (RSA oder EC, ohne Passwort)")
                     .arg(keyFile);
        return false;
    }
    if (!QSslSocket::supportsSsl()) {
        *error = QStringLiteral("keine TLS-Bibliothek gefunden (libssl)");
        return false;
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    auto* server = new QSslServer(this);
    server->setSslConfiguration(config);
    server->setHandshakeTimeout(options_.headTimeoutMs);
    delete server_;
    server_ = server;
    secure_ = true;
    return true;
}

bool THttpServer::Listen(const QHostAddress& address, quint16 port, QString* error) {
    if (!server_) server_ = new QTcpServer(this);
    server_->setMaxPendingConnections(64);
    connect(server_, &QTcpServer::pendingConnectionAvailable, this, [this] { Accept(); });
    if (!server_->listen(address, port)) {
        *error = server_->errorString();
        return false;
    }
    return true;
}

quint16 THttpServer::Port() const { return server_ ? server_->serverPort() : 0; }

void THttpServer::Accept() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        if (connections_.size() >= options_.maxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connections_.insert(new THttpConnection(this, socket));
    }
}

void THttpServer::StreamOpened(THttpConnection* c) {
    streams_.insert(c);
    if (!heartbeat_.isActive()) heartbeat_.start();
}

void THttpServer::Gone(THttpConnection* c) {
    connections_.remove(c);
    streams_.remove(c);
    if (streams_.isEmpty()) heartbeat_.stop();
}

void THttpServer::Broadcast(const QByteArray& event, const QByteArray& data) {
    if (streams_.isEmpty()) return;
    const QByteArray bytes = "event: " + event + "\ndata: " + data + "\n\n";
    for (THttpConnection* c : QSet<THttpConnection*>(streams_)) c->SendEvent(bytes);
}

void THttpServer::CloseStreams(const QByteArray& tag) {
    for (THttpConnection* c : QSet<THttpConnection*>(streams_)) {
        if (c->Tag() == tag) c->Close();
    }
}
