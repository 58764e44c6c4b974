// A lost device (USB adapter pulled, device server gone): nothing waits for a click. The
// loss is said, logged, and the same device is opened again with the same settings as soon
// as it is back; never another one in its place. A transfer it cut is reported as not
// complete.
#include "common/Ansi.h"
#include "engine/TransferEngine.h"
#include "engine/TransferRules.h"
#include "serial/Port.h"
#include "serial/Serial.h"

namespace {

QByteArray PortText(int port) { return "COM" + QByteArray::number(port); }

// What a reconnect waits for, said once for each change.
QByteArray WaitingText(int port, const QByteArray& device, const QByteArray& now) {
    QByteArray text =
        Ansi::Lit("Gerät ") + device + Ansi::Lit(" für ") + PortText(port) + " nicht vorhanden";
    if (now.isEmpty()) {
        text += Ansi::Lit(" (die Zuordnung fehlt)");
    } else if (now != device) {
        text += " (" + PortText(port) + Ansi::Lit(" führt jetzt zu ") + now +
                Ansi::Lit("; ein anderes Gerät wird erst nach Trennen und Verbinden geöffnet)");
    }
    return text + Ansi::Lit(": der Server wartet darauf, neuer Versuch jede Sekunde");
}

}  // namespace

void TTransferEngine::PortLost() {
    const int port = Serial1->COMPort();
    // A send under way ends with the closed port and is reported as not sent whole.
    if (Job) DeviceWasLost = true;
    // What a receive had got is kept whole, never saved as a program.
    ReceiveLost(Now());
    RxEvents = 0;

    const QByteArray device = Serial1->Device();
    const QByteArray text = Ansi::Lit("Verbindung zur Schnittstelle ") + PortText(port) +
                            Ansi::Lit(" verloren (Gerät ") + device +
                            Ansi::Lit(" entfernt?), neuer Versuch jede Sekunde");
    View->Trace(text);
    SetStatus(text);
    View->DeviceLost(port);
    Log("Schnittstelle " + PortText(port) + " verloren (" + device + ") ");
    StartReconnect();
}

void TTransferEngine::StartReconnect() {
    ReconnectSaid.clear();
    ReconnectTimer.start();
}

void TTransferEngine::StopReconnect() { ReconnectTimer.stop(); }

void TTransferEngine::TryReconnect() {
    if (Serial1->Active()) {
        ReconnectTimer.stop();
        return;
    }
    const int port = Serial1->COMPort();
    // After an earlier open only its device; before one (the start found none), the port as
    // an open resolves it.
    const bool again = !Serial1->Device().isEmpty();
    if (!(again ? Serial1->Reopen() : Serial1->Open())) {
        // Not back yet; the next try comes in a second.
        if (!again || Serial1->LastOpenFailure().Code != peNoDevice) return;
        const QByteArray waiting = WaitingText(port, Serial1->Device(), Port::DeviceName(port));
        if (waiting == ReconnectSaid) return;
        ReconnectSaid = waiting;
        View->Trace(waiting);
        SetStatus(waiting);
        return;
    }
    ReconnectTimer.stop();
    const QByteArray text = "Schnittstelle " + PortText(port) +
                            (again ? Ansi::Lit(" wieder geöffnet") : Ansi::Lit(" geöffnet")) +
                            " (" + Serial1->Device() + ")";
    View->Trace(text);
    SetStatus(text);
    View->PortReopened(port);
    ReceiveResumed(Now());
    Log(text + " ");
}
