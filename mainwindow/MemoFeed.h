#pragma once
// Fills a memo without holding the window: what is appended waits in a queue and goes in in
// slices between events, and since the memo keeps only its last lines, only that tail of
// the queue is ever built. A small append into an idle memo goes in at once.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include "engine/SendTable.h"

class QPlainTextEdit;

class TMemoFeed : public QObject {
    Q_OBJECT

  public:
    // The memo keeps at most maxLines lines (older ones scroll out).
    TMemoFeed(QPlainTextEdit* memo, int maxLines);

    // One line (its own line breaks make more lines).
    void Line(const QByteArray& line);
    // Bytes as they came: no line break added, CR LF shown as one line break.
    void Raw(const QByteArray& bytes);
    // Lines first..last of a table, one each.
    void Lines(const TSendTable& table, int first, int last);
    // "Durchlauf  k" for k = first..last.
    void Passes(int first, int last);
    // Empties the memo and drops what waits.
    void Clear();

    // Puts everything that waits into the memo now.
    void Flush();
    bool Idle() const { return queue_.isEmpty(); }

  private:
    enum class Kind { Text, Raw, TableLines, Passes };
    struct Item {
        Kind kind = Kind::Text;
        QString text;  // Text, Raw
        TSendTable table;
        int first = 0, last = 0;  // TableLines, Passes
        qsizetype Lines() const;
    };
    void Enqueue(Item item);
    // Builds and inserts up to budget lines from the front of the queue.
    void Slice(int budget);
    void Trim();

    QPlainTextEdit* memo_;
    const int maxLines_;
    QList<Item> queue_;
    qsizetype queuedLines_ = 0;
    bool needBreak_ = false;  // the last thing put in was a line (not raw text's line break)
    bool rawEndedWithCr_ = false;
    QTimer timer_;
};
