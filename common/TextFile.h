#pragma once
// Reading a program or log file into lines: a line ends at LF or CR LF (the line end is not
// kept), and a Ctrl-Z (byte 26) ends the text when it starts a line, or ends its line when
// it comes inside one (the rest of that line is skipped).
#include <QByteArray>
#include <QList>
#include <QString>

namespace TextFile {

constexpr char kCtrlZ = 26;

// Where one line lies in the content: begin and length, line end excluded.
struct Span {
    qsizetype Begin = 0;
    qsizetype Length = 0;
};

// The lines of the content as spans, by the rules above.
QList<Span> LineSpans(const QByteArray& content);

// Splits the bytes of a text file into its lines as described above.
QList<QByteArray> SplitLines(const QByteArray& content);

// Reads the whole file at path in one go and closes it before returning, so the file is
// never held open afterwards. Throws FileError (path and reason) when it cannot be opened
// or read; *opened (when given) then tells whether the open had succeeded.
QByteArray ReadAll(const QString& path, bool* opened = nullptr);

// ReadAll + SplitLines.
QList<QByteArray> ReadLines(const QString& path);

}  // namespace TextFile
