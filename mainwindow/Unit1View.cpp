// The main window as the transfer engine's view: the trace in MemoFile, received text in
// MemoRec, what is sent in MemoTrm, the banner MemoInfo, the status text and the progress of
// a send. The memos are filled through feeds, so that a long program never holds the window.
#include <QFont>
#include <QLabel>
#include <QProgressBar>
#include <QTextCursor>

#include "common/Ansi.h"
#include "mainwindow/MemoFeed.h"
#include "mainwindow/Unit1.h"
#include "options/Unit3.h"

namespace {

const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

// A file loaded by hand is shown as read, unless it is too big to show whole in reasonable
// time: then its lines are shown like any other table.
constexpr qsizetype kShowWholeFile = 1 << 20;

// The file's text as a memo shows it: line ends become the memo's own, and the last line's
// end makes no empty line of its own, so lines appended later follow directly.
QByteArray MemoText(QByteArray content) {
    content.replace("\r\n", "\n");
    if (content.endsWith('\n')) content.chop(1);
    return content;
}

QString Duration(int seconds) {
    if (seconds >= 3600) {
        return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds / 60 % 60);
    }
    if (seconds >= 60) return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    return QStringLiteral("%1 s").arg(seconds);
}

}  // namespace

void TForm1::FlushMemos() {
    for (TMemoFeed* feed : {FeedFile, FeedRec, FeedTrm}) feed->Flush();
}

void TForm1::Trace(const QByteArray& line) { FeedFile->Line(line); }

void TForm1::ClearTrace() { FeedFile->Clear(); }

void TForm1::ShowTrace() { MemoFile->setVisible(true); }

void TForm1::Received(const QByteArray& bytes) { FeedRec->Raw(bytes); }

void TForm1::ReceivedNote(const QByteArray& line) {
    QFont font = MemoRec->font();
    font.setPointSize(8);
    MemoRec->setFont(font);
    FeedRec->Line(line);
}

void TForm1::Banner(const QByteArray& text, TBanner how) {
    MemoInfo->setVisible(true);
    if (how == TBanner::AppendLine) {
        AppendLine(MemoInfo, text);
        // The banner is one line high: the newest line is the one to see.
        MemoInfo->moveCursor(QTextCursor::End);
        MemoInfo->ensureCursorVisible();
        return;
    }
    if (how == TBanner::ReplaceBlue) SetTextColor(MemoInfo, kBlue);
    MemoInfo->setPlainText(Ansi::ToQString(text));
}

void TForm1::ProgramLoaded(const TSendTable& table, TProgramShown how) {
    const int n = table.Count();
    switch (how) {
        case TProgramShown::ForCall:
            // As read (red), then line by line (blue); MemoTrm shows what goes out.
            if (n > 0) {
                FeedTrm->Clear();
                FeedFile->Clear();
                MemoFile->setVisible(true);
                SetTextColor(MemoFile, kRed);
                FeedFile->Lines(table, 1, n);
            }
            MemoFile->setVisible(true);
            SetTextColor(MemoFile, kBlue);
            FeedFile->Lines(table, 1, n);
            FeedTrm->Lines(table, 1, n);
            break;
        case TProgramShown::ByHand:
            FeedFile->Clear();
            FeedTrm->Clear();
            SetTextColor(MemoFile, kRed);
            MemoFile->setVisible(true);
            if (table.Content().size() <= kShowWholeFile) {
                FeedFile->Line(MemoText(table.Content()));
            } else {
                FeedFile->Lines(table, 1, n);
            }
            break;
        case TProgramShown::SendByHand:
            MemoFile->setVisible(true);
            SetTextColor(MemoFile, kBlue);
            FeedFile->Lines(table, 1, n);
            break;
    }
}

void TForm1::LinesSent(const TSendTable& table, int first, int last, TSendKind kind) {
    if (kind == TSendKind::Called) {
        FeedFile->Passes(first, last);
    } else {
        FeedTrm->Lines(table, first, last);
        MemoTrm->moveCursor(QTextCursor::End);  // what is typed next follows what was sent
    }
}

void TForm1::SendProgress(const TSendProgress& p) {
    SendBar->setVisible(p.Running);
    SendTimeLabel->setVisible(p.Running);
    if (!p.Running) return;
    SendBar->setRange(0, std::max(p.Lines, 1));
    SendBar->setValue(p.Line);
    const int percent = p.Lines > 0 ? int(qint64(p.Line) * 100 / p.Lines) : 100;
    SendBar->setFormat(
        QStringLiteral("Zeile %1 von %2 (%3 %)").arg(p.Line).arg(p.Lines).arg(percent));
    SendTimeLabel->setText(p.StallSeconds > 0
                               ? QStringLiteral("wartet auf die Maschine")
                               : QStringLiteral("noch etwa ") + Duration(p.SecondsLeft));
}

void TForm1::LineSignal(TLineSignal signal) {
    if (signal == TLineSignal::Cts) {
        CTS();
    } else {
        DSR();
    }
}

void TForm1::Cleared() {
    for (TMemoFeed* feed : {FeedFile, FeedRec, FeedTrm}) feed->Clear();
    SignalToggle = false;
}

void TForm1::SaveFolderShown(const QByteArray& folder) {
    if (Form3 != nullptr) Form3->TMemSave->setPlainText(Ansi::ToQString(folder));
}
