#pragma once
// A small ini reader/writer for SerDemo.ini. It changes only the one line it writes: every
// other section, key, comment, blank and line end of the file stays byte for byte, and the
// value is stored exactly (no quoting or percent-encoding).
#include <QByteArray>
#include <QString>

#include "common/FileReplace.h"

// $XDG_CONFIG_HOME/dnc-server (default ~/.config/dnc-server): where SerDemo.ini lives.
QString SettingsFolder();
// SettingsFolder() + "/SerDemo.ini".
QString SerDemoIniPath();

// Value of key in section of an ini text; def when the section or key is missing. Section
// and key names compare without regard to letter case; blanks around the value are dropped.
QByteArray IniGet(const QByteArray& content, const QByteArray& section, const QByteArray& key,
                  const QByteArray& def);
// The ini text with key in section set to value; section and key are added when missing.
QByteArray IniSet(const QByteArray& content, const QByteArray& section, const QByteArray& key,
                  const QByteArray& value);

// Reads a value from the file at path; def when the file, section or key is missing.
// Throws FileError when the file exists but cannot be read.
QByteArray IniReadString(const QString& path, const QByteArray& section, const QByteArray& key,
                         const QByteArray& def);
// Writes a value, creating folder, file, section and key as needed. The file is replaced
// through a temporary file and a rename, so a failed write leaves the old file whole; in a
// folder the user may not write to, a writable file is rewritten in place (InPlace).
// Throws FileError naming the path and the reason.
TReplaceWay IniWriteString(const QString& path, const QByteArray& section, const QByteArray& key,
                           const QByteArray& value);
