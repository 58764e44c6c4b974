#pragma once
// The per-user workspace of a start from the desktop menu (`dnc-server --workspace`): a
// folder of the user's own, ~/DNC-Server, made on the first start with a Config.ini whose
// folders exist, so that the window meets working settings wherever the desktop started it.
#include <QByteArray>
#include <QString>

class TForm1;

namespace Workspace {

// The folder names inside the workspace: the log and programs loaded by hand, and the
// programs received from the machine.
inline constexpr char kSendFolder[] = "senden";
inline constexpr char kSaveFolder[] = "empfangen";
inline constexpr char kLogName[] = "DNC-Protokoll";

// $HOME/DNC-Server.
QString Folder();

struct TEntered {
    QString folder;               // absolute
    bool created = false;         // made by this start: Config.ini, folders, log
    bool serialDefaults = false;  // SerDemo.ini was missing and now holds COM1, 4800 8N1
    QByteArray serialProblem;     // ...or could not be written: why
};

// Makes the workspace where it has no Config.ini yet (an existing Config.ini is never
// touched), makes it the working folder, and writes SerDemo.ini's defaults where the user
// has none. Throws FileError naming the path and the reason; a SerDemo.ini that cannot be
// written is only said.
TEntered Enter(const QString& folder = Folder());

// The commented Config.ini of a new workspace (Windows-1252, CR LF): the keys say what each
// line means, the values are working settings.
QByteArray ConfigText();

// Tells the user where the workspace is and what goes where (a box on the first start; a
// trace line in the main window on every start).
void Announce(TForm1* form, const TEntered& entered);
QByteArray FirstStartText(const TEntered& entered);

}  // namespace Workspace
