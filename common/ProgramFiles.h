#pragma once
// Programs as a front hands them over the network (the web front, the broker bridge): the
// checks of a name that comes from outside, and storing, finding and listing the programs of
// a folder, the same for every front.
#include <QByteArray>
#include <QFileInfoList>
#include <QString>

namespace ProgramFiles {

// The largest program a front takes or hands out.
inline constexpr qint64 kMaxBytes = 16 * 1024 * 1024;
// The longest name: a version's name (time stamp, count, name) must still fit the file
// system's 255 bytes.
inline constexpr qsizetype kMaxName = 200;

// Empty when name (UTF-8) is a plain file name, otherwise why not (German): no separator,
// "..", control character, bidirectional override (a name that shows other than it is),
// "%" (an escape a client forgot to undo), leading dot; valid UTF-8 of at most kMaxName bytes.
QString NameProblem(const QByteArray& name);

// name ends in "." + ext (any case) and has more before it.
bool HasExtension(const QString& name, const QString& ext);

// The programs (files with the extension, not hidden) of folder, by name.
QFileInfoList List(const QString& folder, const QString& ext);

// The program name in folder, also when it differs in letter case; empty with *problem
// (German) when there is none, or when the name is no plain program name.
QString Find(const QString& folder, const QString& ext, const QByteArray& name, QString* problem);

struct TStored {
    enum TResult { Created, Replaced, Refused, Conflict, Failed } result;
    QString message;  // why not (German), for Refused, Conflict and Failed
    QString path;     // the program's file
    QString version;  // the kept version of the program it replaced (empty: none)
};

// Stores bytes as program name in folder (an upload): the name checked, one that differs
// only in letter case replaced, the replaced program kept as a version, written atomically.
TStored Store(const QString& folder, const QString& ext, const QByteArray& name,
              const QByteArray& bytes);

}  // namespace ProgramFiles
