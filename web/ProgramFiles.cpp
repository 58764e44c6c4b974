#include "web/ProgramFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "common/FilePaths.h"
#include "common/FileReplace.h"
#include "common/Versions.h"

namespace {

// The most a download reads into memory (programs are far smaller).
constexpr qint64 kMaxRead = 64 * 1024 * 1024;

QJsonObject FileObject(const QFileInfo& info) {
    return {{QStringLiteral("name"), info.fileName()},
            {QStringLiteral("size"), info.size()},
            {QStringLiteral("time"), info.lastModified().toString(Qt::ISODate)}};
}

QJsonValue IdOrNull(const QString& versionPath) {
    return versionPath.isEmpty() ? QJsonValue() : QJsonValue(Versions::IdOf(versionPath));
}

}  // namespace

QString VersionTime(const QString& id) {
    return QDateTime::fromString(id.left(15), QStringLiteral("yyyyMMdd-HHmmss"))
        .toString(Qt::ISODate);
}

bool TProgramFiles::HasExtension(const QString& name) const {
    return !ext_.isEmpty() && name.endsWith(u'.' + ext_, Qt::CaseInsensitive) &&
           name.size() > ext_.size() + 1 && !name.startsWith(u'.');
}

QJsonArray TProgramFiles::List() const {
    QJsonArray list;
    for (const QFileInfo& info : QDir(folder_).entryInfoList(QDir::Files, QDir::Name)) {
        if (HasExtension(info.fileName())) list.append(FileObject(info));
    }
    return list;
}

QJsonArray TProgramFiles::Removed() const {
    QStringList names = Versions::Names(folder_);
    names.sort();
    QJsonArray list;
    for (const QString& name : names) {
        if (!HasExtension(name) || !FindIgnoringCase(JoinPath(folder_, name)).isEmpty()) continue;
        const QList<Versions::TVersion> versions = Versions::List(JoinPath(folder_, name));
        list.append(QJsonObject{{QStringLiteral("name"), name},
                                {QStringLiteral("time"), VersionTime(versions.value(0).id)}});
    }
    return list;
}

QString TProgramFiles::Existing(const QString& name) const {
    const QString path = FindIgnoringCase(JoinPath(folder_, name));
    if (path.isEmpty() || !QFileInfo(path).isFile() || !HasExtension(QFileInfo(path).fileName())) {
        throw TRefused{404, QStringLiteral("Datei nicht vorhanden.")};
    }
    return path;
}

QByteArray TProgramFiles::Read(const QString& path) {
    QFile file(path);
    if (file.size() > kMaxRead) throw TRefused{413, QStringLiteral("Datei zu groß.")};
    if (!file.open(QIODevice::ReadOnly)) {
        throw TRefused{500, QStringLiteral("Datei nicht lesbar: ") + file.errorString()};
    }
    return file.readAll();
}

QString TProgramFiles::Target(const QString& name) const {
    const QString found = FindIgnoringCase(JoinPath(folder_, name));
    return found.isEmpty() ? JoinPath(folder_, name) : found;
}

QJsonObject TProgramFiles::Write(const QString& name, const QByteArray& bytes, bool* created) {
    if (!HasExtension(name)) {
        throw TRefused{400, QStringLiteral("Programme dieser Maschine haben die Endung .%1: "
                                           "ein Abruf lädt nur sie.")
                                .arg(ext_)};
    }
    // A program that differs only in letter case is the same program to a call: replaced.
    QStringList alternatives;
    const QString found = FindIgnoringCase(JoinPath(folder_, name), &alternatives);
    if (found.isEmpty() && !alternatives.isEmpty()) {
        throw TRefused{409, QStringLiteral("Mehrere Dateien unterscheiden sich nur in der "
                                           "Groß-/Kleinschreibung: ") +
                                alternatives.join(QStringLiteral(", "))};
    }
    if (!found.isEmpty() && !QFileInfo(found).isFile()) {
        throw TRefused{409, QStringLiteral("Unter diesem Namen liegt keine Datei.")};
    }
    const QString path = found.isEmpty() ? JoinPath(folder_, name) : found;
    const QString version = Versions::Keep(path);
    WriteAtomic(path, bytes);
    *created = found.isEmpty();
    QJsonObject result = FileObject(QFileInfo(path));
    result[QStringLiteral("version")] = IdOrNull(version);
    return result;
}

QString TProgramFiles::VersionedName(const QString& name) const {
    const QString path = FindIgnoringCase(JoinPath(folder_, name));
    if (!path.isEmpty()) return QFileInfo(path).fileName();
    const QStringList names = Versions::Names(folder_);
    if (names.contains(name)) return name;
    for (const QString& kept : names) {
        if (kept.compare(name, Qt::CaseInsensitive) == 0) return kept;
    }
    return name;
}

QJsonArray TProgramFiles::VersionList(const QString& name) const {
    QJsonArray list;
    for (const Versions::TVersion& v : Versions::List(JoinPath(folder_, VersionedName(name)))) {
        list.append(QJsonObject{{QStringLiteral("id"), v.id},
                                {QStringLiteral("size"), QFileInfo(v.path).size()},
                                {QStringLiteral("time"), VersionTime(v.id)}});
    }
    return list;
}

QString TProgramFiles::VersionPath(const QString& name, const QString& id) const {
    for (const Versions::TVersion& v : Versions::List(JoinPath(folder_, VersionedName(name)))) {
        if (v.id == id) return v.path;
    }
    throw TRefused{404, QStringLiteral("Diese Fassung gibt es nicht (mehr).")};
}

QJsonObject TProgramFiles::Restore(const QString& name, const QString& id, bool* created) {
    // Read first: keeping the file now may remove the oldest version, which may be this one.
    const QByteArray bytes = Read(VersionPath(name, id));
    return Write(VersionedName(name), bytes, created);
}

QJsonObject TProgramFiles::Remove(const QString& name) {
    const QString path = Existing(name);
    const QString version = Versions::Keep(path);
    if (!QFile::remove(path)) {
        throw TRefused{500, QStringLiteral("%1 nicht gelöscht (als Fassung %2 aufbewahrt).")
                                .arg(QFileInfo(path).fileName(), Versions::IdOf(version))};
    }
    return {{QStringLiteral("name"), QFileInfo(path).fileName()},
            {QStringLiteral("version"), IdOrNull(version)}};
}
