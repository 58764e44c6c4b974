#pragma once
// Every text of the system is a byte string in Windows-1252. It becomes a QString only
// at a widget, through this one table, and goes back the same way.
#include <QByteArray>
#include <QString>

namespace Ansi {

// Byte string (Windows-1252) to a QString for display. Every byte maps to one character;
// the five bytes that Windows-1252 leaves undefined map to the C1 control of the same value.
QString ToQString(const QByteArray& bytes);

// QString back to Windows-1252. A character outside the code page becomes '?'.
QByteArray FromQString(const QString& text);

// A literal written in this UTF-8 source, as the system's Windows-1252 bytes:
// Ansi::Lit("Die Konfigurationsdaten sind ungültig!").
QByteArray Lit(const char* utf8);

// One character to its Windows-1252 byte; false when the code page has none.
bool CharToByte(QChar ch, char& byte);

}  // namespace Ansi
