// A lost device (USB adapter pulled, device server gone): nothing waits for a click. The
// loss is said, logged, and the same port is opened again with the same settings as soon as
// its device is back; a transfer it cut is reported as not complete.
#include "common/Ansi.h"
#include "engine/TransferEngine.h"
#include "engine/TransferRules.h"
#include "serial/Serial.h"

namespace {

QByteArray PortText(int port) { return "COM" + QByteArray::number(port); }

}  // namespace

void TTransferEngine::PortLost() {
    const int port = Serial1->COMPort();
    // A send under way ends with the closed port and is reported as not sent whole.
    if (Job) DeviceWasLost = true;
    // What a receive had got is kept whole, never saved as a program.
    ReceiveLost();
    RxEvents = 0;

    const QByteArray text = Ansi::Lit("Verbindung zur Schnittstelle ") + PortText(port) +
                            Ansi::Lit(" verloren (Gerät entfernt?), neuer Versuch jede Sekunde");
    View->Trace(text);
    SetStatus(text);
    View->DeviceLost(port);
    LogText = "Schnittstelle " + PortText(port) + " verloren ";
    LogFile();
    StartReconnect();
}

void TTransferEngine::StartReconnect() {
    ReconnectTries = 0;
    ReconnectTimer.start();
}

void TTransferEngine::StopReconnect() { ReconnectTimer.stop(); }

void TTransferEngine::TryReconnect() {
    if (Serial1->Active()) {
        ReconnectTimer.stop();
        return;
    }
    ++ReconnectTries;
    if (!Serial1->Open()) return;  // not back yet; the next try comes in a second
    ReconnectTimer.stop();
    const int port = Serial1->COMPort();
    const QByteArray text = "Schnittstelle " + PortText(port) + Ansi::Lit(" wieder geöffnet");
    View->Trace(text);
    SetStatus(text);
    View->PortReopened(port);
    LogText = text + " ";
    LogFile();
}
