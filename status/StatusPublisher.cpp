#include "status/StatusPublisher.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>

#include "common/Ansi.h"
#include "config/ConfigValues.h"
#include "engine/LogFile.h"
#include "engine/TransferEngine.h"
#include "serial/Port.h"
#include "serial/Serial.h"
#include "status/StatusSocket.h"

namespace {

// Progress goes out at most four times a second; a state word at once.
constexpr int kProgressMs = 250;
// A reader that has this much unread is sent no state until it has caught up...
constexpr qint64 kStateBacklog = 64 * 1024;
// ...and one that lets this much pile up is dropped.
constexpr qint64 kMaxBacklog = 1024 * 1024;

QString Text(const QByteArray& bytes) { return Ansi::ToQString(bytes); }

QString Absolute(const QByteArray& path) {
    return QDir::cleanPath(QFileInfo(Ansi::ToQString(path)).absoluteFilePath());
}

// A reader's user as the log may carry it: one line, no control character, bounded.
QByteArray UserName(const QString& given) {
    QString name;
    for (const QChar c : given.left(64)) {
        if (c.unicode() >= 32 && c.unicode() != 127 && c.category() != QChar::Other_Control) {
            name += c;
        }
    }
    return Ansi::FromQString(name.trimmed());
}

QByteArray Line(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

}  // namespace

TStatusPublisher::TStatusPublisher(TTransferView* inner, QObject* parent)
    : QObject(parent), inner_(inner) {
    throttle_.setSingleShot(true);
    connect(&throttle_, &QTimer::timeout, this, [this] { Publish(); });
}

TStatusPublisher::~TStatusPublisher() { Close(); }

bool TStatusPublisher::Listen(const QString& folder) {
    Close();
    QByteArray error;
    const int fd = StatusSocket::Listen(folder, &error);
    if (fd < 0) {
        inner_->Trace(Ansi::Lit("Statusanschluss ") + Ansi::FromQString(folder) + "/" +
                      StatusSocket::kName + Ansi::Lit(" nicht geöffnet: ") + error +
                      Ansi::Lit(" (die Webseite zeigt diesen Server nicht)"));
        return false;
    }
    server_ = new QLocalServer(this);
    if (!server_->listen(qintptr(fd))) {
        ::close(fd);
        delete server_;
        server_ = nullptr;
        return false;
    }
    folder_ = folder;
    connect(server_, &QLocalServer::newConnection, this, [this] { NewReader(); });
    return true;
}

void TStatusPublisher::Close() {
    for (QLocalSocket* reader : std::as_const(readers_)) {
        reader->disconnect(this);
        reader->abort();
        reader->deleteLater();
    }
    readers_.clear();
    if (!server_) return;
    delete server_;
    server_ = nullptr;
    // The socket file goes with the instance: a reader then sees it off at once.
    QFile::remove(folder_ + u'/' + QLatin1String(StatusSocket::kName));
}

// ---- the state ------------------------------------------------------------------------------

QByteArray TStatusPublisher::StateWord() const {
    if (!engine_) return StatusSocket::kDisconnected;
    if (engine_->Reconnecting()) return StatusSocket::kLost;
    if (!engine_->Serial1->Active()) return StatusSocket::kDisconnected;
    if (engine_->Sending()) {
        return progress_.StallSeconds > 0 ? StatusSocket::kWaiting : StatusSocket::kSending;
    }
    if (!engine_->RxBuffer.isEmpty() || engine_->RxOverflow) return StatusSocket::kReceiving;
    return StatusSocket::kReady;
}

QJsonObject TStatusPublisher::Snapshot() const {
    QJsonObject s;
    s[QStringLiteral("type")] = QStringLiteral("status");
    s[QStringLiteral("pid")] = qint64(::getpid());
    s[QStringLiteral("state")] = QString::fromUtf8(StateWord());
    const int port = engine_ ? engine_->Serial1->COMPort() : 0;
    s[QStringLiteral("port")] =
        port > 0 ? QJsonValue(QStringLiteral("COM%1").arg(port)) : QJsonValue();
    s[QStringLiteral("device")] =
        port > 0 ? QJsonValue(QFile::decodeName(Port::DeviceName(port))) : QJsonValue();
    const bool sending = engine_ && engine_->Sending() && sending_ && progress_.Lines > 0;
    const QJsonValue none;
    s[QStringLiteral("program")] = sending ? QJsonValue(Text(program_)) : none;
    s[QStringLiteral("line")] = sending ? QJsonValue(progress_.Line) : none;
    s[QStringLiteral("lines")] = sending ? QJsonValue(progress_.Lines) : none;
    const qint64 total = std::max<qint64>(progress_.TotalBytes, 1);
    s[QStringLiteral("percent")] =
        sending ? QJsonValue(int(std::min<qint64>(100, progress_.Bytes * 100 / total))) : none;
    s[QStringLiteral("remainingSeconds")] = sending ? QJsonValue(progress_.SecondsLeft) : none;
    s[QStringLiteral("stallSeconds")] = sending ? QJsonValue(progress_.StallSeconds) : none;
    // Where the web side finds this instance's files.
    s[QStringLiteral("ext")] = Text(CfgExt());
    s[QStringLiteral("save")] = Absolute(CfgSave().isEmpty() ? QByteArray(".") : CfgSave());
    s[QStringLiteral("log")] = Absolute(LogFileNameFor(CfgSend(), CfgLog()));
    return s;
}

void TStatusPublisher::Changed() {
    if (readers_.isEmpty() || queued_) return;
    queued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            queued_ = false;
            Publish();
        },
        Qt::QueuedConnection);
}

