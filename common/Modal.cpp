#include "common/Modal.h"

#include <QStringList>

#include "common/Ansi.h"

namespace Modal {
namespace {

// Where no window can ask (a service, or before the windows exist), every question gets the
// answer that waits for nobody: OK, the initial text, no file.
class UnattendedSeam final : public Seam {
  public:
    Answer ShowBox(QWidget*, const Box& box) override {
        return box.kind == BoxKind::Question ? Answer::No : Answer::Ok;
    }
    QByteArray InputBox(QWidget*, const QByteArray&, const QByteArray&, const QByteArray& initial,
                        bool* accepted) override {
        if (accepted) *accepted = false;
        return initial;
    }
    QString FileName(QWidget*, const FileDialog&) override { return {}; }
};

UnattendedSeam& Unattended() {
    static UnattendedSeam seam;
    return seam;
}

Seam* fallback = nullptr;
Seam* installed = nullptr;

Answer Show(QWidget* parent, BoxKind kind, const QByteArray& text, const QByteArray& caption,
            bool withCancel) {
    Box box;
    box.kind = kind;
    box.text = text;
    box.caption = caption;
    box.withCancel = withCancel;
    return Current().ShowBox(parent, box);
}

}  // namespace

Seam& Current() {
    if (installed) return *installed;
    return fallback ? *fallback : Unattended();
}
void Install(Seam* seam) { installed = seam; }
void SetFallback(Seam* seam) { fallback = seam; }

Answer Message(QWidget* parent, const QByteArray& text, const QByteArray& caption) {
    return Show(parent, BoxKind::Plain, text, caption, false);
}
Answer Info(QWidget* parent, const QByteArray& text, const QByteArray& caption) {
    return Show(parent, BoxKind::Information, text, caption, false);
}
Answer Error(QWidget* parent, const QByteArray& text, const QByteArray& caption, bool withCancel) {
    return Show(parent, BoxKind::Error, text, caption, withCancel);
}

QString DialogFilter(const QByteArray& filter) {
    const QList<QByteArray> parts = filter.split('|');
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = Ansi::ToQString(parts[i + 1].trimmed());
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        entries << Ansi::ToQString(parts[i].trimmed()) + QStringLiteral(" (") + patterns +
                       QLatin1Char(')');
    }
    return entries.join(QStringLiteral(";;"));
}

}  // namespace Modal
