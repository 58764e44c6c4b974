// Saving a received program in the save folder under the name the machine wrote after
// "DFS,", or, with "Namen=Programm", under the name its control wrote in its header
// (ProgramHeader.h). A received program is never lost: without a usable name it is saved under
// a fresh name of its own; a program it replaces is kept as a version first; when the save
// fails it is kept in "nicht-gespeichert" under the working folder and that is said
// everywhere. A note beside "xxx.tmp" lasts from the start of a save to its log entry, so
// that the start after a crash can finish what the crash cut.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <utility>

#include "common/Ansi.h"
#include "common/FilePaths.h"
#include "common/FileReplace.h"
#include "common/Versions.h"
#include "config/ConfigValues.h"
#include "engine/KeepReceived.h"
#include "engine/LogFile.h"
#include "engine/ProgramHeader.h"
#include "engine/TransferEngine.h"
#include "engine/TransferRules.h"

namespace {

const char kLastTransmission[] = "xxx.tmp";
// The save under way: target, log entry, log file and its length before the entry, and the
// length of xxx.tmp.
const char kSaveNote[] = ".xxx.tmp.ziel";

QByteArray Num(qint64 n) { return QByteArray::number(n); }

// "Empfang-20261208-103412.CNC", with "-2", "-3" ... when that name is taken.
QByteArray FreshName(const QByteArray& folder) {
    const QByteArray stem =
        "Empfang-" + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss").toLatin1();
    QByteArray name = stem + "." + CfgExt();
    for (int i = 2; QFileInfo::exists(JoinPath(Ansi::ToQString(folder), Ansi::ToQString(name)));
         ++i) {
        name = stem + "-" + Num(i) + "." + CfgExt();
    }
    return name;
}

QByteArray ReadWhole(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 FileSize(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() ? info.size() : 0;
}

// The save folder as the user knows it: the working folder when none is set.
QString SaveFolderPath() {
    return CfgSave().isEmpty() ? QDir::currentPath() : Ansi::ToQString(CfgSave());
}

}  // namespace

ConfigFile::TNaming TTransferEngine::Naming() {
    ConfigFile::TNaming naming = ConfigFile::TNaming::Dfs;
    const bool usable = ConfigFile::Naming(CfgNames(), &naming);
    SayUnusable(CfgSlot::Names, usable,
                Ansi::Lit("Namen \"") + CfgNames().trimmed() +
                    Ansi::Lit("\" ist weder DFS noch Programm: Programme werden nur nach DFS, "
                              "benannt"));
    return naming;
}

TTransferEngine::TReceivedName TTransferEngine::NameInText(const QByteArray& text) {
    using namespace TransferRules;
    const bool byProgram = Naming() == ConfigFile::TNaming::Program;
    TReceivedName n;
    n.Stem = DfsName(text, &n.Named);
    n.Ext = CfgExt();
    if (n.Named) n.Refused = UnsafeNameReason(n.Stem);
    // The "DFS," name first, then the name in the program's header.
    if (!byProgram || (n.Named && n.Refused.isEmpty())) return n;
    const ProgramHeader::TName header = ProgramHeader::Find(text);
    if (header.Stem.isEmpty()) return n;
    n.DfsRefused = std::exchange(n.Refused, header.Refused);
    n.Named = n.ByHeader = true;
    n.Stem = header.Stem;
    if (!header.Ext.isEmpty()) n.Ext = header.Ext;
    return n;
}

TTransferEngine::TReceivedName TTransferEngine::ReceivedName(const QByteArray& text) {
    TReceivedName n = NameInText(text);
    if (!n.Refused.isEmpty()) {
        n.Stem.clear();
        n.Ext = CfgExt();
    }
    return n;
}

void TTransferEngine::RevFileSave() {
    using namespace TransferRules;
    View->Trace("---" + ForTrace(RxPrg));

    const qsizetype total = RxPrg.size();
    const TReceivedName named = NameInText(RxPrg);
    QByteArray name;     // file name inside the save folder
    QString chosenPath;  // or a full path the user chose
    if (named.Named) {
        name = named.Stem + "." + named.Ext;
        View->Trace("Datei Name ist zum Speichern in " + name + "  Zeichen" + Num(total));
        View->Banner(
            "Datei mit Prg Nr. " + name + " wurde empfangen mit " + Num(total) + " Zeichen",
            TBanner::Replace);
        // A name from the line is a file name, never a path; and an empty one would make
        // every such program replace the last.
        if (!named.DfsRefused.isEmpty()) {
            View->Trace(Ansi::Lit("Name nach DFS, abgelehnt (") + named.DfsRefused + ")");
        }
        if (!named.Refused.isEmpty()) {
            name = FreshName(CfgSave());
            View->Trace((named.ByHeader ? Ansi::Lit("Programmname abgelehnt (")
                                        : Ansi::Lit("Name nach DFS, abgelehnt (")) +
                        named.Refused + Ansi::Lit("), gespeichert als ") + name);
        }
    } else {
        // Without a name: the operator names it. While it chooses, a crash leaves this note
        // (the program is in xxx.tmp): the next start keeps it.
        NoteSave({}, {});
        Modal::Info(View->DialogParent(),
                    "File konnte nicht decodiert werden.Neuer File zum Speichern eingeben");
        // The dialog opens in the save folder (the working folder when none is set).
        Modal::FileDialog dialog = OpenDialogSave;
        dialog.directory = SaveFolderPath();
        chosenPath = Modal::Current().FileName(View->DialogParent(), dialog);
        if (chosenPath.isEmpty()) {
            name = FreshName(CfgSave());
            View->Trace(Ansi::Lit("Kein Name gewählt, gespeichert als ") + name);
        }
    }

    View->SaveFolderShown(CfgSave());
    const QString path = chosenPath.isEmpty()
                             ? JoinPath(Ansi::ToQString(CfgSave()), Ansi::ToQString(name))
                             : chosenPath;
    const QByteArray pathText = Ansi::FromQString(path);
    View->Banner("Empfangene Datei wird gespeichert als  " + pathText + "  / Zeichen " + Num(total),
                 TBanner::ReplaceBlue);

    // The program it replaces is kept as a version first; the new one is written
    // through a temporary, so a crash leaves the old program or the new one. The "schon
    // vorhanden" box comes once the program is on disk: no box holds a received program back.
    // From here until its log entry a crash leaves this note, and the program in xxx.tmp.
    const QByteArray logText = pathText + " PRG Nr = " + Num(PrgCount + 1);
    NoteSave(path, logText);
    const bool replaces = QFileInfo::exists(path);
    QString version;
    try {
        version = Versions::Keep(path, [&] {
            WriteAtomic(path, RxPrg, "\r\n", [this] { StopForTest("before-rename"); });
        });
    } catch (const std::exception& e) {
        KeepUnsaved(pathText, QByteArray(e.what()));
        return;
    }
    StopForTest("after-rename");

    RxPrg.clear();
    ++PrgCount;
    std::exception_ptr logError;
    try {
        Log(logText);
    } catch (...) {
        logError = std::current_exception();
    }
    // An entry that waits is only in memory: the note stays for a start after a crash.
    if (!logError) ForgetSave();
    if (replaces) {
        const QByteArray note = "Neuer File zum Speichern schon vorhanden";
        View->Trace(note + Ansi::Lit(": die vorherige Fassung ist gesichert als ") +
                    Ansi::FromQString(version));
        Modal::Info(View->DialogParent(), note);
    }
    if (logError) std::rethrow_exception(logError);
}

void TTransferEngine::KeepUnsaved(const QByteArray& pathText, const QByteArray& reason) {
    QByteArray where;
    try {
        const TReceivedName name = ReceivedName(RxPrg);
        where = Ansi::Lit("gesichert als ") +
                Ansi::FromQString(KeepReceived(QLatin1String(kUnsavedFolder), name.Stem, name.Ext,
                                               RxPrg + "\r\n"));
        ForgetSave();
    } catch (const std::exception& e) {
        // The working folder takes nothing either: the program is only in xxx.tmp and here.
        where = Ansi::Lit("nur in xxx.tmp, bis zur nächsten Übertragung (") + QByteArray(e.what()) +
                ")";
    }
    const QByteArray note = pathText + " nicht gespeichert (" + reason + "), " + where;
    View->Trace(note);
    SetStatus(Ansi::Lit("Programm nicht gespeichert, ") + where);
    try {
        Log(note);
    } catch (const std::exception& e) {
        View->Trace(QByteArray(e.what()));
    }
    Modal::Error(View->DialogParent(), Ansi::Lit("Das empfangene Programm wurde nicht "
                                                 "gespeichert.\r") +
                                           reason + "\r" + Ansi::Lit("Es ist ") + where + ".");
}

// ---- the note of a save under way, and the start after a crash ------------------------------

void TTransferEngine::NoteSave(const QString& target, const QByteArray& logText) {
    const QByteArray log = LogFileNameFor(CfgSend(), CfgLog());
    const QByteArray note = Ansi::FromQString(target) + "\n" + logText + "\n" + log + "\n" +
                            Num(FileSize(LogPath(log))) + "\n" + Num(RxPrg.size() + 2) + "\n";
    try {
        WriteAtomic(QLatin1String(kSaveNote), note);
    } catch (const std::exception& e) {
        // Only the start after a crash would miss it: the save goes on.
        View->Trace(QByteArray(e.what()));
    }
}

void TTransferEngine::ForgetSave() { QFile::remove(QLatin1String(kSaveNote)); }

void TTransferEngine::StopForTest(const char* point) {
    if (TestStop) TestStop(point);
}

void TTransferEngine::RecoverLastSave() {
    if (!QFileInfo::exists(QLatin1String(kSaveNote))) return;
    const QList<QByteArray> note = ReadWhole(QLatin1String(kSaveNote)).split('\n');
    const QByteArray target = note.value(0);
    const QByteArray logText = note.value(1);
    const QString log = LogPath(note.value(2));
    const qint64 logBefore = note.value(3).toLongLong();
    // xxx.tmp as the save left it (a later transmission may have replaced it since).
    QByteArray last = ReadWhole(QLatin1String(kLastTransmission));
    if (last.size() != note.value(4).toLongLong()) last.clear();
    const QString targetPath = Ansi::ToQString(target);

    if (!target.isEmpty() && !last.isEmpty() && ReadWhole(targetPath) == last) {
        // Saved whole; only its log entry may be missing. The note stays until the entry is
        // written, and a later start finds it then.
        QFile file(log);
        const bool logged = file.open(QIODevice::ReadOnly) && file.seek(logBefore) &&
                            file.readAll().contains(logText);
        if (!logged) {
            View->Trace(Ansi::Lit("Vor dem Abbruch gespeichert, ohne Protokolleintrag: ") + target +
                        Ansi::Lit(" (wird nachgetragen)"));
            Log(logText + " (nach Abbruch nachgetragen)");
        }
        ForgetSave();
    } else if (!last.isEmpty()) {
        // The save did not end: the program is only in xxx.tmp, which the next transmission
        // would overwrite.
        const TReceivedName name = ReceivedName(last);
        const QString kept = KeepReceived(QLatin1String(kUnsavedFolder), name.Stem, name.Ext, last);
        ForgetSave();
        const QByteArray text = (target.isEmpty() ? QByteArray(kLastTransmission) : target) +
                                Ansi::Lit(
                                    " nicht gespeichert (Abbruch beim Speichern), die "
                                    "letzte Übertragung war nur in xxx.tmp: gesichert als ") +
                                Ansi::FromQString(kept);
        View->Trace(text);
        SetStatus(Ansi::Lit("Letzte Übertragung war nur in xxx.tmp, gesichert als ") +
                  Ansi::FromQString(kept));
        Log(text);
    } else {
        ForgetSave();
    }
}

void TTransferEngine::RemoveLeftTemporaries() {
    const QString save = Ansi::ToQString(CfgSave());
    const QString versions = JoinPath(save, QLatin1String(Versions::kFolder));
    for (const QString& folder :
         {save, versions, QString(), QString(kUnsavedFolder), QString(kIncompleteFolder)}) {
        for (const QString& path : RemoveOrphanTemporaries(folder)) {
            View->Trace(Ansi::Lit("Unvollständige Datei eines Abbruchs entfernt: ") +
                        Ansi::FromQString(path));
        }
    }
}

void TTransferEngine::CheckFolders() {
    struct Folder {
        const char* label;
        QByteArray value;
        const char* consequence;
    };
    const Folder folders[] = {
        {"Speicherort ablegen", CfgSave(),
         "empfangene Programme werden bis dahin in \"nicht-gespeichert\" im Arbeitsordner "
         "gesichert"},
        {"Speicherort übertragen", CfgSend(),
         "das Protokoll kann dort nicht geschrieben werden, Einträge warten"},
    };
    for (const Folder& f : folders) {
        const QString path = f.value.isEmpty() ? QDir::currentPath() : Ansi::ToQString(f.value);
        const QByteArray problem = FolderWriteProblem(path);
        if (problem.isEmpty()) continue;
        const QByteArray text = Ansi::Lit(f.label) + " \"" + Ansi::FromQString(path) + "\" " +
                                problem + ": " + Ansi::Lit(f.consequence);
        View->Trace(text);
        SetStatus(text);
    }
}
