#include "status/StatusClient.h"

#include <unistd.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QLocalSocket>

#include "status/StatusSocket.h"

TStatusClient::TStatusClient(const QString& folder, QObject* parent)
    : QObject(parent), folder_(folder) {}

TStatusClient::~TStatusClient() {
    if (socket_) socket_->disconnect(this);
}

bool TStatusClient::Connected() const {
    return socket_ && socket_->state() == QLocalSocket::ConnectedState;
}

bool TStatusClient::Connect() {
    if (Connected()) return true;
    const int fd = StatusSocket::Connect(folder_);
    if (fd < 0) return false;
    Drop();
    socket_ = new QLocalSocket(this);
    if (!socket_->setSocketDescriptor(qintptr(fd))) {
        ::close(fd);
        Drop();
        return false;
    }
    connect(socket_, &QLocalSocket::readyRead, this, [this] { Read(); });
    connect(socket_, &QLocalSocket::disconnected, this, [this] {
        Drop();
        emit Disconnected();
    });
    return true;
}

void TStatusClient::Drop() {
    state_ = {};
    if (!socket_) return;
    socket_->disconnect(this);
    socket_->abort();
    socket_->deleteLater();
    socket_ = nullptr;
}

bool TStatusClient::Send(const QJsonObject& command) {
    if (!Connected()) return false;
    socket_->write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
    return true;
}

bool TStatusClient::WaitForState(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (state_.isEmpty() && Connected()) {
        const qint64 left = ms - clock.elapsed();
        if (left <= 0 || !socket_->waitForReadyRead(int(left))) break;
        Read();
    }
    return !state_.isEmpty();
}

void TStatusClient::Read() {
    while (socket_ && socket_->canReadLine()) {
        const QJsonObject message =
            QJsonDocument::fromJson(socket_->readLine(StatusSocket::kMaxLine)).object();
        const QString type = message.value(QStringLiteral("type")).toString();
        if (type == QStringLiteral("status")) {
            state_ = message;
            emit StateChanged();
        } else if (type == QStringLiteral("log")) {
            emit LogEntry(message.value(QStringLiteral("entry")).toString());
        } else if (type == QStringLiteral("reply")) {
            emit Reply(message);
        }
    }
    if (socket_ && socket_->bytesAvailable() > StatusSocket::kMaxLine) {
        Drop();
        emit Disconnected();
    }
}
