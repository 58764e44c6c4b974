#include "options/KonfigMemo.h"

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QPlainTextEdit>

#include "common/Ansi.h"

TConfigListing MemoListing(QPlainTextEdit* memo) {
    TConfigListing listing;
    if (!memo) return listing;
    listing.Replace = [memo](const QByteArray& line) { memo->setPlainText(Ansi::ToQString(line)); };
    listing.Append = [memo](const QByteArray& line) {
        QFont font(QStringLiteral("arial"));
        font.setPointSize(7);
        memo->setFont(font);
        QPalette palette = memo->palette();
        palette.setColor(QPalette::Text, QColor(0, 0, 255));
        memo->setPalette(palette);
        memo->appendPlainText(Ansi::ToQString(line));
    };
    return listing;
}
