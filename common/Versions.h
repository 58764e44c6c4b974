#pragma once
// Versions of replaced programs: before a save (or an upload) replaces a file, the file as it
// was is kept in the hidden folder ".versionen" beside it, named with the date and time, so
// that a program optimised at the machine and sent back is never lost to the next one.
#include <QString>

namespace Versions {

// The folder beside the file, and how many versions of one name it keeps.
inline constexpr char kFolder[] = ".versionen";
inline constexpr int kKept = 10;

// Keeps a copy of the existing file path as ".versionen/<yyyyMMdd-HHmmss>-<name>" beside it
// (".2", ".3", ... after the time when that name is taken) and removes the oldest beyond
// the last kKept of that name. Returns the copy's path, empty when path is no file. Throws
// FileError when it cannot be kept; the file itself is untouched.
QString Keep(const QString& path);

}  // namespace Versions
