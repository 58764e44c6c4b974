#include "common/ProgramFiles.h"

#include <QDir>
#include <QFileInfo>

#include "common/Ansi.h"
#include "common/FilePaths.h"
#include "common/FileReplace.h"
#include "common/Versions.h"

namespace ProgramFiles {

QString NameProblem(const QByteArray& name) {
    if (name.isEmpty()) return QStringLiteral("Der Dateiname ist leer.");
    const QString text = QString::fromUtf8(name);
    if (text.toUtf8() != name) return QStringLiteral("Der Dateiname ist kein gültiger UTF-8-Text.");
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 32 || (u >= 0x7f && u <= 0x9f)) {
            return QStringLiteral("Der Dateiname enthält ein Steuerzeichen.");
        }
        if ((u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069)) {
            return QStringLiteral(
                "Der Dateiname enthält ein Zeichen, das die Schreibrichtung "
                "umkehrt.");
        }
        if (u == '/' || u == '\\') return QStringLiteral("Der Dateiname enthält ein Trennzeichen.");
        if (u == '%') return QStringLiteral("Der Dateiname enthält \"%\".");
    }
    if (name.contains("..")) return QStringLiteral("Der Dateiname enthält \"..\".");
    if (name.startsWith('.')) return QStringLiteral("Der Dateiname beginnt mit einem Punkt.");
    if (name.size() > kMaxName) {
        return QStringLiteral("Der Dateiname ist länger als %1 Bytes.").arg(kMaxName);
    }
    return {};
}

bool HasExtension(const QString& name, const QString& ext) {
    return !ext.isEmpty() && name.endsWith(u'.' + ext, Qt::CaseInsensitive) &&
           name.size() > ext.size() + 1;
}

QFileInfoList List(const QString& folder, const QString& ext) {
    QFileInfoList programs;
    for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Files, QDir::Name)) {
        if (HasExtension(info.fileName(), ext) && !info.fileName().startsWith(u'.')) {
            programs.append(info);
        }
    }
    return programs;
}

QString Find(const QString& folder, const QString& ext, const QByteArray& name, QString* problem) {
    *problem = NameProblem(name);
    if (!problem->isEmpty()) return {};
    const QString path = FindIgnoringCase(JoinPath(folder, QString::fromUtf8(name)));
    if (path.isEmpty() || !QFileInfo(path).isFile() ||
        !HasExtension(QFileInfo(path).fileName(), ext)) {
        *problem = QStringLiteral("Datei nicht vorhanden.");
        return {};
    }
    return path;
}

TStored Store(const QString& folder, const QString& ext, const QByteArray& name,
              const QByteArray& bytes) {
    if (const QString problem = NameProblem(name); !problem.isEmpty()) {
        return {TStored::Refused, problem, {}, {}};
    }
    if (bytes.size() > kMaxBytes) {
        return {TStored::Refused, QStringLiteral("Die Datei ist größer als 16 MiB."), {}, {}};
    }
    const QString given = QString::fromUtf8(name);
    if (!HasExtension(given, ext)) {
        return {TStored::Refused,
                QStringLiteral("Programme dieser Maschine haben die Endung .%1: ein Abruf lädt "
                               "nur sie.")
                    .arg(ext),
                {},
                {}};
    }
    // A program that differs only in letter case is the same program to a call: replaced.
    QStringList alternatives;
    const QString found = FindIgnoringCase(JoinPath(folder, given), &alternatives);
    if (found.isEmpty() && !alternatives.isEmpty()) {
        return {TStored::Conflict,
                QStringLiteral("Mehrere Dateien unterscheiden sich nur in der "
                               "Groß-/Kleinschreibung: ") +
                    alternatives.join(QStringLiteral(", ")),
                {},
                {}};
    }
    if (!found.isEmpty() && !QFileInfo(found).isFile()) {
        return {TStored::Conflict, QStringLiteral("Unter diesem Namen liegt keine Datei."), {}, {}};
    }
    const QString path = found.isEmpty() ? JoinPath(folder, given) : found;
    try {
        const QString version = Versions::Keep(path, [&] { WriteAtomic(path, bytes); });
        return {found.isEmpty() ? TStored::Created : TStored::Replaced, {}, path, version};
    } catch (const std::exception& e) {
        return {TStored::Failed,
                QStringLiteral("Nicht gespeichert: ") + Ansi::ToQString(QByteArray(e.what())),
                path,
                {}};
    }
}

}  // namespace ProgramFiles
