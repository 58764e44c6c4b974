#include "mqtt/Topics.h"

#include <QStringList>

namespace Topics {

namespace {

constexpr char kRoot[] = "dnc/";
constexpr qsizetype kMaxName = 128;

QString Of(const QString& site, const QString& machine, const char* leaf) {
    return QLatin1String(kRoot) + site + u'/' + machine + u'/' + QLatin1String(leaf);
}

}  // namespace

QString Online(const QString& site) {
    return QLatin1String(kRoot) + site + QStringLiteral("/online");
}
QString State(const QString& site, const QString& machine) { return Of(site, machine, "state"); }
QString Event(const QString& site, const QString& machine) { return Of(site, machine, "event"); }
QString Reply(const QString& site, const QString& machine) { return Of(site, machine, "reply"); }
QString Command(const QString& site, const QString& machine, const QString& command) {
    return Of(site, machine, "cmd/") + command;
}
QString Commands(const QString& site) { return Of(site, QStringLiteral("+"), "cmd/+"); }

QStringList Everything() {
    const QString any = QStringLiteral("+");
    return {Online(any), State(any, any), Event(any, any), Reply(any, any)};
}

std::optional<TTopic> Parse(const QString& topic) {
    const QStringList levels = topic.split(u'/');
    if (levels.size() < 3 || levels[0] + u'/' != QLatin1String(kRoot) || levels[1].isEmpty()) {
        return std::nullopt;
    }
    if (levels.size() == 3) {
        if (levels[2] != QStringLiteral("online")) return std::nullopt;
        return TTopic{levels[1], {}, levels[2]};
    }
    if (levels[2].isEmpty() || levels.last().isEmpty()) return std::nullopt;
    return TTopic{levels[1], levels[2], levels.mid(3).join(u'/')};
}

std::optional<TCommandTopic> ParseCommand(const QString& topic, const QString& site) {
    const std::optional<TTopic> t = Parse(topic);
    if (!t || t->site != site || !t->leaf.startsWith(QStringLiteral("cmd/")) ||
        t->leaf.count(u'/') != 1) {
        return std::nullopt;
    }
    return TCommandTopic{t->machine, t->leaf.mid(4)};
}

QString NameProblem(const QString& name) {
    if (name.isEmpty()) return QStringLiteral("ist leer");
    if (name.size() > kMaxName) return QStringLiteral("ist länger als %1 Zeichen").arg(kMaxName);
    for (const QChar c : name) {
        if (c == u'/' || c == u'+' || c == u'#') return QStringLiteral("enthält \"%1\"").arg(c);
        if (c.unicode() < 32 || c.category() == QChar::Other_Control) {
            return QStringLiteral("enthält ein Steuerzeichen");
        }
    }
    return {};
}

QString TimeText(const QDateTime& local) {
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

std::optional<TBrokerUrl> ParseBrokerUrl(const QString& url) {
    TBrokerUrl b;
    QString rest;
    if (url.startsWith(QStringLiteral("mqtt://"))) {
        rest = url.mid(7);
        b.port = 1883;
    } else if (url.startsWith(QStringLiteral("mqtts://"))) {
        rest = url.mid(8);
        b.port = 8883;
        b.tls = true;
    } else {
        return std::nullopt;
    }
    if (rest.endsWith(u'/')) rest.chop(1);
    qsizetype colon = rest.lastIndexOf(u':');
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0) return std::nullopt;
        b.host = rest.mid(1, close - 1);
        if (close + 1 < rest.size() && rest[close + 1] != u':') return std::nullopt;
        colon = close + 1 < rest.size() ? close + 1 : -1;
    } else {
        b.host = colon < 0 ? rest : rest.left(colon);
    }
    if (colon >= 0) {
        bool ok = false;
        b.port = rest.mid(colon + 1).toInt(&ok);
        if (!ok || b.port < 1 || b.port > 65535) return std::nullopt;
    }
    if (b.host.isEmpty() || b.host.contains(u'/') || b.host.contains(u'@') ||
        (!rest.startsWith(u'[') && b.host.contains(u':'))) {
        return std::nullopt;
    }
    return b;
}

}  // namespace Topics
