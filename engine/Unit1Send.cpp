// Sending a called program: loading it into the send table, writing it line by line after
// the dwell, and the test button that plays a call from a file on the PC.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFont>
#include <QThread>

#include "common/Ansi.h"
#include "common/HandlerGuard.h"
#include "config/ConfigValues.h"
#include "engine/TextFile.h"
#include "engine/TransferRules.h"
#include "engine/TransferView.h"
#include "engine/Unit1.h"
#include "serial/Serial.h"

namespace {

QByteArray Num(qint64 n) { return QByteArray::number(n); }

bool IsFile(const QByteArray& name) { return QFileInfo(Ansi::ToQString(name)).isFile(); }

}  // namespace

// The called or test file is missing. Cancel lets the user pick a file in OpenDialogCnc,
// which then names the log file that "Check / LogFile" shows.
static void ReportMissingFile(TForm1* form) {
    const Modal::Answer answer =
        Modal::Error(form, "Datei nicht vorhanden / Neuer File eingeben", {}, true);
    if (answer != Modal::Answer::Cancel) return;
    const QString chosen = Modal::Current().FileName(form, form->OpenDialogCnc);
    if (!chosen.isEmpty()) {
        form->OpenDialogCnc.defaultSuffix = "log";
        form->LogFileName = Ansi::FromQString(chosen);
    }
    form->OpenDialogCnc.filter =
        DialogFilter("Log Programme(*.log)|*.log|Alle Programme (*.*)|*.*");
}

bool TForm1::SendPrgLoad() {
    TransferView::BoundMemos(this);
    // 1.
    if (!IsFile(SendFileName)) {
        ReportMissingFile(this);
        return false;
    }
    // 2-3. Read whole, so a read error leaves the table as it was.
    const QList<QByteArray> lines = TextFile::ReadLines(Ansi::ToQString(SendFileName));
    SendCount = 0;
    SendLines.resize(1);
    SendLines.append(lines);
    SendIndex = static_cast<int>(lines.size()) + 1;
    const int n = SendIndex - 1;
    if (n > 0) {
        MemoTrm->clear();
        MemoFile->clear();
        MemoFile->setVisible(true);
        SetTextColor(MemoFile, QColor(255, 0, 0));
        TransferView::AppendLines(MemoFile, SendLines, 1, n);
    }
    // 4-5.
    SetStatusText("Datei  " + SendFileName + " eingelesen");
    SendCount = SendIndex;
    MemoFile->setVisible(true);
    SetTextColor(MemoFile, QColor(0, 0, 255));
    // 6-8.
    TransferView::AppendLines(MemoFile, SendLines, 1, n);
    SetStatusText("Datei wird gesendet mit " + CfgComPort());
    QCoreApplication::processEvents();
    TransferView::AppendLines(MemoTrm, SendLines, 1, n);
    // 9-10. Counted at loading, before the writes.
    qint64 count = 0;
    for (int k = 1; k <= n; ++k) count += SendLines[k].size();
    SessionTotal += static_cast<int>(count);
    SetStatusText(Num(count) + " Zeichen gesendet, Zeichen Sitzung gesamt " + Num(SessionTotal));
    return true;
}

void TForm1::AutoSendSerial() {
    QCoreApplication::processEvents();
    const int last = std::min<int>(SendCount - 1, static_cast<int>(SendLines.size()) - 1);
    if (last <= 0) return;
    // The window does not repaint during the loop, so the "Durchlauf" lines are appended in
    // batches: the same text, without a layout pass per line of a long program.
    QList<QByteArray> done{QByteArray()};
    const auto flush = [&] {
        TransferView::AppendLines(MemoFile, done, 1, static_cast<int>(done.size()) - 1);
        done.resize(1);
    };
    struct FlushAtExit {
        const decltype(flush)& f;
        ~FlushAtExit() { f(); }
    } atExit{flush};
    for (int k = 1; k <= last; ++k) {
        VerweilZeit();
        Serial1->WriteString(SendLines[k]);
        done.append("Durchlauf  " + Num(k));
        Serial1->WriteString("\r\n");
        if (done.size() > 1000) flush();
    }
}

void TForm1::VerweilZeit() {
    const int d = ToInt(CfgTimer(), "Verweilzeit ( MSec )");
    if (d <= 0) return;
    // Sleeps instead of polling the clock: same pause for the machine, no CPU burnt.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() <= d)
        QThread::msleep(static_cast<unsigned long>(d + 1 - clock.elapsed()));
}

bool TForm1::TestCallLoad() {
    const QByteArray name = CfgPrgAK() + "." + CfgExt();
    if (!IsFile(name)) {
        ReportMissingFile(this);
        return false;
    }
    const QList<QByteArray> lines = TextFile::ReadLines(Ansi::ToQString(name));
    MemoFile->clear();
    AppendLine(MemoFile, "Datei von CNC empfangen");
    TransferView::AppendLines(MemoFile, QList<QByteArray>{QByteArray()} + lines, 1,
                              static_cast<int>(lines.size()));
    for (const QByteArray& line : lines) {
        QByteArray number;
        // The last line that holds the call identifier decides.
        if (TransferRules::CallNumber(line, CfgAK(), &number)) SendFileName = number;
    }
    QFont font = MemoRec->font();
    font.setPointSize(8);
    MemoRec->setFont(font);
    AppendLine(MemoRec, "Programm NR." + SendFileName + ".CNC zur CNC gesendet");
    return true;
}

void TForm1::TestCallShow() {
    MemoFile->setVisible(true);
    AppendLine(MemoFile, "");
    AppendLine(MemoFile, "");
}

void TForm1::ButtonTestClick() {
    if (!TestCallLoad()) return;
    TestCallShow();
    SendFileName = SendFileName + "." + CfgExt();
    AppendLine(MemoFile, "zu sendendes Programm   " + SendFileName);
    SetStatusText(" Programm    " + SendFileName + " zum Senden Bereit");
    MemoInfo->setVisible(true);
    AppendLine(MemoInfo, "zu sendendes Programm   " + SendFileName);
    // A missing program ends the test: the table still holds an earlier program, which must
    // not go out under this number.
    if (RBAuto->isChecked() && !SendPrgLoad()) return;
    // In manual mode this writes whatever the table holds, for instance a program loaded by hand.
    AutoSendSerial();
}
