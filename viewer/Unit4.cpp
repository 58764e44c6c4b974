#include "viewer/Unit4.h"

#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <algorithm>

#include "common/Ansi.h"
#include "common/HandlerGuard.h"
#include "common/TextFile.h"
#include "ui_Unit4.h"
#include "widgets/Placement.h"

TForm4* Form4 = nullptr;

QByteArray NumberLines(const QList<QByteArray>& lines, const QByteArray& separator) {
    QByteArray text;
    qsizetype size = 0;
    for (const QByteArray& line : lines) size += line.size() + separator.size() + 8;
    text.reserve(size);
    int number = 0;
    for (const QByteArray& line : lines) {
        if (number > 0) text.append('\n');
        text.append(QByteArray::number(++number)).append(separator).append(line);
    }
    return text;
}

QString PickFile(QWidget* parent, Modal::FileDialog& dialog) {
    const QString chosen = Modal::Current().FileName(parent, dialog);
    if (chosen.isEmpty()) return {};
    const QFileInfo info(chosen);
    dialog.directory = info.absolutePath();
    dialog.fileName = info.fileName();
    return info.absoluteFilePath();
}

Modal::FileDialog DefaultLogBox() {
    Modal::FileDialog d;
    d.defaultSuffix = QStringLiteral("Log");
    // Linux names are case-sensitive; a shop's files come in either case.
    d.filter = QStringLiteral("CNC (*.CNC *.Cnc *.cnc);;LOG (*.Log *.LOG *.log);;Alle (*)");
    return d;
}

TForm4::TForm4(QWidget* parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::TForm4>()), ownLogBox(DefaultLogBox()) {
    ui->setupUi(this);
    Edit1 = ui->Edit1;
    StatusBar1 = ui->StatusBar1;
    LogDataDefault1 = ui->LogDataDefault1;
    CheckCNCFile1 = ui->CheckCNCFile1;
    Clear1 = ui->Clear1;
    SaveFile1 = ui->SaveFile1;
    Close1 = ui->Close1;
    LogBox = &ownLogBox;

    // A permanent label: QStatusBar's own message is wiped by menu hovers.
    statusText = new QLabel(StatusBar1);
    statusText->setObjectName(QStringLiteral("StatusText"));
    StatusBar1->addWidget(statusText, 1);

    // Layout as designed where the screen holds it; on a smaller screen the window and its
    // text field are shorter (the field scrolls anyway), so the status line stays in view.
    const int cut = 788 - FitToScreen(this, QSize(443, 788), TOverflow::Shrink).height();
    if (cut > 0) Edit1->resize(Edit1->width(), std::max(100, Edit1->height() - cut));
    PlaceOnScreen(this, QPoint(1133, 427));

    // "LogData/Default" has no handler: the item does nothing.
    Bind(CheckCNCFile1, "CheckCNCFile1Click", &TForm4::CheckCNCFile1Click);
    Bind(Clear1, "Clear1Click", &TForm4::Clear1Click);
    Bind(SaveFile1, "SaveFile1Click", &TForm4::SaveFile1Click);
    Bind(Close1, "Close1Click", &TForm4::Close1Click);
}

TForm4::~TForm4() {
    if (Form4 == this) Form4 = nullptr;
}

void TForm4::Bind(QAction* action, const char* name, void (TForm4::*handler)(QObject*)) {
    connect(action, &QAction::triggered, this, [this, action, name, handler] {
        Guarded(this, name, [&] { (this->*handler)(action); });
    });
}

void TForm4::Attach(Modal::FileDialog* logBox, const QByteArray* name) {
    LogBox = logBox ? logBox : &ownLogBox;
    viewFileName = name;
}

void TForm4::ShowViewer() {
    show();
    raise();
    activateWindow();
}

QByteArray TForm4::StatusText() const { return Ansi::FromQString(statusText->text()); }

void TForm4::SetStatusText(const QByteArray& text) { statusText->setText(Ansi::ToQString(text)); }

void TForm4::EmptyView() { Edit1->clear(); }

QByteArray TForm4::ViewText() const { return Ansi::FromQString(Edit1->toPlainText()); }

void TForm4::AppendLines(const QList<QByteArray>& lines, const QByteArray& separator) {
    if (lines.isEmpty()) return;
    // One insertion for the whole file keeps a 100,000-line file quick to show.
    const QString text = Ansi::ToQString(NumberLines(lines, separator));
    if (Edit1->document()->isEmpty()) {
        Edit1->setPlainText(text);
    } else {
        Edit1->appendPlainText(text);
    }
}

void TForm4::AppendFile(const QString& path, const QByteArray& separator) {
    AppendLines(TextFile::ReadLines(path), separator);
}

void TForm4::ReplaceWithFile(const QString& path, const QByteArray& separator) {
    const QList<QByteArray> lines = TextFile::ReadLines(path);
    EmptyView();
    AppendLines(lines, separator);
}

void TForm4::CheckCNCFile1Click(QObject*) {
    EmptyView();
    const QString chosen = PickFile(this, *LogBox);
    if (chosen.isEmpty()) return;  // cancelled: the view stays empty
    AppendFile(chosen, kFileSeparator);
}

void TForm4::Clear1Click(QObject*) {
    ShowViewer();
    EmptyView();
}

void TForm4::SaveFile1Click(QObject*) {
    // Only names the file: the viewer never writes anything back.
    Modal::Info(this, Ansi::Lit("Geladene Datei  ") +
                          (viewFileName ? *viewFileName : QByteArray()) + "  Speichern in Dir");
}

void TForm4::Close1Click(QObject*) {
    EmptyView();
    hide();
}
