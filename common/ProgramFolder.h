#pragma once
// One folder of a machine's program files (the programs a call loads, or the received ones)
// as the fronts (the web API, the broker bridge) list and change them, over the programs
// every front stores alike (common/ProgramFiles.h). Every change keeps what it replaces or
// removes as a version in ".versionen/" beside it, so each one can be undone. A name is found
// ignoring letter case, as a call finds it. Answers name files, never server paths.
#include <QByteArray>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// A request a front refuses: its status (as HTTP says it: 400 a wrong name, 404 none there,
// 409 a conflict, 413 too large, 500 the file system) and why (German). Thrown by the checks
// and file operations; the web API answers {"error": message}, the bridge ok false.
struct TRefused {
    int status;
    QString message;
};

class TProgramFolder {
  public:
    TProgramFolder(const QString& folder, const QString& ext) : folder_(folder), ext_(ext) {}

    // [{name, size, time}] of the files with the folder's extension, by name.
    QJsonArray List() const;
    // [{name, time}] of the names with versions but no file (removed ones), by name.
    QJsonArray Removed() const;
    // The file's path, letter case as on disk; 404 when there is none.
    QString Existing(const QString& name) const;
    // The file's bytes (at most 64 MiB).
    static QByteArray Read(const QString& path);

    // The path a write of name goes to: the file ignoring letter case, or a new one.
    QString Target(const QString& name) const;
    // Writes bytes under name, replacing a file whose name differs only in letter case;
    // {name, size, time, version: the replaced one's id or null}. *created: no file was there.
    QJsonObject Write(const QString& name, const QByteArray& bytes, bool* created);
    // [{id, size, time}], newest first; also of a removed file.
    QJsonArray VersionList(const QString& name) const;
    QString VersionPath(const QString& name, const QString& id) const;
    // The version becomes the file again, the file as it was kept as a version.
    QJsonObject Restore(const QString& name, const QString& id, bool* created);
    // Removes the file, kept as a version; {name, version}.
    QJsonObject Remove(const QString& name);
    // Writes the file at from (a received program) as program as, as Write does; 400 for a
    // name that is no plain one, 409 when from is that program itself.
    QJsonObject Accept(const QString& from, const QString& as, bool* created);

  private:
    // The name versions of name are kept under: the file's, or a removed one's.
    QString VersionedName(const QString& name) const;

    QString folder_;
    QString ext_;
};

// {name, size, time} of a file, as every list of files gives it.
QJsonObject FileObject(const QFileInfo& info);
// "yyyy-MM-ddTHH:mm:ss" of a version id ("20261208-103412.2").
QString VersionTime(const QString& id);
