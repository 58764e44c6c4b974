#include "web/Audit.h"

#include <QDateTime>
#include <cstdio>

QString Audit::Printable(const QString& text) {
    QString out;
    for (const QChar c : text.left(100)) {
        const char16_t u = c.unicode();
        const bool control = u < 32 || u == 127 || (u >= 0x80 && u < 0xA0) ||
                             (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) ||
                             u == 0x2028 || u == 0x2029;
        if (control || c == u'\\') {
            out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    if (text.size() > 100) out += QStringLiteral("…");
    return out;
}

void Audit::Say(const QString& what, const QString& user, const QByteArray& address,
                const QString& object) {
    QString line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) +
                   what + QStringLiteral(": Benutzer ") + Printable(user) +
                   QStringLiteral(", Adresse ") + QString::fromLatin1(address);
    if (!object.isEmpty()) line += QStringLiteral(", ") + Printable(object);
    std::fputs((line + u'\n').toUtf8().constData(), stderr);
    std::fflush(stderr);
}
