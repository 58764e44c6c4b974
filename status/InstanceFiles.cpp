#include "status/InstanceFiles.h"

#include <QDir>
#include <QFile>

#include "common/Ansi.h"
#include "common/ConfigLines.h"

namespace {

// The values of Config.ini that locate the files, by line number.
TInstanceFiles FromConfig(const QString& folder) {
    TInstanceFiles files{folder, QStringLiteral("CNC"), folder, {}};
    QFile file(folder + QStringLiteral("/Config.ini"));
    QList<QByteArray> lines;
    if (file.open(QIODevice::ReadOnly)) lines = ConfigLines::SplitLines(file.read(1024 * 1024));
    const auto value = [&](int slot) {
        return slot <= lines.size() ? ConfigLines::LineValue(lines[slot - 1]) : QByteArray();
    };
    const QDir dir(folder);
    const QByteArray ext = ConfigLines::WithoutTrailingBlanks(value(CfgSlot::Ext));
    const QByteArray save = ConfigLines::WithoutTrailingBlanks(value(CfgSlot::Save));
    const QByteArray send = ConfigLines::WithoutTrailingBlanks(value(CfgSlot::Send));
    if (!ext.isEmpty()) files.ext = Ansi::ToQString(ext);
    if (!save.isEmpty()) files.save = QDir::cleanPath(dir.absoluteFilePath(Ansi::ToQString(save)));
    files.log = QDir::cleanPath(
        dir.absoluteFilePath(Ansi::ToQString(LogFileNameFor(send, value(CfgSlot::Log)))));
    return files;
}

}  // namespace

TInstanceFiles InstanceFiles(const QString& folder, const QJsonObject& state) {
    if (state.isEmpty()) return FromConfig(folder);
    return {folder, state.value(QStringLiteral("ext")).toString(),
            state.value(QStringLiteral("save")).toString(),
            state.value(QStringLiteral("log")).toString()};
}
