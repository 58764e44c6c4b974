#include "web/HttpServer.h"

#include <sys/socket.h>

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

// One client connection: reads requests one after the other, answers them, or turns into an
// event stream. It is always in exactly one phase, and each phase has its own time limit.
class THttpConnection final : public QObject {
  public:
    enum class TPhase {
        Idle,      // waiting for a request's first byte
        Head,      // a head is coming: it must be whole by its deadline
        Body,      // a body is coming: it must not stop for long
        Handling,  // the handler has the request; nothing more is read meanwhile
        Stream,    // an event stream: only written to
        Closing,   // the last answer is out; what still comes is dropped for a while
        Closed,
    };

    THttpConnection(THttpServer* server, QTcpSocket* socket, const QByteArray& address)
        : QObject(server), server_(server), socket_(socket), address_(address) {
        socket_->setParent(this);
        // Qt buffers no more than this; the rest waits in the kernel until we read.
        socket_->setReadBufferSize(256 * 1024);
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, [this] { TimedOut(); });
        connect(socket_, &QTcpSocket::readyRead, this, [this] { Read(); });
        connect(socket_, &QTcpSocket::bytesWritten, this, [this] { Written(); });
        connect(socket_, &QTcpSocket::disconnected, this, [this] { Close(); });
        Enter(TPhase::Idle, server_->Limits().headTimeoutMs);
    }

    void Start() {
        if (socket_->bytesAvailable() > 0) Read();
    }

    const QByteArray& Address() const { return address_; }
    const QByteArrayList& Tags() const { return tags_; }

    void SendEvent(const QByteArray& bytes) {
        if (phase_ != TPhase::Stream) return;
        if (socket_->bytesToWrite() + bytes.size() > server_->Limits().maxStreamBacklog) {
            // It does not read: end the stream; the page's EventSource connects again.
            Close();
            return;
        }
        socket_->write(bytes);
    }

    // Sends reply as the connection's last answer and ends it.
    void Final(const THttpReply& reply) {
        if (phase_ == TPhase::Closing || phase_ == TPhase::Closed) return;
        socket_->write(server_->ResponseBytes(reply, false));
        Enter(TPhase::Closing, server_->Limits().lingerMs);
        if (qobject_cast<QSslSocket*>(socket_)) {
            // TLS ends with its own close message once what is written has gone.
            socket_->disconnectFromHost();
        } else {
            Written();
        }
    }

    void Answer(quint64 request, const THttpReply& reply) {
        if (phase_ != TPhase::Handling || request != request_) return;
        if (reply.eventStream) {
            OpenStream(reply);
            return;
        }
        const bool keep = parser_.Request().KeepAlive();
        if (!keep) {
            Final(reply);
            return;
        }
        socket_->write(server_->ResponseBytes(reply, true));
        parser_.Reset();
        Enter(TPhase::Idle, server_->Limits().keepAliveMs);
        // What came meanwhile (a pipelined request) is read now, outside the handler.
        QMetaObject::invokeMethod(
            this, [this] { Read(); }, Qt::QueuedConnection);
    }

    void Close() {
        if (phase_ == TPhase::Closed) return;
        phase_ = TPhase::Closed;
        timer_.stop();
        socket_->disconnect(this);
        socket_->abort();
        server_->Gone(this);
        deleteLater();
    }

  private:
    void Enter(TPhase phase, int timeoutMs) {
        phase_ = phase;
        if (timeoutMs > 0) {
            timer_.start(timeoutMs);
        } else {
            timer_.stop();
        }
    }

    void Read() {
        switch (phase_) {
            case TPhase::Handling:
                return;  // read once answered
            case TPhase::Stream:
            case TPhase::Closing:
                socket_->readAll();  // nobody asked for it
                return;
            case TPhase::Closed:
                return;
            case TPhase::Idle:
            case TPhase::Head:
            case TPhase::Body:
                break;
        }
        const QByteArray bytes = socket_->readAll();
        if (bytes.isEmpty() && parser_.Buffered() == 0) return;
        if (phase_ == TPhase::Idle) {
            Enter(TPhase::Head, server_->Limits().headTimeoutMs);
        } else if (phase_ == TPhase::Body && !bytes.isEmpty()) {
            timer_.start(server_->Limits().bodyIdleMs);
        }
        parser_.Feed(bytes);
        Process();
    }

    void Process() {
        while (phase_ == TPhase::Head || phase_ == TPhase::Body) {
            switch (parser_.Next()) {
                case THttpParser::Event::None:
                    return;
                case THttpParser::Event::Error:
                    Final(PlainReply(parser_.ErrorStatus()));
                    return;
                case THttpParser::Event::Head:
                    HeadDone();
                    break;
                case THttpParser::Event::Complete:
                    Dispatch();
                    break;
            }
        }
    }

    void HeadDone() {
        THttpRequest& request = parser_.Request();
        request.peer = address_;
        std::optional<THttpReply> early;
        if (!server_->HostServed(request)) {
            early = PlainReply(421);
            early->body +=
                "Dieser Server antwortet nicht unter diesem Namen; der Verwalter kann ihn mit "
                "--host NAME zulassen.\n";
        } else if (server_->OnHead) {
            early = server_->OnHead(request);
        }
        if (!early && request.contentLength > server_->Limits().maxBody) early = PlainReply(413);
        if (early) {
            // The body is not wanted: not read, and the connection ends.
            Final(*early);
            return;
        }
        if (request.contentLength > 0) {
            Enter(TPhase::Body, server_->Limits().bodyIdleMs);
            if (request.Header("expect").toLower() == "100-continue") {
                socket_->write("HTTP/1.1 100 Continue\r\n\r\n");
            }
        }
    }

    void Dispatch() {
        Enter(TPhase::Handling, 0);
        ++request_;
        const THttpReply reply =
            server_->OnRequest ? server_->OnRequest(parser_.Request(), THttpAnswer(this, request_))
                               : PlainReply(404);
        if (!reply.later) Answer(request_, reply);
    }

    void Written() {
        // The last answer has gone to the kernel: say so to the peer (FIN) but go on reading,
        // so that a body it is still sending does not turn the close into a reset that could
        // take the answer with it.
        if (phase_ == TPhase::Closing && socket_->bytesToWrite() == 0 &&
            !qobject_cast<QSslSocket*>(socket_)) {
            ::shutdown(int(socket_->socketDescriptor()), SHUT_WR);
        }
    }

    void OpenStream(const THttpReply& reply) {
        if (server_->Streams() >= server_->Limits().maxStreams) {
            Final(server_->Busy());
            return;
        }
        tags_ = reply.streamTags;
        Enter(TPhase::Stream, 0);
        THttpReply head = reply;
        head.contentType = "text/event-stream";
        head.AddHeader("Cache-Control", "no-store");
        QByteArray bytes = server_->ResponseBytes(head, true);
        // No length: the stream goes on until one side ends it.
        bytes.replace("Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n", "");
        bytes.insert(bytes.size() - reply.body.size(), "retry: 3000\n\n");
        socket_->write(bytes);
        server_->StreamOpened(this);
    }

    void TimedOut() {
        switch (phase_) {
            case TPhase::Head:
            case TPhase::Body:
                Final(PlainReply(408));
                return;
            case TPhase::Idle:
            case TPhase::Closing:
                Close();
                return;
            case TPhase::Handling:
            case TPhase::Stream:
            case TPhase::Closed:
                return;
        }
    }

    THttpServer* server_;
    QTcpSocket* socket_;
    QByteArray address_;
    THttpParser parser_;
    QTimer timer_;
    TPhase phase_ = TPhase::Idle;
    quint64 request_ = 0;  // the request the handler has (answers to older ones are late)
    QByteArrayList tags_;
};

