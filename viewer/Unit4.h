#pragma once
// The file viewer: shows the transfer log or a program file with every line numbered.
// It only reads; nothing typed into it is written back.
#include <QByteArray>
#include <QList>
#include <QMainWindow>
#include <QString>
#include <memory>

#include "common/Modal.h"

class QAction;
class QLabel;
class QPlainTextEdit;
class QStatusBar;

namespace Ui {
class TForm4;
}

// Separators between a line's number and its text.
inline const QByteArray kLogSeparator = " - ";    // the log command
inline const QByteArray kFileSeparator = "  - ";  // the commands that pick a file

// "1" + separator + first line, "2" + separator + second line, ... one per line.
QByteArray NumberLines(const QList<QByteArray>& lines, const QByteArray& separator);

// Shows the open dialog described by `dialog` and remembers the chosen file in it (folder
// and name), so the next command starts there. Empty when cancelled.
QString PickFile(QWidget* parent, Modal::FileDialog& dialog);

// The log / program file dialog as the viewer's commands use it, unless the main window
// hands over its own (TForm4::LogBox).
Modal::FileDialog DefaultLogBox();

class TForm4 : public QMainWindow {
    Q_OBJECT

  public:
    explicit TForm4(QWidget* parent = nullptr);
    ~TForm4() override;

    // Controls.
    QPlainTextEdit* Edit1;
    QStatusBar* StatusBar1;
    QAction* LogDataDefault1;
    QAction* CheckCNCFile1;
    QAction* Clear1;
    QAction* SaveFile1;
    QAction* Close1;

    // The file dialog the commands ask for a file with: the main window's OpenDialogLogBox
    // once attached, otherwise the viewer's own.
    Modal::FileDialog* LogBox;

    // Links the viewer to the main window's OpenDialogLogBox and to its ViewFileName (the
    // file its "CNCFile" command showed last, which "Save File" names).
    void Attach(Modal::FileDialog* logBox, const QByteArray* viewFileName);

    // Shows the window (without blocking the main window) and brings it to the front.
    void ShowViewer();
    QByteArray StatusText() const;
    void SetStatusText(const QByteArray& text);
    void EmptyView();
    // The shown text as the system's bytes, lines separated by LF.
    QByteArray ViewText() const;
    // Appends the lines, each numbered with `separator`.
    void AppendLines(const QList<QByteArray>& lines, const QByteArray& separator);
    // Reads the file and appends its lines numbered with `separator`. The file is read
    // whole and closed before anything is shown. Throws FileError when it cannot be read;
    // the view is then left as it was.
    void AppendFile(const QString& path, const QByteArray& separator);
    // Like AppendFile, but the view is emptied first, once the file has been read.
    void ReplaceWithFile(const QString& path, const QByteArray& separator);

    // Menu handlers.
    void CheckCNCFile1Click(QObject* Sender);
    void Clear1Click(QObject* Sender);
    void SaveFile1Click(QObject* Sender);
    void Close1Click(QObject* Sender);

  private:
    void Bind(QAction* action, const char* name, void (TForm4::*handler)(QObject*));

    std::unique_ptr<Ui::TForm4> ui;
    QLabel* statusText;
    Modal::FileDialog ownLogBox;
    const QByteArray* viewFileName = nullptr;
};

// The one viewer window of the program (created at start, after the main window).
extern TForm4* Form4;
