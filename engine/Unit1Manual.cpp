// Manual operation at the PC: loading and sending a program by hand, typing onto the line,
// aborting what the port holds, the mode, Clear/Edit, and the "Check" menu's viewer commands.
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QStatusBar>
#include <QTextCursor>

#include "common/Ansi.h"
#include "common/HandlerGuard.h"
#include "config/ConfigValues.h"
#include "engine/TextFile.h"
#include "engine/Unit1.h"
#include "serial/Serial.h"
#include "viewer/Unit4.h"

namespace {

const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);
const QByteArray kCrLf("\r\n");

// File names are kept as the system's byte strings; the file system takes QStrings.
QString PathOf(const QByteArray& name) { return Ansi::ToQString(name); }

// The file's text as a memo shows it: line ends become the memo's own, and the last line's
// end makes no empty line of its own, so lines appended later follow directly.
QString MemoText(QByteArray content) {
    content.replace("\r\n", "\n");
    if (content.endsWith('\n')) content.chop(1);
    return Ansi::ToQString(content);
}

// Lines first..last joined for one insertion: a memo takes 100,000 lines at once quickly,
// one by one it would not.
QString JoinLines(const QList<QByteArray>& lines, int first, int last) {
    QByteArray joined;
    for (int i = first; i <= last; ++i) {
        if (i > first) joined.append('\n');
        joined.append(lines[i]);
    }
    return Ansi::ToQString(joined);
}

// A receive event is answering a call or saving a program and waits in processEvents or a
// message box: a manual load, send or key press now would put another program's bytes on
// the line or swap the program being sent. It is refused with a visible note instead.
bool RefusedDuringTransfer(TForm1& window) {
    if (!window.SerialHandlerRunning()) return false;
    const QByteArray note = Ansi::Lit("Eine Übertragung läuft, bitte warten bis sie beendet ist.");
    window.SetStatusText(note);
    TForm1::AppendLine(window.MemoFile, note);
    return true;
}

void AppendBlock(QPlainTextEdit* memo, const QString& text) {
    if (memo->document()->isEmpty()) {
        memo->setPlainText(text);
    } else {
        memo->appendPlainText(text);
    }
}

}  // namespace

// ---- loading a program ---------------------------------------------------------------------

void TForm1::CNCLoadClick() { PrgLoad(); }

void TForm1::PrgLoad() {
    if (RefusedDuringTransfer(*this)) return;
    OpenDialogCnc.directory = PathOf(CfgSend());
    if (RBManu->isChecked()) {
        LoadFileName = "3333.cnc";  // looked up in the current directory
    } else {
        const QString chosen = Modal::Current().FileName(this, OpenDialogCnc);
        if (!chosen.isEmpty()) {
            LoadFileName = Ansi::FromQString(QFileInfo(chosen).absoluteFilePath());
            OpenDialogCnc.fileName = QFileInfo(chosen).fileName();
        }
        // Cancelled before any file was ever chosen: there is nothing to load again.
        if (LoadFileName.isEmpty()) return;
    }

    bool opened = false;
    QByteArray content;
    try {
        content = TextFile::ReadAll(PathOf(LoadFileName), &opened);
    } catch (...) {
        // A file that opened but could not be read leaves nothing to send by hand; one that
        // did not open leaves the earlier program loaded.
        if (opened) SendCount = 0;
        throw;
    }
    const QList<QByteArray> lines = TextFile::SplitLines(content);

    SendLines.clear();
    SendLines.reserve(lines.size() + 1);
    SendLines.append(QByteArray());  // index 0 is never used
    SendLines.append(lines);
    SendIndex = static_cast<int>(SendLines.size());

    if (!lines.isEmpty()) {
        MemoFile->clear();
        MemoTrm->clear();
        SetTextColor(MemoFile, kRed);
        MemoFile->setVisible(true);
        MemoFile->setPlainText(MemoText(content));
    }
    SetStatusText("Datei  " + LoadFileName + " eingelesen");
    MemoFile->setVisible(true);
    SendCount = SendIndex;
}

// ---- sending it ---------------------------------------------------------------------------

void TForm1::ButtonSendBlockClick() { NCBlockSend(); }

