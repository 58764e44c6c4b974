#include "common/Versions.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/FileReplace.h"

namespace Versions {

namespace {

// "20261208-103412-P4711.CNC" or "20261208-103412.2-P4711.CNC": time, count, name.
const QRegularExpression& VersionName() {
    static const QRegularExpression re(QStringLiteral("^(\\d{8}-\\d{6})(?:\\.(\\d+))?-(.+)$"));
    return re;
}

struct Version {
    QString stamp;
    int count;
    QString file;
};

// The versions of name in folder, oldest first.
QList<Version> VersionsOf(const QDir& folder, const QString& name) {
    QList<Version> versions;
    for (const QString& file : folder.entryList(QDir::Files | QDir::Hidden)) {
        const QRegularExpressionMatch m = VersionName().match(file);
        if (!m.hasMatch() || m.captured(3) != name) continue;
        versions.append({m.captured(1), m.captured(2).isEmpty() ? 1 : m.captured(2).toInt(), file});
    }
    std::sort(versions.begin(), versions.end(), [](const Version& a, const Version& b) {
        return a.stamp != b.stamp ? a.stamp < b.stamp : a.count < b.count;
    });
    return versions;
}

}  // namespace

QString Keep(const QString& path) {
    return Keep(path, [] {});
}

QString Keep(const QString& path, const std::function<void()>& replace) {
    const QFileInfo info(path);
    if (!info.isFile()) {
        replace();
        return {};
    }
    const QByteArray operation = Ansi::Lit("Version sichern");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(operation, path, Ansi::FromQString(file.errorString()));
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw FileError(operation, path, Ansi::FromQString(file.errorString()));
    file.close();

    const QDir folder(info.dir().filePath(QLatin1String(kFolder)));
    if (!QDir().mkpath(folder.path()))
        throw FileError(operation, folder.path(),
                        Ansi::Lit("der Ordner kann nicht angelegt werden"));
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    // After every version of this second, also those already removed: a name is never
    // used twice, so the newest always sorts last.
    int count = 1;
    for (const Version& v : VersionsOf(folder, info.fileName()))
        if (v.stamp == stamp) count = std::max(count, v.count + 1);
    for (;; ++count) {
        const QString name = stamp +
                             (count > 1 ? QLatin1Char('.') + QString::number(count) : QString()) +
                             QLatin1Char('-') + info.fileName();
        const QString copy = folder.filePath(name);
        if (!WriteAtomicNew(copy, content)) continue;
        try {
            replace();
        } catch (...) {
            // The file is as it was: its copy goes, and no older version went for it.
            QFile::remove(copy);
            throw;
        }
        // The oldest beyond the last kKept go; one that cannot be removed stays.
        const QList<Version> versions = VersionsOf(folder, info.fileName());
        for (qsizetype i = 0; i + kKept < versions.size(); ++i)
            QFile::remove(folder.filePath(versions[i].file));
        return copy;
    }
}

QList<TVersion> List(const QString& path) {
    const QFileInfo info(path);
    const QDir folder(info.dir().filePath(QLatin1String(kFolder)));
    QList<TVersion> list;
    for (const Version& v : VersionsOf(folder, info.fileName())) {
        list.prepend({IdOf(v.file), folder.filePath(v.file)});
    }
    return list;
}

QStringList Names(const QString& folder) {
    QStringList names;
    const QDir dir(QDir(folder).filePath(QLatin1String(kFolder)));
    for (const QString& file : dir.entryList(QDir::Files | QDir::Hidden)) {
        const QRegularExpressionMatch m = VersionName().match(file);
        if (m.hasMatch() && !names.contains(m.captured(3))) names.append(m.captured(3));
    }
    return names;
}

QString IdOf(const QString& versionPath) {
    const QRegularExpressionMatch m = VersionName().match(QFileInfo(versionPath).fileName());
    if (!m.hasMatch()) return {};
    return m.captured(2).isEmpty() ? m.captured(1) : m.captured(1) + u'.' + m.captured(2);
}

}  // namespace Versions
