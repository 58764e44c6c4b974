#pragma once
// The line format of Config.ini: a positional file, one value per line number, "key=value"
// lines. The settings table (config/) reads and writes it; a reader that only needs to know
// where an instance keeps its files (the web front, for an instance that is not running)
// reads it here without the table.
#include <QByteArray>
#include <QList>

// Line numbers of the values the program uses.
namespace CfgSlot {
inline constexpr int Ext = 5;       // extension of program files, without the point
inline constexpr int Log = 6;       // base name of the log file
inline constexpr int AK = 7;        // call identifier ("Abrufkennung")
inline constexpr int PrgEnd = 8;    // program-end text (shown and saved only)
inline constexpr int ComPort = 9;   // free text about the port, shown in the status bar
inline constexpr int PrgAK = 10;    // program identifier, names the test call file
inline constexpr int Timer = 11;    // dwell in milliseconds, decimal digits
inline constexpr int Send = 12;     // folder of programs to send and of the log file
inline constexpr int Save = 13;     // folder for received programs
inline constexpr int Quiet = 14;    // optional: seconds without data that end a transmission
inline constexpr int Names = 15;    // optional: "DFS" or "Programm", how programs are named
inline constexpr int LineEnd = 16;  // optional: the line end sent after each line
}  // namespace CfgSlot

namespace ConfigLines {

// Splits file content into lines. A line ends at CR LF, LF or a lone CR; a Ctrl-Z (26)
// ends the text as in old DOS files. A final line without an end still counts; a line
// end at the very end of the content does not start another line.
QList<QByteArray> SplitLines(const QByteArray& content);

// The value of a line: everything after its first "=", or the whole line without "=".
QByteArray LineValue(const QByteArray& line);

// A folder or extension as written, without the blanks a Windows editor leaves at the end
// of a line: they are never part of a path or a name. Every other value stays raw.
QByteArray WithoutTrailingBlanks(const QByteArray& value);

}  // namespace ConfigLines

// The log file the send folder and log name of Config.ini give: folder, "/", base name,
// ".log". An empty folder means the working directory and an empty base name "Protokoll".
QByteArray LogFileNameFor(const QByteArray& cfgSend, const QByteArray& cfgLog);
