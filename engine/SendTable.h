#pragma once
// The lines of a program loaded for sending: line k at 1..Count(); index 0 holds nothing.
// The file stays one block of bytes with the place of each line beside it, so a program of a
// million lines costs its size and a few bytes a line, not an object a line.
#include <QByteArray>
#include <QList>

#include "common/TextFile.h"

class TSendTable {
  public:
    TSendTable() = default;

    // The lines of a text file's bytes (line ends and Ctrl-Z as TextFile reads them).
    static TSendTable FromContent(QByteArray content);

    int Count() const { return static_cast<int>(spans_.size()); }
    // Line k without its line end; empty outside 1..Count().
    QByteArray Line(int k) const;
    // The same without a copy: valid only while this table lives and is not assigned to.
    QByteArray LineView(int k) const;
    qsizetype LineLength(int k) const;
    // The sum of the lengths of lines 1..Count().
    qint64 TotalLength() const { return total_; }
    // The file as it was read, line ends and all.
    const QByteArray& Content() const { return content_; }

  private:
    QByteArray content_;
    QList<TextFile::Span> spans_;
    qint64 total_ = 0;
};
