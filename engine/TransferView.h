#pragma once
// Showing transfers in the main window's memos without re-setting their whole text: a
// program of 100,000 lines is appended in one insertion, and the memos keep a bounded
// number of lines (what is sent or saved is never bounded, only what is shown).
#include <QByteArray>
#include <QList>

class QPlainTextEdit;
class TForm1;

namespace TransferView {

inline constexpr int kMemoLines = 50'000;

// Bounds the three transfer memos (once; cheap to call at every event).
void BoundMemos(TForm1* form);

// Appends bytes as they came, with no line break added (CR LF shown as one line break).
void AppendRaw(QPlainTextEdit* memo, const QByteArray& bytes);

// Appends lines[from..to] (inclusive) as lines, in one insertion.
void AppendLines(QPlainTextEdit* memo, const QList<QByteArray>& lines, int from, int to);

}  // namespace TransferView
