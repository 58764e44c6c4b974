#include "engine/LogFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>
#include <exception>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/Modal.h"
#include "config/ConfigValues.h"
#include "engine/TransferEngine.h"

namespace {

// The locale's time separator: the first character between hour and minute in its format.
QString TimeSeparator(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::ShortFormat);
    const qsizetype hour = format.indexOf(QRegularExpression(QStringLiteral("[hH]")));
    if (hour >= 0) {
        for (qsizetype i = hour; i < format.size(); ++i) {
            const QChar c = format.at(i);
            if (c == u'h' || c == u'H') continue;
            if (c == u'\'') break;
            return QString(c);
        }
    }
    return QStringLiteral(":");
}

QString TwoDigits(int value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); }

// Closes the descriptor on every path out of AppendLogEntry.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

QByteArray LogTimeStamp(const QDateTime& when, const QLocale& locale) {
    const QDate date = when.date();
    const QTime time = when.time();
    const QString sep = TimeSeparator(locale);
    // Stand-alone names: the forms without the trailing dot that a date uses in some locales.
    const QString text =
        QLatin1Char(' ') + locale.standaloneDayName(date.dayOfWeek(), QLocale::ShortFormat) +
        QLatin1Char(' ') + QString::number(date.day()) + QStringLiteral(". ") +
        locale.standaloneMonthName(date.month(), QLocale::ShortFormat) + QStringLiteral(". ") +
        QString::number(date.year()).rightJustified(4, u'0') + QStringLiteral(", ") +
        TwoDigits(time.hour()) + sep + TwoDigits(time.minute()) + sep + TwoDigits(time.second()) +
        sep + QLatin1Char(' ');
    return Ansi::FromQString(text);
}

QByteArray LogEntry(const QByteArray& text, const QDateTime& when, const QLocale& locale) {
    return text + LogTimeStamp(when, locale) + "\r\n";
}

QString LogPath(const QByteArray& name) { return Ansi::ToQString(name); }

void AppendLogEntry(const QString& path, const QByteArray& entry, bool create) {
    const QByteArray native = QFile::encodeName(path);
    Fd file;
    const int flags = O_RDWR | O_APPEND | O_CLOEXEC | O_NOCTTY | (create ? O_CREAT : 0);
    file.fd = ::open(native.constData(), flags, 0644);
    if (file.fd < 0) {
        throw FileError(create ? Ansi::Lit("Log-Datei anlegen") : Ansi::Lit("Log-Datei öffnen"),
                        path, errno);
    }
    if (::flock(file.fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) {
            throw FileError(Ansi::Lit("Log-Datei sperren"), path,
                            Ansi::Lit("die Datei ist von einem anderen Programm geöffnet"));
        }
        throw FileError(Ansi::Lit("Log-Datei sperren"), path, err);
    }
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) throw FileError(Ansi::Lit("Log-Datei öffnen"), path, errno);
    const off_t before = st.st_size;
    // One write per entry, so a reader never sees half of one from us; a write that did not
    // take all of it (a full disk) is cut back: the entry is in the file whole or not at all.
    const ssize_t written = ::write(file.fd, entry.constData(), size_t(entry.size()));
    const int err = errno;
    QByteArray reason;
    if (written < 0) {
        reason = ::strerror(err);
    } else if (written != entry.size()) {
        reason = Ansi::Lit("nur ") + QByteArray::number(qint64(written)) + Ansi::Lit(" von ") +
                 QByteArray::number(entry.size()) +
                 Ansi::Lit(" Bytes geschrieben (Datenträger voll?)");
    } else if (::fdatasync(file.fd) != 0) {
        reason = ::strerror(errno);
    }
    if (reason.isEmpty()) return;
    if (written > 0 && ::ftruncate(file.fd, before) == 0) ::fdatasync(file.fd);
    throw FileError(Ansi::Lit("Log-Datei schreiben"), path, reason);
}

// ---- the engine's log --------------------------------------------------------------------

void TTransferEngine::Log(const QByteArray& text) {
    // A call that comes while an earlier one waits for its missing-file box (a receive event
    // inside the box's message loop) is queued and written by the earlier call, after its
    // own entry: both entries are kept, in call order.
    // The entry carries the time of its call, also when it is written later.
    const QByteArray entry = LogEntry(text, QDateTime::currentDateTime(), QLocale::system());
    if (InLogFile) {
        LogQueue.append(entry);
        return;
    }
    InLogFile = true;
    std::exception_ptr ownError;
    QList<QByteArray> pending{entry};
    bool own = true;
    while (!pending.isEmpty()) {
        LogWaiting.append(pending.takeFirst());
        try {
            LogFileName = LogFileNameFor(CfgSend(), CfgLog());
            const QString path = LogPath(LogFileName);
            bool create = false;
            if (!QFileInfo::exists(path)) {
                // Only a file that can be made is offered: a missing folder is an error. The
                // message names the folder the file is made in.
                if (QFileInfo(path).dir().exists()) {
                    Modal::Info(View->DialogParent(),
                                Ansi::Lit("Log Datei fehlt Neue Log Datei  ") + LogFileName +
                                    Ansi::Lit("  erstellen in Dir ") +
                                    Ansi::FromQString(QFileInfo(path).absolutePath()));
                }
                create = true;
            }
            // Entries that could not be written go first, in order, with this one.
            AppendLogEntry(path, LogWaiting.join(), create);
            if (LogWaiting.size() > 1) {
                View->Trace(QByteArray::number(LogWaiting.size() - 1) +
                            Ansi::Lit(" zurückgehaltene Protokolleinträge nachgeholt"));
            }
            for (const QByteArray& entry : LogWaiting) View->LogWritten(entry);
            LogWaiting.clear();
            View->Trace(" Login " + Ansi::FromQString(QFileInfo(path).absoluteFilePath()) +
                        "  in Protokoll geschrieben ");
        } catch (const std::exception& e) {
            View->Trace(Ansi::Lit("Protokolleintrag nicht geschrieben, er wird vor dem nächsten "
                                  "nachgeholt (") +
                        QByteArray::number(LogWaiting.size()) + Ansi::Lit(" warten): ") +
                        QByteArray(e.what()));
            // The caller of this call hears of its own failure; a queued entry's caller has
            // already returned, so its failure is shown here.
            if (own) {
                ownError = std::current_exception();
            } else {
                Modal::Error(View->DialogParent(), QByteArray("LogFile: ") + e.what());
            }
        }
        own = false;
        pending.append(LogQueue);
        LogQueue.clear();
    }
    InLogFile = false;
    if (ownError) std::rethrow_exception(ownError);
}

QList<QByteArray> TTransferEngine::UnwrittenLogEntries() const { return LogWaiting; }
