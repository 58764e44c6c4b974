#pragma once
// Earlier versions of a program that a save or an upload replaces.
#include <QString>

namespace Versions {

// Keeps a copy of the existing file path in the hidden folder ".versionen/" beside it, named
// with the date and time; the last 10 copies per name are kept. Returns the copy's path,
// empty when there was no file to keep. Throws FileError when it cannot keep one.
QString Keep(const QString& path);

}  // namespace Versions
