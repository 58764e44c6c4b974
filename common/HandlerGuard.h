#pragma once
// No exception may leave a Qt slot. Every handler runs inside Guarded(): a file or
// conversion error ends the handler with a message box naming what failed and why,
// and the program and the port stay in service.
#include <QByteArray>
#include <functional>

#include "common/Errors.h"

class QWidget;

// Runs body; on an exception shows an error box "<handler>: <what>" and returns false.
bool Guarded(QWidget* parent, const char* handler, const std::function<void()>& body);

// Text to integer the way the handlers need it; throws ConversionError naming `what`.
int ToInt(const QByteArray& text, const QByteArray& what);
