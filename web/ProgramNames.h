#pragma once
// Which names the web front takes for a program file: a name, never a path, and one that
// shows as what it is.
#include <QByteArray>
#include <QString>

// The longest name in bytes: a version's name ("20261209-070509.2-" before it) must still
// fit the file systems' 255.
inline constexpr qsizetype kMaxProgramName = 200;

// Empty when name (UTF-8, as it came in the address) is a plain file name, otherwise why
// not, in German: no separator, "..", leading dot, "%" (a name encoded twice), control
// character, bidirectional override (U+202A-202E, U+2066-2069: U+202E and "fdp.CNC" would
// show as "CNC.pdf"), invalid UTF-8, or more than kMaxProgramName bytes.
QString ProgramNameProblem(const QByteArray& name);
