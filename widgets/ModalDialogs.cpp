// The real modal seam: Qt's message boxes, input box and file dialogs.
#include "widgets/ModalDialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

#include "common/Ansi.h"

namespace Modal {
namespace {

class RealSeam final : public Seam {
  public:
    Answer ShowBox(QWidget* parent, const Box& box) override {
        QMessageBox mb(parent);
        mb.setWindowTitle(Ansi::ToQString(box.caption.isEmpty() ? AppTitle() : box.caption));
        // Windows message texts use a lone CR as line break.
        QString text = Ansi::ToQString(box.text);
        text.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QChar('\r'), QChar('\n'));
        mb.setText(text);
        switch (box.kind) {
            case BoxKind::Plain:
                mb.setIcon(QMessageBox::NoIcon);
                break;
            case BoxKind::Information:
                mb.setIcon(QMessageBox::Information);
                break;
            case BoxKind::Warning:
                mb.setIcon(QMessageBox::Warning);
                break;
            case BoxKind::Error:
                mb.setIcon(QMessageBox::Critical);
                break;
            case BoxKind::Question:
                mb.setIcon(QMessageBox::Question);
                break;
        }
        if (box.kind == BoxKind::Question) {
            mb.setStandardButtons(box.withCancel ? QMessageBox::Yes | QMessageBox::No
                                                 : QMessageBox::Yes);
        } else {
            mb.setStandardButtons(box.withCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                 : QMessageBox::Ok);
        }
        // The program speaks German; Qt's own button texts would come in English.
        if (QAbstractButton* b = mb.button(QMessageBox::Cancel)) b->setText("Abbrechen");
        if (QAbstractButton* b = mb.button(QMessageBox::Yes)) b->setText("Ja");
        if (QAbstractButton* b = mb.button(QMessageBox::No)) b->setText("Nein");
        switch (mb.exec()) {
            case QMessageBox::Ok:
                return Answer::Ok;
            case QMessageBox::Yes:
                return Answer::Yes;
            case QMessageBox::No:
                return Answer::No;
            default:
                return Answer::Cancel;
        }
    }

    QByteArray InputBox(QWidget* parent, const QByteArray& caption, const QByteArray& prompt,
                        const QByteArray& initial, bool* accepted) override {
        bool ok = false;
        const QString text =
            QInputDialog::getText(parent, Ansi::ToQString(caption), Ansi::ToQString(prompt),
                                  QLineEdit::Normal, Ansi::ToQString(initial), &ok);
        if (accepted) *accepted = ok;
        return ok ? Ansi::FromQString(text) : initial;
    }

    QString FileName(QWidget* parent, const FileDialog& d) override {
        QFileDialog dialog(parent, Ansi::ToQString(d.title), d.directory, d.filter);
        dialog.setAcceptMode(d.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dialog.setFileMode(d.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        if (!d.defaultSuffix.isEmpty()) dialog.setDefaultSuffix(d.defaultSuffix);
        if (!d.fileName.isEmpty()) dialog.selectFile(d.fileName);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
        return dialog.selectedFiles().first();
    }

  private:
    static QByteArray AppTitle() {
        return Ansi::FromQString(QApplication::applicationDisplayName());
    }
};

}  // namespace

void UseRealDialogs() {
    static RealSeam real;
    SetFallback(&real);
}

}  // namespace Modal
