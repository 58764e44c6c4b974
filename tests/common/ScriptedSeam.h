#pragma once
// A modal seam for tests: records every box, input box and file dialog, and answers
// from scripted queues (default: OK, the initial text, an empty file name).
#include <QByteArray>
#include <QList>
#include <functional>

#include "common/Modal.h"

class ScriptedSeam : public Modal::Seam {
  public:
    struct Input {
        QByteArray caption, prompt, initial;
    };

    QList<Modal::Box> boxes;
    QList<Input> inputs;
    QList<Modal::FileDialog> fileDialogs;

    QList<Modal::Answer> boxAnswers;         // consumed front first
    QList<QByteArray> inputAnswers;          // text typed; "\x1b" means Cancel
    QList<QString> fileAnswers;              // empty = cancelled
    std::function<void()> duringBox;         // runs while a box is "open"
    std::function<void()> duringFileDialog;  // ...and while a file dialog is

    ScriptedSeam() { Modal::Install(this); }
    ~ScriptedSeam() override { Modal::Install(nullptr); }

    Modal::Answer ShowBox(QWidget*, const Modal::Box& box) override {
        boxes.append(box);
        if (duringBox) duringBox();
        return boxAnswers.isEmpty() ? Modal::Answer::Ok : boxAnswers.takeFirst();
    }
    QByteArray InputBox(QWidget*, const QByteArray& caption, const QByteArray& prompt,
                        const QByteArray& initial, bool* accepted) override {
        inputs.append({caption, prompt, initial});
        const QByteArray answer = inputAnswers.isEmpty() ? initial : inputAnswers.takeFirst();
        const bool ok = answer != "\x1b";
        if (accepted) *accepted = ok;
        return ok ? answer : initial;
    }
    QString FileName(QWidget*, const Modal::FileDialog& dialog) override {
        fileDialogs.append(dialog);
        if (duringFileDialog) duringFileDialog();
        return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
    }

    QList<QByteArray> BoxTexts() const {
        QList<QByteArray> texts;
        for (const auto& b : boxes) texts.append(b.text);
        return texts;
    }
};
