#include "mainwindow/Workspace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/FileReplace.h"
#include "common/Modal.h"
#include "engine/IniFile.h"
#include "engine/SerialSettings.h"
#include "mainwindow/Unit1.h"
#include "serial/Port.h"
#include "serial/Serial.h"

namespace Workspace {

namespace {

void MakeFolder(const QString& path) {
    errno = 0;
    if (!QDir().mkpath(path)) throw FileError("Ordner anlegen", path, errno != 0 ? errno : EEXIST);
}

// The settings the window starts with anyway, on COM1 (whether or not it is there now): the
// user changes them in the menu.
void SaveDefaultSerialSettings() {
    TSerial serial;
    SetServerDefaults(serial);
    SaveSerialSettings(serial, 1);
}

}  // namespace

QString Folder() { return QDir::homePath() + QStringLiteral("/DNC-Server"); }

QByteArray ConfigText() {
    // The file is read by line number; the keys are free text, so they carry the comments.
    const QList<QByteArray> lines = {
        "Config.ini=16",
        Ansi::Lit("Hinweis=Jede Zeile hat ihre feste Bedeutung, nur der Wert nach dem = zählt"),
        Ansi::Lit("Hinweis=Ändern unter Einstellungen / Server Einstellung (Kennwort)"),
        Ansi::Lit("Hinweis=NC-Programme zum Senden liegen in diesem Ordner"),
        Ansi::Lit("Extension (Endung der NC-Programme)=CNC"),
        "LogBuch (Protokolldatei im SendeOrdner)=" + QByteArray(kLogName),
        Ansi::Lit("Abrufkennung (vor der Programmnummer im Abruf)=O"),
        "ProgrammEnde=M30",
        "ComPort (nur Anzeige)=COM1 4800,N,8,1 RTS/CTS",
        Ansi::Lit("ProgrammKennung (nach dem % im Abruf)=Prg"),
        "Verweilzeit (ms vor jeder Zeile)=50",
        "SendeOrdner (Protokoll, Programme von Hand)=" + QByteArray(kSendFolder),
        "SpeicherOrdner (empfangene Programme)=" + QByteArray(kSaveFolder),
        Ansi::Lit("Ruhezeit (s ohne Daten, dann endet ein Empfang unvollständig)=5"),
        Ansi::Lit("Namen (DFS: nur der Name nach DFS,; Programm: sonst der Name im Programmkopf, "
                  "O1234 wird 1234.CNC)=Programm"),
        "Zeilenende (nach jeder gesendeten Zeile: CRLF, LF, CR oder LFCRCR)=CRLF",
    };
    QByteArray text;
    for (const QByteArray& line : lines) text += line + "\r\n";
    return text;
}

TEntered Enter(const QString& folder) {
    TEntered entered;
    entered.folder = QFileInfo(folder).absoluteFilePath();
    const QDir dir(entered.folder);
    if (!QFileInfo(dir.filePath(QStringLiteral("Config.ini"))).exists()) {
        MakeFolder(dir.filePath(QLatin1String(kSendFolder)));
        MakeFolder(dir.filePath(QLatin1String(kSaveFolder)));
        // An empty log: the first start needs no box about a missing one.
        const QString log = dir.filePath(QLatin1String(kSendFolder) + QStringLiteral("/") +
                                         QLatin1String(kLogName) + QStringLiteral(".log"));
        if (!QFileInfo::exists(log)) ReplaceFileContent(log, {}, "Log-Datei anlegen");
        ReplaceFileContent(dir.filePath(QStringLiteral("Config.ini")), ConfigText(),
                           "Config.ini anlegen");
        entered.created = true;
    }
    if (!QDir::setCurrent(entered.folder)) {
        throw FileError(Ansi::Lit("Arbeitsordner öffnen"), entered.folder,
                        Ansi::Lit("nicht möglich"));
    }
    // Settings that cannot be written keep nobody out of the workspace: the window starts
    // without them and says why.
    if (!QFileInfo::exists(SerDemoIniPath())) {
        try {
            SaveDefaultSerialSettings();
            entered.serialDefaults = true;
        } catch (const std::exception& e) {
            entered.serialProblem = e.what();
        }
    }
    return entered;
}

QByteArray FirstStartText(const TEntered& entered) {
    const QByteArray folder = Ansi::FromQString(entered.folder);
    QByteArray text = Ansi::Lit("Ihr Arbeitsordner wurde angelegt: ") + folder + "\r\r" +
                      Ansi::Lit(
                          "Config.ini: die Übertragungseinstellungen (ändern unter Einstellungen / "
                          "Server Einstellung)\r"
                          "NC-Programme zum Senden: in diesen Ordner legen\r") +
                      Ansi::Lit("Empfangene Programme: ") + folder + "/" + kSaveFolder + "\r" +
                      Ansi::Lit("Protokoll: ") + folder + "/" + kSendFolder + "/" + kLogName +
                      ".log";
    if (entered.serialDefaults) {
        text += Ansi::Lit(
                    "\r\rSchnittstelle: COM1 mit 4800 Bit/s, 8 Datenbits, keine Parität, 1 "
                    "Stoppbit, RTS/CTS (ändern unter Einstellungen / Schnittstelle und "
                    "Parameter, dann Einstellungen / speichern). COM1 ist das Gerät ") +
                Port::DeviceName(1) + Ansi::Lit(" (ein anderes: Link ") + Port::MapFolder() +
                "/COM1).";
    }
    return text;
}

void Announce(TForm1* form, const TEntered& entered) {
    form->Trace(Ansi::Lit(" Arbeitsordner ") + Ansi::FromQString(entered.folder));
    if (!entered.serialProblem.isEmpty()) form->Trace(entered.serialProblem);
    form->FlushMemos();
    if (entered.created) Modal::Info(form, FirstStartText(entered));
}

}  // namespace Workspace
