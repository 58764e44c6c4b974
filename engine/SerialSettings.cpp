#include "engine/SerialSettings.h"

#include <QFile>

#include "common/Ansi.h"
#include "engine/IniFile.h"
#include "serial/Port.h"
#include "serial/Serial.h"

namespace {

const char* kSerialSection = "SerBsp1";
const char* kSerialKey = "Configuration";

}  // namespace

void SetServerDefaults(TSerial& serial) {
    serial.SetCOMPort(0);
    serial.SetThreadPriority(tpNormal);
    serial.SetBaudrate(br_004800);
    serial.SetDataBits(db_8);
    serial.SetParityBit(none);
    serial.SetStopBits(sb_1);
    serial.SetBufSizeTrm(2048);
    serial.SetBufSizeRec(2048);
    serial.SetHandshakeRtsCts(true);
    serial.SetHandshakeDtrDsr(false);
    serial.SetHandshakeXOnXOff(false);
    serial.SetRTSActive(false);
    serial.SetDTRActive(false);
    serial.SetEnableEvents(true);
    serial.SetXOnChar(17);
    serial.SetXOffChar(19);
    serial.SetXOffLimit(1600);
    serial.SetXOnLimit(400);
    serial.SetErrorChar('?');
    serial.SetEofChar(26);
    serial.SetEventChar(10);
    serial.SetContinueOnXOff(false);
    serial.SetUseErrorChar(false);
    serial.SetEliminateNullChar(false);
    serial.SetAbortOnError(false);
    serial.SetRecTimeOut(0);
    serial.SetTrmTimeOut(1000);
    // The engine marshals the events to its thread itself.
    serial.SetSyncEventHandling(false);
    serial.SetSyncWait(true);
}

TSettingsLoad LoadSerialSettings(TSerial& serial, int* requestedPort) {
    if (requestedPort) *requestedPort = 0;
    const QByteArray text = IniReadString(SerDemoIniPath(), kSerialSection, kSerialKey, {});
    if (text.isEmpty()) return TSettingsLoad::Missing;
    TSerialSettings settings;
    serial.TextToSettings(text, settings);
    if (!settings.Valid) return TSettingsLoad::Invalid;
    if (requestedPort) *requestedPort = settings.COMPort;
    serial.SetSettings(settings);
    return TSettingsLoad::Loaded;
}

TReplaceWay SaveSerialSettings(TSerial& serial, int port) {
    TSerialSettings settings;
    serial.GetSettings(settings);
    if (port >= 0) settings.COMPort = port;
    QByteArray text;
    serial.SettingsToText(settings, text);
    return IniWriteString(SerDemoIniPath(), kSerialSection, kSerialKey, text);
}

QByteArray SettingsLoadText(TSettingsLoad load) {
    switch (load) {
        case TSettingsLoad::Missing:
            return "Es liegen keine gespeicherten Konfigurationsdaten vor!";
        case TSettingsLoad::Invalid:
            return Ansi::Lit("Die Konfigurationsdaten sind ungültig!");
        case TSettingsLoad::Loaded:
            break;
    }
    return {};
}

QByteArray PortMissingText(int port) {
    const QByteArray device = Port::DeviceName(port);
    return "COM" + QByteArray::number(port) + " (" +
           (device.isEmpty() ? "keine Zuordnung in " + Port::MapFolder() : device) +
           Ansi::Lit(
               ") ist nicht vorhanden: der Server wartet auf das Gerät und sieht jede "
               "Sekunde nach.");
}

QByteArray SerialSettingsPath() { return QFile::encodeName(SerDemoIniPath()); }
