#include "engine/SendTable.h"

TSendTable TSendTable::FromContent(QByteArray content) {
    TSendTable table;
    table.content_ = std::move(content);
    table.spans_ = TextFile::LineSpans(table.content_);
    for (const TextFile::Span& s : table.spans_) table.total_ += s.Length;
    return table;
}

QByteArray TSendTable::Line(int k) const {
    if (k < 1 || k > Count()) return {};
    const TextFile::Span& s = spans_[k - 1];
    return content_.mid(s.Begin, s.Length);
}

qsizetype TSendTable::LineLength(int k) const {
    return k < 1 || k > Count() ? 0 : spans_[k - 1].Length;
}

QByteArray TSendTable::LineView(int k) const {
    if (k < 1 || k > Count()) return {};
    const TextFile::Span& s = spans_[k - 1];
    return QByteArray::fromRawData(content_.constData() + s.Begin, s.Length);
}
