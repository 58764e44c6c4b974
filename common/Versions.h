#pragma once
// Versions of replaced programs: before a save (or an upload) replaces a file, the file as it
// was is kept in the hidden folder ".versionen" beside it, named with the date and time, so
// that a program optimised at the machine and sent back is never lost to the next one.
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

namespace Versions {

// The folder beside the file, and how many versions of one name it keeps.
inline constexpr char kFolder[] = ".versionen";
inline constexpr int kKept = 10;

// Keeps a copy of the existing file path as ".versionen/<yyyyMMdd-HHmmss>-<name>" beside it
// (".2", ".3", ... after the time when that name is taken) and removes the oldest beyond
// the last kKept of that name. Returns the copy's path, empty when path is no file. Throws
// FileError when it cannot be kept; the file itself is untouched.
QString Keep(const QString& path);
// Keeps the copy, then calls replace (which writes the file anew); only when replace
// succeeds do the oldest versions go. When it throws, the copy is removed again and the
// exception passes on, so failed tries (a full disk) never push older versions out.
QString Keep(const QString& path, const std::function<void()>& replace);

struct TVersion {
    QString id;    // "20261208-103412" or "20261208-103412.2": when it was kept
    QString path;  // the copy
};

// The versions of the file path (which need not exist any more), newest first.
QList<TVersion> List(const QString& path);
// The file names in the folder that have versions (also of files since removed).
QStringList Names(const QString& folder);
// The id of a version's path, empty when it is none.
QString IdOf(const QString& versionPath);

}  // namespace Versions
