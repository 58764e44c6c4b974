#pragma once
// Text rules of Config.ini: a positional file, one value per line, "key=value" lines.
// Pure functions; the readers and the options window call them, tests call them directly.
#include <QByteArray>
#include <QList>
#include <QString>
#include <array>

#include "common/ConfigLines.h"
#include "config/ConfigValues.h"

namespace ConfigFile {

// How a Config.ini is written: Windows-1252 as the program has always written it, or UTF-8
// as today's editors save it, with or without a byte-order mark.
enum class TEncoding { Windows1252, Utf8, Utf8Bom };

// A UTF-8 byte-order mark, or valid UTF-8 that holds a multi-byte sequence, is UTF-8;
// anything else is Windows-1252 (plain ASCII too: it reads the same either way).
TEncoding DetectEncoding(const QByteArray& content);

// File content as the system's Windows-1252 text (the mark removed); a character that
// Windows-1252 lacks becomes '?'.
QByteArray Decode(const QByteArray& content, TEncoding encoding);

// Windows-1252 text as file content in encoding (with the mark for Utf8Bom).
QByteArray Encode(const QByteArray& text, TEncoding encoding);

// The listing's note on an encoding other than Windows-1252 (empty for that one).
QByteArray EncodingNote(TEncoding encoding);

// The listing's note on the values of lines up to lastLine whose trailing blanks are not
// used (the extension and the two folders), or empty when none has any.
QByteArray TrailingBlanksNote(const std::array<QByteArray, ConfigSlotCount>& values,
                              int lastLine = ConfigSlotCount - 1);

// The key of a line: the text up to and including its first "=", empty without "=".
QByteArray LineKey(const QByteArray& line);

// A value as it can stand on one line: CR, LF and Ctrl-Z removed, so that a saved file
// keeps every value on its line number (a Ctrl-Z would end the file on the next read).
QByteArray OneLine(const QByteArray& text);

// One line as written: key followed by value. A line read without "=" has no key; if
// its value now holds a "=", a leading "=" keeps the whole value the value on the next read.
QByteArray ComposeLine(const QByteArray& key, const QByteArray& value);

// The key written for a line that the loaded file did not have (a short file).
QByteArray DefaultKey(int line);

// The whole file as the options window writes it, each line ending in CR LF:
// the header (OneLine of the path, "=", number of lines), lines 2 to linesRead with
// keys[k] + values[k], then the carried lines of a longer file unchanged. A shorter file is
// extended up to the last of the value slots 5 to 16 that holds a value, with default keys,
// so that no accepted value is dropped.
QByteArray Compose(const QByteArray& path, const std::array<QByteArray, 21>& keys,
                   const std::array<QByteArray, 21>& values, int linesRead,
                   const QList<QByteArray>& carried);

// The dwell of CfgTimer in milliseconds: a whole number of 0 or more (blanks around it
// allowed). False for anything else; *ms is then 0.
bool DwellMs(const QByteArray& text, int* ms);

// The quiet time of CfgQuiet in milliseconds: whole seconds from 1 to 3600 (blanks around them
// allowed); kDefaultQuietS when the value is empty. False for anything else; *ms is then the
// default.
inline constexpr int kDefaultQuietS = 5;
inline constexpr int kMaxQuietS = 3600;
bool QuietTimeMs(const QByteArray& text, int* ms);

// How received programs are named (CfgNames): only by the "DFS," name, or, without one, by
// the name the control wrote in the program's header.
enum class TNaming { Dfs, Program };
// "DFS" or "Programm", letter case and blanks around them ignored; empty is Dfs. False for
// anything else; *naming is then Dfs.
bool Naming(const QByteArray& text, TNaming* naming);

// The bytes sent after each line (CfgLineEnd): "CRLF", "LF", "CR" or "LFCRCR" (letter case
// and blanks around them ignored); empty is CR LF. False for anything else; *bytes is then
// CR LF.
bool LineEndBytes(const QByteArray& text, QByteArray* bytes);

// The header line written by the options window: path, "=", number of lines.
QByteArray HeaderLine(const QByteArray& path, int lineCount);

// The backup name of a file: its extension replaced by ".bak" (appended when it has
// none), in the same folder. "Config.ini" -> "Config.bak".
QString BackupPath(const QString& path);

// A name expanded to a full path against the current working directory.
QString FullPath(const QString& name);

}  // namespace ConfigFile
