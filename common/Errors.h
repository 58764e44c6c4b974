#pragma once
// The errors that the file writers and text rules throw, and the handlers report.
#include <QByteArray>
#include <QString>
#include <stdexcept>

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
