// Manual operation at the PC: the window's side of loading and sending by hand, typing onto
// the line, aborting, the mode, Clear/Edit, the test call and the "Check" menu's viewer
// commands. The steps themselves are the engine's.
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QRadioButton>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/TextFile.h"
#include "config/ConfigValues.h"
#include "mainwindow/Unit1.h"
#include "viewer/Unit4.h"

namespace {

// File names are kept as the system's byte strings; the file system takes QStrings.
QString PathOf(const QByteArray& name) { return Ansi::ToQString(name); }

}  // namespace

// ---- loading and sending a program; the test call ------------------------------------------

void TForm1::CNCLoadClick() { PrgLoad(); }

void TForm1::PrgLoad() {
    if (Engine->RefusedWhileBusy()) return;
    Modal::FileDialog& dialog = Engine->OpenDialogCnc;
    dialog.directory = PathOf(CfgSend());
    QByteArray name = Engine->LoadFileName;  // a cancelled dialog loads it again
    if (RBManu->isChecked()) {
        name = "3333.cnc";  // looked up in the current directory
    } else {
        const QString chosen = Modal::Current().FileName(this, dialog);
        if (!chosen.isEmpty()) {
            name = Ansi::FromQString(QFileInfo(chosen).absoluteFilePath());
            dialog.fileName = QFileInfo(chosen).fileName();
        }
        // Cancelled before any file was ever chosen: there is nothing to load again.
        if (name.isEmpty()) return;
    }
    Engine->PrgLoad(name);
}

void TForm1::ButtonSendBlockClick() { Engine->NCBlockSend(); }

void TForm1::ButtonTestClick() { Engine->ButtonTestClick(RBAuto->isChecked()); }

void TForm1::MemoTrmKeyPress(char& key) {
    // Refused while a transfer runs: not sent, so not shown either.
    if (!Engine->MemoTrmKeyPress(key)) key = 0;
    // The key is not consumed otherwise: MemoTrm shows what was typed.
}

void TForm1::ButtonTxClearClick() { Engine->ButtonTxClearClick(); }

void TForm1::ButtonRxClearClick() { Engine->ButtonRxClearClick(); }

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

void TForm1::SetNull() { Engine->SetNull(); }

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
    viewer.SetStatusText(" Datei  " + Engine->LogFileName + "  geladen. ");
    // Read whole and closed at once: the next log entry is never blocked by the viewer.
    viewer.ReplaceWithFile(PathOf(Engine->LogFileName), kLogSeparator);
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