void THttpAnswer::operator()(const THttpReply& reply) const {
    if (connection_) static_cast<THttpConnection*>(connection_.data())->Answer(request_, reply);
}

THttpReply PlainReply(int status) {
    THttpReply reply;
    reply.status = status;
    reply.contentType = "text/plain; charset=utf-8";
    reply.body = QByteArray::number(status) + " " + HttpReason(status) + "\n";
    return reply;
}

QByteArray AddressText(const QHostAddress& address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return (mapped ? QHostAddress(v4) : address).toString().toLatin1();
}

THttpReply THttpServer::Busy() const {
    THttpReply reply = PlainReply(503);
    reply.AddHeader("Retry-After", QByteArray::number(options_.retryAfterSeconds));
    return reply;
}

QByteArray THttpServer::ResponseBytes(const THttpReply& reply, bool keepAlive) const {
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(reply.status) + " " + HttpReason(reply.status) + "\r\n";
    if (!reply.contentType.isEmpty()) head += "Content-Type: " + reply.contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head +=
        "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n"
        "Referrer-Policy: same-origin\r\n";
    if (secure_) head += "Strict-Transport-Security: max-age=31536000\r\n";
    for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
    return head + "\r\n" + reply.body;
}

bool THttpServer::HostServed(const THttpRequest& request) const {
    if (options_.hosts.isEmpty()) return true;
    QByteArray host = request.Header("host").toLower();
    // "name:port", "[v6]:port": the name without its port.
    const qsizetype colon = host.lastIndexOf(':');
    if (colon >= 0 && colon > host.lastIndexOf(']')) host.truncate(colon);
    if (host.endsWith('.')) host.chop(1);
    return !host.isEmpty() && options_.hosts.contains(host);
}

THttpServer::THttpServer(Options options, QObject* parent) : QObject(parent), options_(options) {
    heartbeat_.setInterval(options_.heartbeatMs);
    connect(&heartbeat_, &QTimer::timeout, this, [this] {
        for (THttpConnection* c : QSet<THttpConnection*>(streams_)) c->SendEvent(": \n\n");
    });
}

THttpServer::~THttpServer() {
    for (THttpConnection* c : connections_ + refusing_) c->disconnect();
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
        const QByteArray address = AddressText(socket->peerAddress());
        // Over a limit the client is told to come back later; the connections there end
        // soon by their time-outs.
        if (perAddress_.value(address) < options_.maxPerAddress &&
            connections_.size() < options_.maxConnections) {
            auto* c = new THttpConnection(this, socket, address);
            connections_.insert(c);
            ++perAddress_[address];
            c->Start();
            continue;
        }
        if (refusing_.size() >= options_.maxRefusing) {
            // Even the refusals are at their bound: nothing but closing is left.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto* c = new THttpConnection(this, socket, address);
        refusing_.insert(c);
        c->Final(Busy());
    }
}

void THttpServer::StreamOpened(THttpConnection* c) {
    streams_.insert(c);
    if (!heartbeat_.isActive()) heartbeat_.start();
}

void THttpServer::Gone(THttpConnection* c) {
    if (connections_.remove(c)) {
        auto it = perAddress_.find(c->Address());
        if (it != perAddress_.end() && --*it <= 0) perAddress_.erase(it);
    }
    refusing_.remove(c);
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
        if (c->Tags().contains(tag)) c->Close();
    }
}

int THttpServer::StreamsTagged(const QByteArray& tag) const {
    int n = 0;
    for (const THttpConnection* c : streams_) n += c->Tags().contains(tag) ? 1 : 0;
    return n;
}
