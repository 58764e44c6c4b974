#pragma once
// The one seam for everything modal: message boxes, the input box and the file dialogs.
// The real seam (ModalDialogs.h) shows Qt dialogs; tests install a scripted one that records
// and answers; where no window can ask, every question gets an answer that waits for nobody.
// QtCore only: the parent is just passed along.
#include <QByteArray>
#include <QString>
#include <QStringList>

class QWidget;

namespace Modal {

enum class BoxKind { Plain, Information, Warning, Error, Question };
enum class Answer { Ok, Cancel, Yes, No };

// What a box shows; texts are the system's byte strings (Windows-1252).
struct Box {
    BoxKind kind = BoxKind::Plain;
    QByteArray caption;
    QByteArray text;
    bool withCancel = false;  // OK + Cancel (or Yes + No for Question)
};

struct FileDialog {
    bool save = false;
    QByteArray title;
    QString directory;  // initial folder
    QString fileName;   // initial name
    QString filter;     // Qt filter string, e.g. "CNC (*.cnc);;Alle (*.*)"
    QString defaultSuffix;
};

class Seam {
  public:
    virtual ~Seam() = default;
    virtual Answer ShowBox(QWidget* parent, const Box& box) = 0;
    // Returns the edited text after OK, the initial text after Cancel; *accepted tells which.
    virtual QByteArray InputBox(QWidget* parent, const QByteArray& caption,
                                const QByteArray& prompt, const QByteArray& initial,
                                bool* accepted) = 0;
    // Empty string when cancelled.
    virtual QString FileName(QWidget* parent, const FileDialog& dialog) = 0;
};

// The seam in force: the installed one, else the fallback, else the unattended answers.
Seam& Current();
// Installs a seam (nullptr restores the fallback). The caller keeps ownership.
void Install(Seam* seam);
// The seam used when none is installed (the real dialogs of a program with windows).
void SetFallback(Seam* seam);

// Shorthands used by the windows.
Answer Message(QWidget* parent, const QByteArray& text, const QByteArray& caption = {});
Answer Info(QWidget* parent, const QByteArray& text, const QByteArray& caption = {});
Answer Error(QWidget* parent, const QByteArray& text, const QByteArray& caption = {},
             bool withCancel = false);

// "desc|pattern|desc|pattern" (a filter text as the windows give it) to a Qt filter.
QString DialogFilter(const QByteArray& filter);

}  // namespace Modal