void TForm1::NCBlockSend() {
    if (RefusedDuringTransfer(*this)) return;
    // Never past the table, whoever filled it last.
    const int last = qMin(SendCount, static_cast<int>(SendLines.size())) - 1;

    MemoFile->setVisible(true);
    SetTextColor(MemoFile, kBlue);
    if (last >= 1) AppendBlock(MemoFile, JoinLines(SendLines, 1, last));
    SetStatusText("Datei wird gesendet mit / ");
    // Paint the memo and the status text before the line keeps the window busy. Only a
    // repaint, not the event queue: a receive event or a second click waits until this
    // send has ended, so no other program's lines come between this program's lines and
    // this send never runs inside itself.
    MemoFile->repaint();
    statusBar()->repaint();

    int sent = 0;  // lines handed to the port whole
    for (int i = 1; i <= last; ++i) {
        const int written = Serial1->WriteString(SendLines[i]);
        TxCount += written;
        // A line the port did not take whole (closed, or the machine holds the handshake
        // past the time-out) ends the send: the rest would reach the machine with a gap.
        if (written < SendLines[i].size()) break;
        if (Serial1->WriteString(kCrLf) < kCrLf.size()) break;
        ++sent;
    }
    // The memo is not painted during the loop anyway; one insertion keeps it fast.
    if (sent >= 1) AppendBlock(MemoTrm, JoinLines(SendLines, 1, sent));
    MemoTrm->moveCursor(QTextCursor::End);  // what is typed next follows what was sent
    SetStatusText(QByteArray::number(TxCount) + " Zeichen gesendet");
    if (sent < last) {
        const QByteArray text = Ansi::Lit("Senden abgebrochen: Zeile ") +
                                QByteArray::number(sent + 1) + " von " + QByteArray::number(last) +
                                Ansi::Lit(" wurde von der Schnittstelle nicht angenommen. ") +
                                QByteArray::number(sent) +
                                Ansi::Lit(" Zeilen wurden vollständig gesendet.");
        SetStatusText(text);
        Modal::Error(this, text);
    }
}

// ---- typing onto the line -----------------------------------------------------------------

void TForm1::MemoTrmKeyPress(char& key) {
    if (RefusedDuringTransfer(*this)) {
        key = 0;  // not sent, so not shown either
        return;
    }
    const int written = Serial1->WriteString(key == '\r' ? kCrLf : QByteArray(1, key));
    TxCount += written;
    SetStatusText(QByteArray::number(TxCount) + " Zeichen gesendet");
    // The key is not consumed: MemoTrm shows what was typed.
}

// ---- aborting what the port holds ---------------------------------------------------------

void TForm1::ButtonTxClearClick() {
    if (Serial1->PurgeBuffers(true, false, true, false)) {
        SetStatusText(Ansi::Lit("Übertragung abgebrochen, Sendepuffer gelöscht."));
    } else {
        SetStatusText(Ansi::Lit("Fehler beim löschen des Sendepuffers!"));
    }
}

void TForm1::ButtonRxClearClick() {
    if (Serial1->PurgeBuffers(false, true, false, true)) {
        SetStatusText(Ansi::Lit("Übertragung abgebrochen, Empfangspuffer gelöscht."));
    } else {
        SetStatusText(Ansi::Lit("Fehler beim löschen des Empfangspuffers!"));
    }
}

// ---- mode, Clear/Edit, hiding MemoFile ----------------------------------------------------

void TForm1::RBManuClick() {
    RBManu->setChecked(true);
    RBAuto->setChecked(false);
}

void TForm1::RBAutoClick() {
    RBManu->setChecked(false);
    RBAuto->setChecked(true);
}

void TForm1::Button3Click() { SetNull(); }

void TForm1::SetNull() {
    MemoFile->clear();
    MemoRec->clear();
    MemoTrm->clear();
    RxCount = 0;
    TxCount = 0;
    RxEvents = 0;
    BaudLoaded = 0;
    SignalToggle = false;
    RxBuffer = " ";
    RxPrg = " ";
    // The loaded program stays: it can be sent again after Clear/Edit.
    SetStatusText(" Parameter der Schnittstelle   " + CfgComPort());
}

void TForm1::MemoFileHide() { MemoFile->setVisible(false); }

// ---- the "Check" menu ---------------------------------------------------------------------

namespace {

// The viewer, linked to this window's log dialog and CNCFile name.
TForm4& Viewer(TForm1& window) {
    if (!Form4) {
        Form4 = new TForm4();
        Form4->setAttribute(Qt::WA_QuitOnClose, false);
    }
    Form4->Attach(&window.OpenDialogLogBox, &window.ViewFileName);
    return *Form4;
}

}  // namespace

void TForm1::LogFile1Click() {
    TForm4& viewer = Viewer(*this);
    viewer.ShowViewer();
    viewer.SetStatusText(" Datei  " + LogFileName + "  geladen. ");
    // Read whole and closed at once: the next log entry is never blocked by the viewer.
    viewer.ReplaceWithFile(PathOf(LogFileName), kLogSeparator);
}

namespace {

// CNCFile and CNC Load in Editor: pick a file and show it; CNCFile also keeps its name.
void PickAndShow(TForm1& window, TForm4& viewer, QByteArray* viewFileName) {
    viewer.ShowViewer();
    viewer.EmptyView();
    const QString chosen = PickFile(&viewer, window.OpenDialogLogBox);
    if (chosen.isEmpty()) return;  // cancelled: the viewer stays open and empty
    const QList<QByteArray> lines = TextFile::ReadLines(chosen);
    const QByteArray name = Ansi::FromQString(chosen);
    if (viewFileName) *viewFileName = name;
    viewer.SetStatusText(" Datei  " + name + "  geladen. ");
    viewer.AppendLines(lines, kFileSeparator);
}

}  // namespace

void TForm1::CNCFile1Click() { PickAndShow(*this, Viewer(*this), &ViewFileName); }

void TForm1::CNCLoadinEditor1Click() { PickAndShow(*this, Viewer(*this), nullptr); }
