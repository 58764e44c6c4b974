#pragma once
// No exception may leave a Qt slot. Every handler runs inside Guarded(): a file or
// conversion error ends the handler with a message box naming what failed and why,
// and the program and the port stay in service.
#include <QByteArray>
#include <functional>
#include <stdexcept>
#include <string>

class QWidget;

// A file operation failed: the path and the system's reason.
class FileError : public std::runtime_error {
public:
    FileError(const QByteArray& operation, const QString& path, int errnoValue);
    FileError(const QByteArray& operation, const QString& path, const QByteArray& reason);
};

// A text that should be a number was not one.
class ConversionError : public std::runtime_error {
public:
    ConversionError(const QByteArray& what, const QByteArray& text);
};

// Runs body; on an exception shows an error box "<handler>: <what>" and returns false.
bool Guarded(QWidget* parent, const char* handler, const std::function<void()>& body);

// Text to integer the way the handlers need it; throws ConversionError naming `what`.
int ToInt(const QByteArray& text, const QByteArray& what);
