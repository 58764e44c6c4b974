#include "common/HandlerGuard.h"

#include <QString>
#include <cstring>

#include "common/Ansi.h"
#include "common/Modal.h"

namespace {
std::string Compose(const QByteArray& operation, const QString& path, const QByteArray& reason) {
    return (operation + " \"" + Ansi::FromQString(path) + "\": " + reason).toStdString();
}
}  // namespace

FileError::FileError(const QByteArray& operation, const QString& path, int errnoValue)
    : std::runtime_error(Compose(operation, path, QByteArray(std::strerror(errnoValue)))) {}

FileError::FileError(const QByteArray& operation, const QString& path, const QByteArray& reason)
    : std::runtime_error(Compose(operation, path, reason)) {}

ConversionError::ConversionError(const QByteArray& what, const QByteArray& text)
    : std::runtime_error(("\"" + text + "\"" + Ansi::Lit(" ist keine gültige Zahl (") + what + ")").toStdString()) {}

bool Guarded(QWidget* parent, const char* handler, const std::function<void()>& body) {
    QByteArray reason;
    try {
        body();
        return true;
    } catch (const std::exception& e) {
        reason = QByteArray(e.what());
    } catch (...) {
        reason = "unbekannter Fehler";
    }
    Modal::Error(parent, QByteArray(handler) + ": " + reason);
    return false;
}

int ToInt(const QByteArray& text, const QByteArray& what) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok) throw ConversionError(what, text);
    return value;
}
