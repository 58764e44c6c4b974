#include "common/FilePaths.h"

#include <QDir>
#include <QFileInfo>

QString FindIgnoringCase(const QString& path, QStringList* alternatives) {
    if (alternatives) alternatives->clear();
    const QFileInfo exact(path);
    if (exact.isFile()) return path;
    const QDir folder = exact.dir();
    QStringList matches;
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden)) {
        if (name.compare(exact.fileName(), Qt::CaseInsensitive) == 0) matches << name;
    }
    if (matches.size() == 1) {
        return exact.path() == QStringLiteral(".") && !path.startsWith(QStringLiteral("./"))
                   ? matches[0]
                   : folder.filePath(matches[0]);
    }
    if (alternatives) *alternatives = matches;
    return {};
}

QString JoinPath(const QString& folder, const QString& name) {
    if (folder.isEmpty() || folder.endsWith('/')) return folder + name;
    return folder + '/' + name;
}
