#include "config/Konfig.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QPalette>
#include <QPlainTextEdit>
#include <algorithm>

#include "common/Ansi.h"
#include "common/HandlerGuard.h"
#include "config/ConfigFile.h"

QString ConfigFileName = QStringLiteral("Config.ini");

namespace {

void AppendLine(QPlainTextEdit* memo, const QByteArray& line) {
    if (memo) memo->appendPlainText(Ansi::ToQString(line));
}

void ListingFont(QPlainTextEdit* memo) {
    if (!memo) return;
    QFont font(QStringLiteral("arial"));
    font.setPointSize(7);
    memo->setFont(font);
    QPalette palette = memo->palette();
    palette.setColor(QPalette::Text, QColor(0, 0, 255));
    memo->setPalette(palette);
}

}  // namespace

TKonfiguration::TKonfiguration(QWidget* parent, QPlainTextEdit* memoFile)
    : parent_(parent), memoFile_(memoFile) {
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
    ListAndStore(content);
    return true;
}

void TKonfiguration::ListAndStore(const QByteArray& content) {
    const QList<QByteArray> lines = ConfigFile::SplitLines(content);
    const int total = static_cast<int>(lines.size());
    const int k = std::max(1, std::min(total, StartupMaxLines));

    if (memoFile_) memoFile_->setPlainText(QStringLiteral("Config.Ini Werte"));
    for (int j = 2; j <= k; ++j) {
        ListingFont(memoFile_);
        AppendLine(memoFile_, QByteArray::number(j));
        AppendLine(memoFile_, lines[j - 1]);
    }
    if (total > StartupMaxLines)
        AppendLine(memoFile_, "Config.Ini hat " + QByteArray::number(total) +
                                  " Zeilen; nur die Zeilen 1 bis " +
                                  QByteArray::number(StartupMaxLines) + " werden gelesen");

    ConfigValues[1].clear();
    for (int j = 2; j <= k; ++j) ConfigValues[j] = ConfigFile::LineValue(lines[j - 1]);
}
