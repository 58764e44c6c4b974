#pragma once
// The transfer settings read from Config.ini, one value per line number.
//
// ConfigValues[k] holds the value of line k of the file (the text after the line's first
// "="). It lives for the whole run and is written only on the GUI thread: by the start-up
// read (TKonfiguration::ReadConfigFile), by the options window's load and by its "Data OK",
// which makes edited values effective at once. Every user therefore reads the value at the
// moment it needs it (for example CfgTimer() right before each dwell) and never keeps a
// copy across events. Values are raw Windows-1252 texts; a user converts where it needs a
// number. Reading from another thread is not allowed.
#include <QByteArray>
#include <array>

// Slots 0 to 20; slot 0 is never written, slot 1 belongs to the header line.
inline constexpr int ConfigSlotCount = 21;
extern std::array<QByteArray, ConfigSlotCount> ConfigValues;

// Line numbers of the values the program uses.
namespace CfgSlot {
inline constexpr int Ext = 5;      // extension of program files, without the point
inline constexpr int Log = 6;      // base name of the log file
inline constexpr int AK = 7;       // call identifier ("Abrufkennung")
inline constexpr int PrgEnd = 8;   // program-end text (shown and saved only)
inline constexpr int ComPort = 9;  // free text about the port, shown in the status bar
inline constexpr int PrgAK = 10;   // program identifier, names the test call file
inline constexpr int Timer = 11;   // dwell in milliseconds, decimal digits
inline constexpr int Send = 12;    // folder of programs to send and of the log file
inline constexpr int Save = 13;    // folder for received programs
inline constexpr int Quiet = 14;   // optional: seconds without data that end a transmission
inline constexpr int Names = 15;   // optional: "DFS" or "Programm", how received programs are named
inline constexpr int LineEnd = 16;  // optional: the line end sent after each line
}  // namespace CfgSlot

// A folder or extension as written, without the blanks a Windows editor leaves at the end
// of a line: they are never part of a path or a name. Every other value stays raw.
inline QByteArray WithoutTrailingBlanks(const QByteArray& value) {
    qsizetype end = value.size();
    while (end > 0 && (value[end - 1] == ' ' || value[end - 1] == '\t')) --end;
    return value.left(end);
}

// The named values, read from the table at each call.
inline QByteArray CfgExt() { return WithoutTrailingBlanks(ConfigValues[CfgSlot::Ext]); }
inline QByteArray CfgLog() { return ConfigValues[CfgSlot::Log]; }
inline QByteArray CfgAK() { return ConfigValues[CfgSlot::AK]; }
inline QByteArray CfgPrgEnd() { return ConfigValues[CfgSlot::PrgEnd]; }
inline QByteArray CfgComPort() { return ConfigValues[CfgSlot::ComPort]; }
inline QByteArray CfgPrgAK() { return ConfigValues[CfgSlot::PrgAK]; }
inline QByteArray CfgTimer() { return ConfigValues[CfgSlot::Timer]; }
inline QByteArray CfgSend() { return WithoutTrailingBlanks(ConfigValues[CfgSlot::Send]); }
inline QByteArray CfgSave() { return WithoutTrailingBlanks(ConfigValues[CfgSlot::Save]); }
inline QByteArray CfgQuiet() { return ConfigValues[CfgSlot::Quiet]; }
inline QByteArray CfgNames() { return ConfigValues[CfgSlot::Names]; }
inline QByteArray CfgLineEnd() { return ConfigValues[CfgSlot::LineEnd]; }
