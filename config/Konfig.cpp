#include "config/Konfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "config/ConfigFile.h"

QString ConfigFileName = QStringLiteral("Config.ini");

TKonfiguration::TKonfiguration(QWidget* parent, TConfigListing listing)
    : parent_(parent), listing_(std::move(listing)) {
    OpenDialog.title = "Config File";
    OpenDialog.filter = QStringLiteral("Config File (*.ini)");
    OpenDialog.defaultSuffix = QStringLiteral("ini");
}

bool TKonfiguration::ReadConfigFile() {
    if (!QFileInfo(ConfigFileName).isFile()) {
        Modal::Message(parent_, "Couldn't find " + Ansi::FromQString(ConfigFileName) + ". in Dir " +
                                    Ansi::FromQString(QDir::currentPath()) + "  ");
        Modal::Info(parent_, "Neuer File eingeben");
        for (;;) {
            const QString chosen = Modal::Current().FileName(parent_, OpenDialog);
            if (!chosen.isEmpty()) {
                ConfigFileName = ConfigFile::FullPath(chosen);
                break;
            }
            // Without a file every transfer setting stays empty; let the user decide.
            Modal::Box question;
            question.kind = Modal::BoxKind::Question;
            question.withCancel = true;
            question.text = Ansi::Lit(
                "Ohne Konfigurationsdatei bleiben alle Werte leer: Programme können weder "
                "gesendet noch gespeichert werden.\rDie Datei kann später unter "
                "Einstellungen / Server Einstellung geladen werden.\rJetzt eine Datei "
                "wählen?");
            if (Modal::Current().ShowBox(parent_, question) != Modal::Answer::Yes) return false;
        }
    }

    QFile file(ConfigFileName);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(Ansi::Lit("Öffnen"), ConfigFileName, Ansi::FromQString(file.errorString()));
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw FileError("Lesen", ConfigFileName, Ansi::FromQString(file.errorString()));
    file.close();
    const ConfigFile::TEncoding encoding = ConfigFile::DetectEncoding(content);
    const int read = ListAndStore(ConfigFile::Decode(content, encoding));
    for (const QByteArray& note :
         {ConfigFile::EncodingNote(encoding), ConfigFile::TrailingBlanksNote(ConfigValues, read)}) {
        if (!note.isEmpty()) Append(note);
    }
    return true;
}

int TKonfiguration::ListAndStore(const QByteArray& content) {
    const QList<QByteArray> lines = ConfigLines::SplitLines(content);
    const int total = static_cast<int>(lines.size());
    const int k = std::max(1, std::min(total, StartupMaxLines));

    if (listing_.Replace) listing_.Replace("Config.Ini Werte");
    for (int j = 2; j <= k; ++j) {
        Append(QByteArray::number(j));
        Append(lines[j - 1]);
    }
    if (total > StartupMaxLines)
        Append("Config.Ini hat " + QByteArray::number(total) + " Zeilen; nur die Zeilen 1 bis " +
               QByteArray::number(StartupMaxLines) + " werden gelesen");

    ConfigValues[1].clear();
    for (int j = 2; j <= k; ++j) ConfigValues[j] = ConfigLines::LineValue(lines[j - 1]);
    return k;
}

void TKonfiguration::Append(const QByteArray& line) {
    if (listing_.Append) listing_.Append(line);
}
