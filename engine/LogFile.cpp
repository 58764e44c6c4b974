#include "engine/LogFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
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

QByteArray LogFileNameFor(const QByteArray& cfgSend, const QByteArray& cfgLog) {
    // Empty values (no Config.ini yet) would name "/.log" in the file-system root: the
    // log then goes to the working directory under a visible name instead.
    const QByteArray name = cfgLog.isEmpty() ? QByteArray("Protokoll") : cfgLog;
    if (cfgSend.isEmpty()) return name + ".log";
    return cfgSend + "/" + name + ".log";
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
    // One write per entry, so a reader never sees half of one from us.
    const ssize_t written = ::write(file.fd, entry.constData(), size_t(entry.size()));
    if (written < 0) throw FileError(Ansi::Lit("Log-Datei schreiben"), path, errno);
    if (written != entry.size()) {
        throw FileError(Ansi::Lit("Log-Datei schreiben"), path,
                        Ansi::Lit("nur ") + QByteArray::number(qint64(written)) +
                            Ansi::Lit(" von ") + QByteArray::number(entry.size()) +
                            Ansi::Lit(" Bytes geschrieben (Datenträger voll?)"));
    }
    if (::fdatasync(file.fd) != 0) throw FileError(Ansi::Lit("Log-Datei schreiben"), path, errno);
}

// ---- the engine's LogFile --------------------------------------------------------------------

void TTransferEngine::LogFile() {
    // A call that comes while an earlier one waits for its missing-file box (a receive event
    // inside the box's message loop) is queued and written by the earlier call, after its
    // own entry: both entries are kept, in call order.
    if (InLogFile) {
        LogQueue.append(LogText);
        return;
    }
    InLogFile = true;
    std::exception_ptr ownError;
    QList<QByteArray> pending{LogText};
    bool own = true;
    while (!pending.isEmpty()) {
        const QByteArray text = pending.takeFirst();
        try {
            LogFileName = LogFileNameFor(CfgSend(), CfgLog());
            const QString path = LogPath(LogFileName);
            bool create = false;
            if (!QFileInfo::exists(path)) {
                Modal::Info(View->DialogParent(), Ansi::Lit("Log Datei fehlt Neue Log Datei  ") +
                                                      LogFileName +
                                                      Ansi::Lit("  erstellen in Dir"));
                create = true;
            }
            const QByteArray entry =
                LogEntry(text, QDateTime::currentDateTime(), QLocale::system());
            AppendLogEntry(path, entry, create);
            View->LogWritten(entry);
            View->Trace(" Login " + Ansi::FromQString(QFileInfo(path).absoluteFilePath()) +
                        "  in Protokoll geschrieben ");
        } catch (const std::exception& e) {
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
