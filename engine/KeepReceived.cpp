#include "engine/KeepReceived.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/FileReplace.h"
#include "engine/TransferRules.h"

QString KeepReceived(const QString& folder, const QByteArray& name, const QByteArray& ext,
                     const QByteArray& bytes) {
    using TransferRules::UnsafeNameReason;
    const QByteArray stem =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")).toLatin1() + "-" +
        (UnsafeNameReason(name).isEmpty() ? name : QByteArray("Empfang"));
    const QByteArray suffix =
        ext.isEmpty() || !UnsafeNameReason(ext).isEmpty() ? QByteArray() : "." + ext;
    if (!QDir().mkpath(folder)) {
        throw FileError(Ansi::Lit("Empfangenes sichern"), folder,
                        Ansi::Lit("der Ordner kann nicht angelegt werden"));
    }
    const QDir dir(folder);
    for (int count = 1;; ++count) {
        const QByteArray file = stem + (count > 1 ? "-" + QByteArray::number(count) : "") + suffix;
        const QString path = dir.absoluteFilePath(Ansi::ToQString(file));
        if (WriteAtomicNew(path, bytes)) return path;
    }
}

QString KeepReceivedFile(const QString& folder, const QByteArray& name, const QByteArray& ext,
                         const QString& file) {
    // The name is taken by an empty file first; the rename replaces it (QFile's would not).
    const QString path = KeepReceived(folder, name, ext, QByteArray());
    if (::rename(QFile::encodeName(file).constData(), QFile::encodeName(path).constData()) != 0) {
        const int err = errno;
        QFile::remove(path);
        throw FileError("Umbenennen", path, err);
    }
    return path;
}