void TStatusPublisher::Publish() {
    if (readers_.isEmpty()) return;
    const QByteArray state = StateWord();
    if (state == lastState_ && sincePublished_.isValid() &&
        sincePublished_.elapsed() < kProgressMs) {
        if (!throttle_.isActive()) throttle_.start(int(kProgressMs - sincePublished_.elapsed()));
        return;
    }
    throttle_.stop();
    const QByteArray line = Line(Snapshot());
    lastState_ = state;
    if (line == lastLine_) return;
    lastLine_ = line;
    sincePublished_.start();
    for (QLocalSocket* reader : QList<QLocalSocket*>(readers_)) SendState(reader);
}

void TStatusPublisher::SendState(QLocalSocket* reader) {
    // A reader behind gets the latest state once it has caught up (bytesWritten).
    if (reader->bytesToWrite() > kStateBacklog) {
        reader->setProperty("stale", true);
        return;
    }
    reader->setProperty("stale", false);
    Send(reader, lastLine_.isEmpty() ? Line(Snapshot()) : lastLine_);
}

void TStatusPublisher::Send(QLocalSocket* reader, const QByteArray& line) {
    if (reader->bytesToWrite() + line.size() > kMaxBacklog) {
        // It reads nothing: drop it rather than hold the instance's memory.
        reader->abort();
        return;
    }
    reader->write(line);
}

// ---- readers and their commands -------------------------------------------------------------

void TStatusPublisher::NewReader() {
    while (QLocalSocket* reader = server_->nextPendingConnection()) {
        readers_.append(reader);
        connect(reader, &QLocalSocket::disconnected, this, [this, reader] {
            readers_.removeAll(reader);
            reader->deleteLater();
        });
        connect(reader, &QLocalSocket::readyRead, this, [this, reader] { ReadCommands(reader); });
        connect(reader, &QLocalSocket::bytesWritten, this, [this, reader] {
            if (reader->property("stale").toBool() && reader->bytesToWrite() <= kStateBacklog) {
                SendState(reader);
            }
        });
        lastLine_ = Line(Snapshot());
        lastState_ = StateWord();
        Send(reader, lastLine_);
    }
}

void TStatusPublisher::ReadCommands(QLocalSocket* reader) {
    while (reader->canReadLine()) {
        const QByteArray line = reader->readLine(StatusSocket::kMaxLine);
        const QJsonObject command = QJsonDocument::fromJson(line).object();
        if (!command.isEmpty()) Command(reader, command);
    }
    if (reader->bytesAvailable() > StatusSocket::kMaxLine) reader->abort();
}

void TStatusPublisher::Command(QLocalSocket* reader, const QJsonObject& command) {
    const QString name = command.value(QStringLiteral("command")).toString();
    QJsonObject reply{{QStringLiteral("type"), QStringLiteral("reply")},
                      {QStringLiteral("command"), name}};
    if (name == QStringLiteral("abort") && engine_) {
        const bool sending = engine_->Sending();
        // The same as the window's "Abbruch Senden"; the log names who asked, when a reader
        // says so.
        const QByteArray user = UserName(command.value(QStringLiteral("user")).toString());
        if (sending && user.isEmpty()) engine_->ButtonTxClearClick();
        if (sending && !user.isEmpty()) engine_->AbortSendBy("Web: " + user);
        reply[QStringLiteral("ok")] = sending;
        reply[QStringLiteral("message")] =
            sending ? QStringLiteral("Senden abgebrochen") : QStringLiteral("Es läuft kein Senden");
        if (sending) {
            inner_->Trace(Ansi::Lit("Abbruch Senden über die Webseite") +
                          (user.isEmpty() ? QByteArray() : " (" + user + ")"));
        }
    } else {
        reply[QStringLiteral("ok")] = false;
        reply[QStringLiteral("message")] = QStringLiteral("Unbekannter Befehl");
    }
    Send(reader, Line(reply));
    Changed();
}

// ---- the view: passed on, and noted ----------------------------------------------------------

void TStatusPublisher::Trace(const QByteArray& line) {
    inner_->Trace(line);
    Changed();
}

void TStatusPublisher::Received(const QByteArray& bytes) {
    inner_->Received(bytes);
    Changed();
}

void TStatusPublisher::Status(const QByteArray& text) {
    inner_->Status(text);
    Changed();
}

void TStatusPublisher::PassingStatus(const QByteArray& text) {
    inner_->PassingStatus(text);
    Changed();
}

void TStatusPublisher::ProgramLoaded(const TSendTable& table, TProgramShown how) {
    inner_->ProgramLoaded(table, how);
    if (engine_) {
        const QByteArray name =
            how == TProgramShown::ForCall ? engine_->SendFileName : engine_->LoadFileName;
        program_ = Ansi::FromQString(QFileInfo(Ansi::ToQString(name)).fileName());
    }
}

void TStatusPublisher::SendProgress(const TSendProgress& progress) {
    inner_->SendProgress(progress);
    progress_ = progress;
    sending_ = progress.Running;
    Changed();
}

void TStatusPublisher::DeviceLost(int port) {
    inner_->DeviceLost(port);
    Changed();
}

void TStatusPublisher::PortReopened(int port) {
    inner_->PortReopened(port);
    Changed();
}

void TStatusPublisher::Cleared() {
    inner_->Cleared();
    Changed();
}

void TStatusPublisher::LogWritten(const QByteArray& entry) {
    inner_->LogWritten(entry);
    if (readers_.isEmpty()) return;
    QByteArray text = entry;
    if (text.endsWith("\r\n")) text.chop(2);
    const QByteArray line = Line(
        {{QStringLiteral("type"), QStringLiteral("log")}, {QStringLiteral("entry"), Text(text)}});
    for (QLocalSocket* reader : QList<QLocalSocket*>(readers_)) Send(reader, line);
    Changed();
}
