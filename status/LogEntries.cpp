#include "status/LogEntries.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QLocale>
#include <QRegularExpression>

#include "common/Ansi.h"

namespace {

int MonthNumber(const QString& name) {
    // The short month names, without their point, in lower case; made once, as every entry's
    // stamp needs them. A name the system's locale knows counts first.
    static const QHash<QString, int> months = [] {
        QHash<QString, int> table;
        for (const QLocale& locale : {QLocale::system(), QLocale(QLocale::German),
                                      QLocale(QLocale::English), QLocale::c()}) {
            for (int m = 1; m <= 12; ++m) {
                for (QString bare : {locale.standaloneMonthName(m, QLocale::ShortFormat),
                                     locale.monthName(m, QLocale::ShortFormat)}) {
                    if (bare.endsWith(u'.')) bare.chop(1);
                    if (!table.contains(bare.toLower())) table.insert(bare.toLower(), m);
                }
            }
        }
        return table;
    }();
    return months.value(name.toLower(), 0);
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
    const QString t = text.trimmed();
    const TKind kind = Kind(t);
    // The text after marker (the engine writes each kind's marker once).
    const auto after = [&t](const QString& marker) {
        return t.mid(t.indexOf(marker) + marker.size());
    };
    QString direction = QStringLiteral("empfangen"), result;
    if (kind.kind == QStringLiteral("sent")) {
        direction = QStringLiteral("gesendet");
        result = QStringLiteral("vollständig");
    } else if (kind.kind == QStringLiteral("aborted")) {
        direction = QStringLiteral("gesendet");
        result = after(QStringLiteral(" nicht vollständig gesendet: "));
    } else if (kind.kind == QStringLiteral("saved")) {
        result = QStringLiteral("gespeichert");
    } else if (kind.kind == QStringLiteral("notSaved")) {
        const QString reason = after(QStringLiteral(" nicht gespeichert ("));
        result = QStringLiteral("nicht gespeichert (") +
                 reason.left(reason.indexOf(QStringLiteral("), "))) + u')';
    } else if (kind.kind == QStringLiteral("incomplete") && !kind.program.isEmpty()) {
        result =
            QStringLiteral("unvollständig (") + after(QStringLiteral(" unvollständig empfangen ("));
    } else {
        return {};
    }
    return {{QStringLiteral("program"), kind.program},
            {QStringLiteral("direction"), direction},
            {QStringLiteral("result"), result}};
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

LogEntries::TKind LogEntries::Kind(const QString& entry) {
    // The entries as the engine writes them; the path comes first where there is one.
    static const struct {
        const char* kind;
        QRegularExpression pattern;
    } kinds[] = {
        {"sent", QRegularExpression(QStringLiteral("^(.+) gesendete PRG Nr = \\d+"))},
        {"aborted", QRegularExpression(QStringLiteral("^(.+) nicht vollständig gesendet: "))},
        {"saved", QRegularExpression(QStringLiteral("^(.+) PRG Nr = \\d+"))},
        {"notSaved", QRegularExpression(QStringLiteral("^(.+) nicht gespeichert \\("))},
        {"incomplete", QRegularExpression(QStringLiteral("^(.+) unvollständig empfangen \\("))},
        {"incomplete", QRegularExpression(QStringLiteral("^()Empfang unvollständig \\("))},
        {"lost", QRegularExpression(QStringLiteral("^()Schnittstelle COM\\d+ verloren "))},
        {"reopened",
         QRegularExpression(QStringLiteral("^()Schnittstelle COM\\d+ (wieder )?geöffnet "))},
    };
    for (const auto& k : kinds) {
        const QRegularExpressionMatch m = k.pattern.match(entry);
        if (!m.hasMatch()) continue;
        const QString path = m.captured(1);
        return {QLatin1String(k.kind), path.mid(path.lastIndexOf(u'/') + 1)};
    }
    return {QStringLiteral("log"), {}};
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
