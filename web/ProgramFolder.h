#pragma once
// One folder of a machine's program files (the programs a call loads, or the received ones)
// as the web API lists and changes them, over the programs every front stores alike
// (common/ProgramFiles.h). Every change keeps what it replaces or removes as a version in
// ".versionen/" beside it, so each one can be undone. A name is found ignoring letter case,
// as a call finds it. Answers name files, never server paths.
#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// A request the front refuses: its status and why (German). Thrown by the checks and file
// operations; the dispatch answers {"error": message}.
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

  private:
    // The name versions of name are kept under: the file's, or a removed one's.
    QString VersionedName(const QString& name) const;

    QString folder_;
    QString ext_;
};

// "yyyy-MM-ddTHH:mm:ss" of a version id ("20261208-103412.2").
QString VersionTime(const QString& id);
