#include "common/ProgramFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "common/FilePaths.h"
#include "common/ProgramFiles.h"
#include "common/Versions.h"

namespace {

// The most a download reads into memory (a received program may be larger than an upload).
constexpr qint64 kMaxRead = 64 * 1024 * 1024;

QJsonValue IdOrNull(const QString& versionPath) {
    return versionPath.isEmpty() ? QJsonValue() : QJsonValue(Versions::IdOf(versionPath));
}

}  // namespace

QJsonObject FileObject(const QFileInfo& info) {
    return {{QStringLiteral("name"), info.fileName()},
            {QStringLiteral("size"), info.size()},
            {QStringLiteral("time"), info.lastModified().toString(Qt::ISODate)}};
}

QString VersionTime(const QString& id) {
    return QDateTime::fromString(id.left(15), QStringLiteral("yyyyMMdd-HHmmss"))
        .toString(Qt::ISODate);
}

QJsonArray TProgramFolder::List() const {
    QJsonArray list;
    for (const QFileInfo& info : ProgramFiles::List(folder_, ext_)) list.append(FileObject(info));
    return list;
}

QJsonArray TProgramFolder::Removed() const {
    QStringList names = Versions::Names(folder_);
    names.sort();
    QJsonArray list;
    for (const QString& name : names) {
        if (!ProgramFiles::HasExtension(name, ext_) ||
            !FindIgnoringCase(JoinPath(folder_, name)).isEmpty()) {
            continue;
        }
        const QList<Versions::TVersion> versions = Versions::List(JoinPath(folder_, name));
        list.append(QJsonObject{{QStringLiteral("name"), name},
                                {QStringLiteral("time"), VersionTime(versions.value(0).id)}});
    }
    return list;
}

QString TProgramFolder::Existing(const QString& name) const {
    QString problem;
    const QString path = ProgramFiles::Find(folder_, ext_, name.toUtf8(), &problem);
    if (path.isEmpty()) throw TRefused{404, problem};
    return path;
}

QByteArray TProgramFolder::Read(const QString& path) {
    QFile file(path);
    if (file.size() > kMaxRead) throw TRefused{413, QStringLiteral("Datei zu groß.")};
    if (!file.open(QIODevice::ReadOnly)) {
        throw TRefused{500, QStringLiteral("Datei nicht lesbar: ") + file.errorString()};
    }
    return file.readAll();
}

QString TProgramFolder::Target(const QString& name) const {
    const QString found = FindIgnoringCase(JoinPath(folder_, name));
    return found.isEmpty() ? JoinPath(folder_, name) : found;
}

QJsonObject TProgramFolder::Write(const QString& name, const QByteArray& bytes, bool* created) {
    const ProgramFiles::TStored stored = ProgramFiles::Store(folder_, ext_, name.toUtf8(), bytes);
    switch (stored.result) {
        case ProgramFiles::TStored::Refused:
            throw TRefused{400, stored.message};
        case ProgramFiles::TStored::Conflict:
            throw TRefused{409, stored.message};
        case ProgramFiles::TStored::Failed:
            throw TRefused{500, stored.message};
        case ProgramFiles::TStored::Created:
        case ProgramFiles::TStored::Replaced:
            break;
    }
    *created = stored.result == ProgramFiles::TStored::Created;
    QJsonObject result = FileObject(QFileInfo(stored.path));
    result[QStringLiteral("version")] = IdOrNull(stored.version);
    return result;
}

QString TProgramFolder::VersionedName(const QString& name) const {
    const QString path = FindIgnoringCase(JoinPath(folder_, name));
    if (!path.isEmpty()) return QFileInfo(path).fileName();
    const QStringList names = Versions::Names(folder_);
    if (names.contains(name)) return name;
    for (const QString& kept : names) {
        if (kept.compare(name, Qt::CaseInsensitive) == 0) return kept;
    }
    return name;
}

QJsonArray TProgramFolder::VersionList(const QString& name) const {
    QJsonArray list;
    for (const Versions::TVersion& v : Versions::List(JoinPath(folder_, VersionedName(name)))) {
        list.append(QJsonObject{{QStringLiteral("id"), v.id},
                                {QStringLiteral("size"), QFileInfo(v.path).size()},
                                {QStringLiteral("time"), VersionTime(v.id)}});
    }
    return list;
}

QString TProgramFolder::VersionPath(const QString& name, const QString& id) const {
    for (const Versions::TVersion& v : Versions::List(JoinPath(folder_, VersionedName(name)))) {
        if (v.id == id) return v.path;
    }
    throw TRefused{404, QStringLiteral("Diese Fassung gibt es nicht (mehr).")};
}

QJsonObject TProgramFolder::Restore(const QString& name, const QString& id, bool* created) {
    // Read first: keeping the file now may remove the oldest version, which may be this one.
    const QByteArray bytes = Read(VersionPath(name, id));
    return Write(VersionedName(name), bytes, created);
}

QJsonObject TProgramFolder::Remove(const QString& name) {
    const QString path = Existing(name);
    const QString version = Versions::Keep(path);
    if (!QFile::remove(path)) {
        throw TRefused{500, QStringLiteral("%1 nicht gelöscht (als Fassung %2 aufbewahrt).")
                                .arg(QFileInfo(path).fileName(), Versions::IdOf(version))};
    }
    return {{QStringLiteral("name"), QFileInfo(path).fileName()},
            {QStringLiteral("version"), IdOrNull(version)}};
}

QJsonObject TProgramFolder::Accept(const QString& from, const QString& as, bool* created) {
    if (const QString problem = ProgramFiles::NameProblem(as.toUtf8()); !problem.isEmpty()) {
        throw TRefused{400, problem};
    }
    if (QFileInfo(from) == QFileInfo(Target(as))) {
        throw TRefused{409, QStringLiteral("Das ist schon dieses Programm.")};
    }
    return Write(as, Read(from), created);
}
