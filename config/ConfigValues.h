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

#include "common/ConfigLines.h"

// Slots 0 to 20; slot 0 is never written, slot 1 belongs to the header line.
inline constexpr int ConfigSlotCount = 21;
extern std::array<QByteArray, ConfigSlotCount> ConfigValues;

// The named values, read from the table at each call.
inline QByteArray CfgExt() {
    return ConfigLines::WithoutTrailingBlanks(ConfigValues[CfgSlot::Ext]);
}
inline QByteArray CfgLog() { return ConfigValues[CfgSlot::Log]; }
inline QByteArray CfgAK() { return ConfigValues[CfgSlot::AK]; }
inline QByteArray CfgPrgEnd() { return ConfigValues[CfgSlot::PrgEnd]; }
inline QByteArray CfgComPort() { return ConfigValues[CfgSlot::ComPort]; }
inline QByteArray CfgPrgAK() { return ConfigValues[CfgSlot::PrgAK]; }
inline QByteArray CfgTimer() { return ConfigValues[CfgSlot::Timer]; }
inline QByteArray CfgSend() {
    return ConfigLines::WithoutTrailingBlanks(ConfigValues[CfgSlot::Send]);
}
inline QByteArray CfgSave() {
    return ConfigLines::WithoutTrailingBlanks(ConfigValues[CfgSlot::Save]);
}
inline QByteArray CfgQuiet() { return ConfigValues[CfgSlot::Quiet]; }
inline QByteArray CfgNames() { return ConfigValues[CfgSlot::Names]; }
inline QByteArray CfgLineEnd() { return ConfigValues[CfgSlot::LineEnd]; }
