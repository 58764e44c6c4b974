#pragma once
// Writing files so that a crash or a failed write loses nothing: whole files through a
// temporary beside them, settings files also in a folder the user may not write to.
//
// Every temporary carries its owner: ".NAME.dnc-HOST.PID.XXXXXX" beside the target. Several
// servers may share a folder (a file share): a start removes only the temporaries whose
// owner is gone, never one that another server is writing.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

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

// Writes data and tail to path so that a crash leaves the old file or the new one, never
// half of one: a temporary of this process in the same folder, write, fsync, rename, fsync of
// the folder. beforeRename (when given) runs once the temporary is complete. Throws
// FileError (operation, path and the system's reason); the temporary is removed.
void WriteAtomic(const QString& path, const QByteArray& data, const QByteArray& tail = {},
                 const std::function<void()>& beforeRename = {});

// The same for a file that must not replace another: false (and nothing written) when path
// is taken, also by a file that appears meanwhile.
bool WriteAtomicNew(const QString& path, const QByteArray& data, const QByteArray& tail = {});

// Appends data to path (created if missing) and fsyncs it. Throws FileError.
void AppendSynced(const QString& path, const QByteArray& data);

// Temporaries of other servers from other hosts are removed only when they are this old.
inline constexpr qint64 kForeignTemporaryAgeSeconds = 24 * 60 * 60;

// Removes the temporaries in folder (the working folder when empty) that a crash left: those
// of a process of this host that is gone, and those older than kForeignTemporaryAgeSeconds
// (other hosts, unknown owners). Returns their paths.
QStringList RemoveOrphanTemporaries(const QString& folder);

// The owner part of this process's temporaries: "HOST.PID".
QByteArray TemporaryOwner();

// Why folder cannot take a new file (German, Windows-1252: "fehlt", "ist kein Ordner", "ist
// nicht beschreibbar (...)"), or empty when it can: a file is made there and removed again.
QByteArray FolderWriteProblem(const QString& folder);
