// The memos run for days: whatever the line carries, they keep a bounded tail of it, in
// lines short enough to lay out quickly.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QTextBlock>

#include "mainwindow/MemoFeed.h"

namespace {

int LongestBlock(const QTextDocument* doc) {
    int longest = 0;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        longest = std::max(longest, b.length());
    return longest;
}

}  // namespace

TEST(MemoFeed, NoiseWithoutLineEndsKeepsABoundedTailOfTheLatestBytes) {
    QPlainTextEdit memo;
    TMemoFeed feed(&memo, 10000);
    QRandomGenerator random(7);
    QByteArray chunk(1 << 20, '\0');
    QString shown;
    for (int round = 0; round < 30; ++round) {
        // Printable bytes without a line end, a megabyte at a time.
        for (char& c : chunk) c = char('!' + random.bounded(90));
        feed.Raw(chunk);
        feed.Flush();
        shown = memo.toPlainText();
        ASSERT_LE(memo.document()->characterCount(), 1024 * 1024 + 1) << "round " << round;
    }
    EXPECT_LE(LongestBlock(memo.document()), 2049);
    // Folded for the display, the text is still the latest bytes as they came.
    shown.remove(QLatin1Char('\n'));
    EXPECT_TRUE(shown.endsWith(QString::fromLatin1(chunk.right(60000))));

    // One line longer than an append may show: its end is what shows.
    QByteArray longLine(3 << 20, 'x');
    longLine.append("END");
    feed.Line(longLine);
    feed.Flush();
    EXPECT_LE(memo.document()->characterCount(), 1024 * 1024 + 1);
    EXPECT_TRUE(memo.document()->lastBlock().text().endsWith(QStringLiteral("xxxEND")));
    EXPECT_LE(LongestBlock(memo.document()), 2049);
}

// A paced line comes a byte or a few at a time: every line end shows, also one that comes
// alone or first in a read, and only CR LF counts as one.
TEST(MemoFeed, RawBytesShowWhole) {
    QPlainTextEdit memo;
    TMemoFeed feed(&memo, 10000);
    const QByteArray stream = "%\nO1234\nN10 G0 X0\nM30\n%Prg\r\nO2507\r\nM30\r\n";
    for (const qsizetype size : {1, 2, 3, 5}) {
        feed.Clear();
        for (qsizetype at = 0; at < stream.size(); at += size) feed.Raw(stream.mid(at, size));
        feed.Flush();
        EXPECT_EQ(memo.toPlainText().toStdString(), "%\nO1234\nN10 G0 X0\nM30\n%Prg\nO2507\nM30\n")
            << "reads of " << size;
    }
}
