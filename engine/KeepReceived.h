#pragma once
// Received bytes that cannot go where they belong are kept, whole, in a folder of their own
// under the working folder: never overwritten, so no later transmission can take them.
#include <QByteArray>
#include <QString>

// Programs whose save failed.
inline constexpr char kUnsavedFolder[] = "nicht-gespeichert";
// Receptions that did not end as a program ends: a quiet time, a lost device.
inline constexpr char kIncompleteFolder[] = "unvollstaendig";

// Writes bytes to folder/<yyyyMMdd-HHmmss>-<name>.<ext> ("-2", "-3", ... before the point
// when that name is taken) through a temporary, fsync and rename, creating folder when
// missing; an existing file is never replaced. name is a file name from the line: an empty
// or unsafe one becomes "Empfang". Returns the file's absolute path; throws FileError.
QString KeepReceived(const QString& folder, const QByteArray& name, const QByteArray& ext,
                     const QByteArray& bytes);

// Moves file, whole, into folder under a name as KeepReceived gives it (a rename: the file is
// gone from where it was). Returns the new absolute path; throws FileError.
QString KeepReceivedFile(const QString& folder, const QByteArray& name, const QByteArray& ext,
                         const QString& file);
