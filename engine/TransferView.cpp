#include "engine/TransferView.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

#include "common/Ansi.h"
#include "engine/Unit1.h"

namespace TransferView {

void BoundMemos(TForm1* form) {
    for (QPlainTextEdit* memo : {form->MemoRec, form->MemoFile, form->MemoTrm}) {
        if (memo->maximumBlockCount() != kMemoLines) memo->setMaximumBlockCount(kMemoLines);
    }
}

void AppendRaw(QPlainTextEdit* memo, const QByteArray& bytes) {
    if (bytes.isEmpty()) return;
    QByteArray shown = bytes;
    shown.replace("\r\n", "\n");
    QTextCursor cursor(memo->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(Ansi::ToQString(shown));
    memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->maximum());
}

void AppendLines(QPlainTextEdit* memo, const QList<QByteArray>& lines, int from, int to) {
    if (from > to) return;
    // Only the tail that the memo keeps is worth building.
    const int first = std::max(from, to - kMemoLines + 1);
    QByteArray text;
    for (int k = first; k <= to; ++k) {
        text += lines[k];
        if (k < to) text += '\n';
    }
    memo->appendPlainText(Ansi::ToQString(text));
}

}  // namespace TransferView
