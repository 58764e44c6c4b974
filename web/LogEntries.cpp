#include "web/LogEntries.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>

#include "common/Ansi.h"

namespace {

int MonthNumber(const QString& name) {
    for (const QLocale& locale :
         {QLocale::system(), QLocale(QLocale::German), QLocale(QLocale::English), QLocale::c()}) {
        for (int m = 1; m <= 12; ++m) {
            for (const QString& candidate : {locale.standaloneMonthName(m, QLocale::ShortFormat),
                                             locale.monthName(m, QLocale::ShortFormat)}) {
                QString bare = candidate;
                if (bare.endsWith(u'.')) bare.chop(1);
                if (bare.compare(name, Qt::CaseInsensitive) == 0) return m;
            }
        }
    }
    return 0;
}

}  // namespace

QJsonObject LogEntries::Parse(const QString& line) {
    static const QRegularExpression stamp(
        QStringLiteral(R"( (\S+) (\d{1,2})\. (\S+?)\.? (\d{4}), (\d\d)(\D)(\d\d)\6(\d\d)\6 $)"));
    const QRegularExpressionMatch m = stamp.match(line);
    if (m.hasMatch()) {
        const int month = MonthNumber(m.captured(3));
        const QDateTime when(
            QDate(m.captured(4).toInt(), month, m.captured(2).toInt()),
            QTime(m.captured(5).toInt(), m.captured(7).toInt(), m.captured(8).toInt()));
        if (month > 0 && when.isValid()) {
            return {{QStringLiteral("entry"), line.left(m.capturedStart())},
                    {QStringLiteral("time"), when.toString(Qt::ISODate)}};
        }
    }
    return {{QStringLiteral("entry"), line}, {QStringLiteral("time"), QJsonValue()}};
}

QJsonObject LogEntries::Transfer(const QString& text) {
    static const struct {
        QRegularExpression pattern;
        const char* direction;
        const char* result;  // nullptr: the second group says it
    } kinds[] = {
        {QRegularExpression(QStringLiteral(R"(^(.+) gesendete PRG Nr = \d+$)")), "gesendet",
         "vollständig"},
        {QRegularExpression(QStringLiteral(R"(^(.+) nicht vollständig gesendet: (.+)$)")),
         "gesendet", nullptr},
        {QRegularExpression(
             QStringLiteral(R"(^(.+) PRG Nr = \d+( \(nach Abbruch nachgetragen\))?$)")),
         "empfangen", "gespeichert"},
        {QRegularExpression(QStringLiteral(R"(^(.+) (unvollständig) empfangen \((.+)\)$)")),
         "empfangen", nullptr},
        {QRegularExpression(QStringLiteral(R"(^(.+) (nicht gespeichert) \((.+?)\), )")),
         "empfangen", nullptr},
    };
    const QString trimmed = text.trimmed();
    for (const auto& kind : kinds) {
        const QRegularExpressionMatch m = kind.pattern.match(trimmed);
        if (!m.hasMatch()) continue;
        QString result = kind.result ? QString::fromUtf8(kind.result) : m.captured(2);
        if (m.lastCapturedIndex() == 3) result += QStringLiteral(" (") + m.captured(3) + u')';
        const QString path = m.captured(1);
        return {{QStringLiteral("program"), path.mid(path.lastIndexOf(u'/') + 1)},
                {QStringLiteral("direction"), QString::fromUtf8(kind.direction)},
                {QStringLiteral("result"), result}};
    }
    return {};
}

bool LogEntries::IsTransfer(const QString& line) {
    return !Transfer(Parse(line).value(QStringLiteral("entry")).toString()).isEmpty();
}

QString LogEntries::Relative(const QString& text, QStringList folders) {
    std::sort(folders.begin(), folders.end(),
              [](const QString& a, const QString& b) { return a.size() > b.size(); });
    QString out = text;
    for (QString folder : folders) {
        if (folder.isEmpty()) continue;
        if (!folder.endsWith(u'/')) folder += u'/';
        if (folder.size() > 1) out.replace(folder, QString());
    }
    return out;
}

QStringList LogEntries::TailEntries(const QString& path, int limit) {
    QFile file(path);
    if (limit <= 0 || !file.open(QIODevice::ReadOnly)) return {};
    const qint64 size = file.size();
    // Entries are short: a few hundred bytes; read more from the end until there are enough.
    qint64 span = std::min<qint64>(size, std::max<qint64>(64 * 1024, qint64(limit) * 512));
    for (;;) {
        file.seek(size - span);
        QList<QByteArray> lines = file.read(span).split('\n');
        // The part before the first line end may be the end of an earlier entry.
        if (span < size) lines.removeFirst();
        // Whatever follows the last line end is not whole yet.
        lines.removeLast();
        if (lines.size() >= limit || span >= size || span >= 64 * 1024 * 1024) {
            QStringList entries;
            for (qsizetype i = std::max<qsizetype>(0, lines.size() - limit); i < lines.size();
                 ++i) {
                QByteArray line = lines[i];
                if (line.endsWith('\r')) line.chop(1);
                entries.append(Ansi::ToQString(line));
            }
            return entries;
        }
        span = std::min(size, span * 4);
    }
}
