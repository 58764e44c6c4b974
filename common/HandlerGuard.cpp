#include "common/HandlerGuard.h"

#include "common/Modal.h"

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
