#include "mainwindow/MemoFeed.h"

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <limits>

#include "common/Ansi.h"

namespace {

// What goes in at once; how often a slice runs between events and how long it may take: a
// fast send's trace takes a small share of the window's thread, and what it cannot show in
// time scrolls out unbuilt.
constexpr int kAtOnceLines = 200;
constexpr int kSliceLines = 500;
constexpr int kSliceEveryMs = 40;
constexpr int kSliceMaxMs = 8;
// Lines can be of any length (noise without a line end), and a text widget lays a long line
// out slowly: one append shows at most its last kItemChars characters, folded into lines of
// kFoldColumn, and the memo keeps at most kMaxChars, so that memory and the time of a slice
// stay bounded whatever the line carries.
constexpr qsizetype kItemChars = 64 * 1024;
constexpr int kFoldColumn = 1024;
constexpr qsizetype kMaxChars = 1024 * 1024;
constexpr qsizetype kSliceChars = 128 * 1024;

QString Fold(QString text) {
    int column = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('\n')) {
            column = 0;
        } else if (++column > kFoldColumn) {
            text.insert(i, QLatin1Char('\n'));
            column = 0;
        }
    }
    return text;
}

QString Shown(QByteArray bytes) { return Fold(Ansi::ToQString(bytes.replace("\r\n", "\n"))); }

// A program line as it stood in the file.
QString ShownLine(const QByteArray& line) {
    return Fold(Ansi::ToQString(line.size() > kItemChars ? line.right(kItemChars) : line));
}

// The last `keep` lines of bytes (all of them when there are fewer): what the memo would
// keep of them anyway, before a copy of the rest is made.
QByteArray Tail(const QByteArray& bytes, int keep) {
    if (bytes.size() > kItemChars) return Tail(bytes.right(kItemChars), keep);
    qsizetype at = bytes.size();
    for (int n = 0; n <= keep; ++n) {
        // A search from -1 would start again at the end.
        if (at <= 0) return bytes;
        at = bytes.lastIndexOf('\n', at - 1);
        if (at < 0) return bytes;
    }
    return bytes.mid(at + 1);
}

}  // namespace

qsizetype TMemoFeed::Item::Lines() const {
    switch (kind) {
        case Kind::Text:
            return 1 + text.count(QLatin1Char('\n'));
        case Kind::Raw:
            return text.count(QLatin1Char('\n'));
        case Kind::TableLines:
        case Kind::Passes:
            return last - first + 1;
    }
    return 0;
}

TMemoFeed::TMemoFeed(QPlainTextEdit* memo, int maxLines)
    : QObject(memo), memo_(memo), maxLines_(maxLines) {
    memo_->setMaximumBlockCount(maxLines);
    // A memo that runs for days must not keep every change to undo it.
    memo_->setUndoRedoEnabled(false);
    timer_.setSingleShot(true);
    timer_.setInterval(kSliceEveryMs);
    connect(&timer_, &QTimer::timeout, this, [this] {
        Slice(kSliceLines);
        if (!queue_.isEmpty()) timer_.start();
    });
}

void TMemoFeed::Line(const QByteArray& line) {
    Item item;
    item.text = Shown(Tail(line, maxLines_));
    Enqueue(std::move(item));
}

void TMemoFeed::Raw(const QByteArray& bytes) {
    if (bytes.isEmpty()) return;
    // A CR LF that two reads split is one line break too: its CR showed as one already.
    const bool lfOfCrLf = rawEndedWithCr_ && bytes.startsWith('\n');
    rawEndedWithCr_ = bytes.endsWith('\r');
    if (lfOfCrLf && bytes.size() == 1) return;
    Item item;
    item.kind = Kind::Raw;
    item.text = Shown(Tail(lfOfCrLf ? bytes.mid(1) : bytes, maxLines_));
    Enqueue(std::move(item));
}

void TMemoFeed::Lines(const TSendTable& table, int first, int last) {
    if (first > last) return;
    Item item;
    item.kind = Kind::TableLines;
    item.table = table;  // shares the table's bytes
    item.first = first;
    item.last = last;
    Enqueue(std::move(item));
}

void TMemoFeed::Passes(int first, int last) {
    if (first > last) return;
    Item item;
    item.kind = Kind::Passes;
    item.first = first;
    item.last = last;
    Enqueue(std::move(item));
}

void TMemoFeed::Clear() {
    queue_.clear();
    queuedLines_ = 0;
    timer_.stop();
    memo_->clear();
    needBreak_ = false;
    rawEndedWithCr_ = false;
}

void TMemoFeed::Flush() {
    while (!queue_.isEmpty()) Slice(std::numeric_limits<int>::max());
    timer_.stop();
}

void TMemoFeed::Enqueue(Item item) {
    const qsizetype lines = item.Lines();
    queue_.append(std::move(item));
    queuedLines_ += lines;
    if (queue_.size() == 1 && lines <= kAtOnceLines) {
        Slice(kAtOnceLines);
        return;
    }
    Trim();
    if (!timer_.isActive()) timer_.start();
}

void TMemoFeed::Trim() {
    // What waits beyond the memo's last lines would scroll out at once: never build it.
    while (queue_.size() > 1 && queuedLines_ - queue_.first().Lines() >= maxLines_) {
        queuedLines_ -= queue_.first().Lines();
        queue_.removeFirst();
    }
    Item& front = queue_.first();
    const qsizetype excess = queuedLines_ - maxLines_;
    if (excess > 0 && (front.kind == Kind::TableLines || front.kind == Kind::Passes)) {
        front.first += static_cast<int>(excess);
        queuedLines_ -= excess;
    }
}

void TMemoFeed::Slice(int budget) {
    QElapsedTimer clock;
    clock.start();
    QString text;
    // A line starts a block of its own unless raw text just ended with a line break.
    const QTextDocument* doc = memo_->document();
    bool newBlock = !doc->isEmpty() && (needBreak_ || !doc->lastBlock().text().isEmpty());
    const auto addLine = [&](const QString& line) {
        if (newBlock) text += QLatin1Char('\n');
        text += line;
        newBlock = true;
    };
    while (!queue_.isEmpty() && budget > 0) {
        Item& item = queue_.first();
        if (item.kind == Kind::Text || item.kind == Kind::Raw) {
            if (item.kind == Kind::Text) {
                addLine(item.text);
            } else {
                text += item.text;
                newBlock = !item.text.endsWith(QLatin1Char('\n'));
            }
            budget -= static_cast<int>(std::max<qsizetype>(1, item.Lines()));
            queuedLines_ -= item.Lines();
            queue_.removeFirst();
            if (text.size() >= kSliceChars || clock.elapsed() >= kSliceMaxMs) break;
            continue;
        }
        const int take = std::min({budget, item.last - item.first + 1, 100});
        for (int k = item.first; k < item.first + take; ++k) {
            addLine(item.kind == Kind::Passes ? QStringLiteral("Durchlauf  ") + QString::number(k)
                                              : ShownLine(item.table.LineView(k)));
        }
        item.first += take;
        budget -= take;
        queuedLines_ -= take;
        if (item.first > item.last) queue_.removeFirst();
        if (text.size() >= kSliceChars || clock.elapsed() >= kSliceMaxMs) break;
    }
    needBreak_ = newBlock;
    if (text.isEmpty()) return;
    QTextCursor cursor(memo_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    const qsizetype excess = memo_->document()->characterCount() - kMaxChars;
    if (excess > 0) {
        cursor.setPosition(0);
        cursor.setPosition(static_cast<int>(excess), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    memo_->verticalScrollBar()->setValue(memo_->verticalScrollBar()->maximum());
}
