#include "engine/Versions.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "engine/TransferRules.h"

namespace {

constexpr int kKept = 10;

}  // namespace

QString Versions::Keep(const QString& path) {
    const QFileInfo file(path);
    if (!file.isFile()) return {};
    const QString folder = file.absolutePath() + QStringLiteral("/.versionen");
    if (!QDir().mkpath(folder)) {
        throw FileError(Ansi::Lit("Versionsordner anlegen"), folder, errno);
    }
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    QString copy = folder + u'/' + file.fileName() + u'.' + stamp;
    for (int i = 2; QFileInfo::exists(copy); ++i) {
        copy = folder + u'/' + file.fileName() + u'.' + stamp + u'-' + QString::number(i);
    }
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly)) {
        throw FileError(Ansi::Lit("Version lesen"), path, Ansi::FromQString(source.errorString()));
    }
    TransferRules::WriteFileAtomic(copy, source.readAll());

    // The oldest go: the stamp sorts by time.
    QStringList kept = QDir(folder).entryList({file.fileName() + QStringLiteral(".*")},
                                              QDir::Files | QDir::Hidden, QDir::Name);
    while (kept.size() > kKept) QFile::remove(folder + u'/' + kept.takeFirst());
    return copy;
}
