#include "common/Errors.h"

#include <cstring>

#include "common/Ansi.h"

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
    : std::runtime_error(("\"" + text + "\"" + Ansi::Lit(" ist keine gültige Zahl (") + what + ")")
                             .toStdString()) {}
