#include "serial/PortError.h"

#include <errno.h>
#include <string.h>

#include <QString>

#include "serial/Port.h"

namespace PortError {

namespace {

// The texts below are written in UTF-8 and use only letters that Latin-1 and Windows-1252
// share (ä, ö, ü, ß).
QByteArray W(const char* utf8) { return QString::fromUtf8(utf8).toLatin1(); }

QByteArray SettingText(const TPortFailure& f) {
    switch (f.Setting) {
        case psDataBits:
            return QByteArray::number(f.DataBits) + " Datenbits";
        case psStopBits:
            return QByteArray(StopBitNames[f.StopBits >= 0 && f.StopBits <= 2 ? f.StopBits : 0]) +
                   " Stoppbits bei " + QByteArray::number(f.DataBits) + " Datenbits";
        case psRate:
            return "die Bitrate " + QByteArray::number(f.Rate) + " bit/s";
        case psLine:
            return "diese Leitungseinstellungen";
        case psComPortOption:
            return W("das Einstellen der Schnittstelle über das Netz (RFC 2217)");
        case psNone:
            break;
    }
    return "diese Einstellung";
}

}  // namespace

TPortError FromErrno(int err) {
    switch (err) {
        case 0:
            return peNone;
        case EBUSY:
        case EWOULDBLOCK:  // the lock of another program (EAGAIN is the same number)
            return peBusy;
        case EACCES:
        case EPERM:
        case EROFS:
            return peNotPermitted;
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ECONNREFUSED:  // a device server that is not there
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EHOSTDOWN:
            return peNoDevice;
        case ENOTTY:
            return peNotSerial;
        case EINVAL:
        case EOPNOTSUPP:
            return peNotSupported;
        case EIO:
        case EPIPE:
        case ECONNRESET:
            return peLost;
        case ETIMEDOUT:
            return peTimeOut;
        default:
            return peOther;
    }
}

TPortFailure Failure(int err) {
    TPortFailure f;
    f.Code = FromErrno(err);
    f.Errno = err;
    return f;
}

TPortFailure Failure(TPortError code) {
    TPortFailure f;
    f.Code = code;
    return f;
}

TPortFailure NotSupported(TPortSetting setting, const TLineSettings& line, int err) {
    TPortFailure f = Failure(peNotSupported);
    f.Errno = err;
    f.Setting = setting;
    f.DataBits = line.DataBits + 4;
    f.StopBits = line.Stop;
    f.Rate = line.Rate;
    return f;
}

QByteArray SystemText(int err) {
    char buffer[256];
    return QByteArray(strerror_r(err, buffer, sizeof buffer));
}

QByteArray Reason(const TPortFailure& f) {
    QByteArray text;
    switch (f.Code) {
        case peNone:
            return {};
        case peNoPort:
            text = W("es ist keine Schnittstelle gewählt");
            break;
        case peBusy:
            text = "sie wird von einem anderen Programm benutzt";
            break;
        case peNotPermitted:
            text = W("keine Berechtigung für das Gerät");
            break;
        case peNoDevice:
            text = W("das Gerät ist nicht vorhanden");
            break;
        case peNotSerial:
            text = W("das Gerät ist keine serielle Schnittstelle");
            break;
        case peNotSupported:
            text = W("das Gerät unterstützt ") + SettingText(f) + " nicht";
            break;
        case peLost:
            text = W("die Verbindung zum Gerät ist verloren gegangen");
            break;
        case peTimeOut:
            text = W("das Gerät antwortet nicht (Zeitüberschreitung)");
            break;
        case peOther:
            text = "Fehler des Betriebssystems";
            break;
    }
    if (f.Errno != 0) text += " (" + SystemText(f.Errno) + ")";
    return text;
}

QByteArray Hint(TPortError code, int port) {
    const QByteArray entry = Port::MapFolder() + "/COM" + QByteArray::number(port);
    switch (code) {
        case peNoPort:
            return W("Bitte unter Einstellungen / Schnittstelle eine Schnittstelle wählen.");
        case peBusy:
            return "Beenden Sie das andere Programm und verbinden Sie erneut.";
        case peNotPermitted:
            return DialoutHint();
        case peNoDevice:
            return "Ist der Adapter eingesteckt? Die Zuordnung steht in " + entry + ".";
        case peNotSerial:
            return W("Bitte die Zuordnung in ") + entry + W(" prüfen.");
        case peNotSupported:
            return W(
                "Bitte die Einstellung unter Einstellungen / Parameter oder "
                "Erweiterte Einstellungen ändern.");
        case peLost:
            return W("Bitte das Gerät prüfen und erneut verbinden.");
        case peTimeOut:
            return W("Bitte Kabel und Gerät prüfen.");
        case peNone:
        case peOther:
            break;
    }
    return {};
}

QByteArray OpenFailureText(int port, const TPortFailure& failure) {
    if (port <= 0 || failure.Code == peNoPort) {
        return W("Es ist keine Schnittstelle gewählt. ") + Hint(peNoPort, port);
    }
    QByteArray text =
        "Die Schnittstelle COM" + QByteArray::number(port) + W(" kann nicht geöffnet werden");
    const QByteArray reason = Reason(failure);
    if (!reason.isEmpty()) text += ": " + reason;
    text += ".";
    if (!failure.Device.isEmpty()) text += W(" Gerät: ") + failure.Device + ".";
    const QByteArray hint = Hint(failure.Code, port);
    if (!hint.isEmpty()) text += "\r" + hint;
    return text;
}

QByteArray DtrDsrIgnoredText() {
    return W(
        "Die gespeicherten Einstellungen verlangen DTR/DSR-Handshake. Linux bietet diesen "
        "Handshake nicht: die Schnittstelle wird ohne ihn geöffnet, DTR bleibt gesetzt "
        "und DSR wird nicht beachtet.\r"
        "Damit diese Meldung nicht mehr kommt: Einstellungen / Erweiterte Einstellungen "
        "mit Ok bestätigen und unter Einstellungen / speichern sichern.");
}

QByteArray DtrDsrUnavailableText() { return W("unter Linux nicht verfügbar"); }

QByteArray DtrDsrUnavailableTip() {
    return W(
        "Linux kennt keine Flusssteuerung über DTR/DSR. Bitte RTS/CTS-Handshake oder "
        "das XOn/XOff-Protokoll verwenden.");
}

QByteArray NotPermittedMark() { return " (keine Berechtigung)"; }

QByteArray DialoutHint() {
    return "Der Benutzer muss Mitglied der Gruppe \"dialout\" sein "
           "(sudo usermod -aG dialout $USER, danach neu anmelden).";
}

}  // namespace PortError
