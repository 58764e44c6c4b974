#pragma once
// Paths of program files as both the engine and the web front look them up.
#include <QString>
#include <QStringList>

// A file named as given, or one in the same folder whose name differs only in letter case
// (programs copied from Windows keep their case). When the exact name is missing and more
// than one file matches, nothing is chosen and *alternatives names them.
QString FindIgnoringCase(const QString& path, QStringList* alternatives = nullptr);

// folder + "/" + name, with no doubled separator when folder ends in one.
QString JoinPath(const QString& folder, const QString& name);
