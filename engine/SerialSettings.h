#pragma once
// The serial settings the server starts with: the window's own defaults, then the text
// saved in SerDemo.ini. The window and the service start the same way.
#include <QByteArray>

#include "common/FileReplace.h"

class TSerial;

// The settings the main window stores for Serial1 (4800 bit/s, 8N1, RTS/CTS, write time-out
// 1000 ms, ...), before SerDemo.ini replaces them.
void SetServerDefaults(TSerial& serial);

enum class TSettingsLoad { Loaded, Missing, Invalid };

// Reads the saved settings text and, when it is valid, applies it (the port is not
// touched: the settings take effect at its next open). *requestedPort (when given) is the
// port the text names, also when the probe did not find it (the component then holds 0).
// Throws FileError when SerDemo.ini exists but cannot be read.
TSettingsLoad LoadSerialSettings(TSerial& serial, int* requestedPort = nullptr);

// Saves the current settings as the settings text (with port as its port when given);
// InPlace when the folder took no new file and the file was rewritten in place. Throws
// FileError naming the reason.
TReplaceWay SaveSerialSettings(TSerial& serial, int port = -1);

// What the window says when the load did not apply anything.
QByteArray SettingsLoadText(TSettingsLoad load);

// What the window and the service say while the port the settings name has no device (an
// adapter not plugged in): which port and device, and that the server waits for it.
QByteArray PortMissingText(int port);

// Where the settings are saved, for messages.
QByteArray SerialSettingsPath();
