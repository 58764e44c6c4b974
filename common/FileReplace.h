#pragma once
// Replacing the whole content of a settings file so that a crash or a failed write loses
// nothing, also in a folder the user may not write to.
#include <QByteArray>
#include <QString>

enum class TReplaceWay { ThroughTemporary, InPlace };

// Replaces the content of path. Normally through a temporary file in the same folder
// (write, fsync, rename, fsync of the folder): a crash leaves the old file or the new one.
// A folder that takes no new file (no write permission, read-only, immutable) cannot hold
// the temporary: an existing file that is writable is then rewritten in place and fsynced,
// and InPlace is returned; should that write fail, the old content is written back. The
// file keeps its mode; a symbolic link is followed, not replaced.
// Throws FileError (operation, path and the system's reason).
TReplaceWay ReplaceFileContent(const QString& path, const QByteArray& data,
                               const QByteArray& operation);

// What the user is told after an in-place write (Windows-1252).
QByteArray InPlaceNote(const QString& path);
