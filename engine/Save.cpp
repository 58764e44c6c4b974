// Saving a received program in the save folder under the name the machine wrote after
// "DFS,". A received program is never lost: without a usable name it is saved under a
// fresh name of its own, and it stays in "xxx.tmp" until the next transmission ends.
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include "common/Ansi.h"
#include "config/ConfigValues.h"
#include "engine/TransferEngine.h"
#include "engine/TransferRules.h"

namespace {

QByteArray Num(qint64 n) { return QByteArray::number(n); }

// "Empfang-20261208-103412.CNC", with "-2", "-3" ... when that name is taken.
QByteArray FreshName(const QByteArray& folder) {
    const QByteArray stem =
        "Empfang-" + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss").toLatin1();
    QByteArray name = stem + "." + CfgExt();
    for (int i = 2;
         QFileInfo::exists(TransferRules::JoinPath(Ansi::ToQString(folder), Ansi::ToQString(name)));
         ++i) {
        name = stem + "-" + Num(i) + "." + CfgExt();
    }
    return name;
}

}  // namespace

void TTransferEngine::RevFileSave() {
    using namespace TransferRules;
    // 1.
    View->Trace("---" + ForTrace(RxPrg));

    const qsizetype total = RxPrg.size();
    bool hasKeyword = false;
    const QByteArray dfsName = DfsName(RxPrg, &hasKeyword);
    QByteArray name;     // file name inside the save folder
    QString chosenPath;  // or a full path the user chose
    if (hasKeyword) {
        // 2.
        name = dfsName + "." + CfgExt();
        View->Trace("Datei Name ist zum Speichern in " + name + "  Zeichen" + Num(total));
        View->Banner(
            "Datei mit Prg Nr. " + name + " wurde empfangen mit " + Num(total) + " Zeichen",
            TBanner::Replace);
        const QByteArray reason = UnsafeNameReason(dfsName);
        if (!reason.isEmpty()) {
            // A name from the line is a file name, never a path; and an empty one would make
            // every such program replace the last.
            name = FreshName(CfgSave());
            View->Trace(Ansi::Lit("Name nach DFS, abgelehnt (") + reason +
                        Ansi::Lit("), gespeichert als ") + name);
        }
    } else {
        // 3.
        Modal::Info(View->DialogParent(),
                    "File konnte nicht decodiert werden.Neuer File zum Speichern eingeben");
        // The dialog opens in the save folder (the working folder when none is set).
        Modal::FileDialog dialog = OpenDialogSave;
        dialog.directory = CfgSave().isEmpty() ? QDir::currentPath() : Ansi::ToQString(CfgSave());
        chosenPath = Modal::Current().FileName(View->DialogParent(), dialog);
        if (chosenPath.isEmpty()) {
            name = FreshName(CfgSave());
            View->Trace(Ansi::Lit("Kein Name gewählt, gespeichert als ") + name);
        }
    }

    // 4-7.
    View->SaveFolderShown(CfgSave());
    const QString path = chosenPath.isEmpty()
                             ? JoinPath(Ansi::ToQString(CfgSave()), Ansi::ToQString(name))
                             : chosenPath;
    const QByteArray pathText = Ansi::FromQString(path);
    View->Banner("Empfangene Datei wird gespeichert als  " + pathText + "  / Zeichen " + Num(total),
                 TBanner::ReplaceBlue);

    // 8-9. Replaced atomically: a crash leaves the old program or the new one.
    if (QFileInfo::exists(path)) {
        Modal::Info(View->DialogParent(), "Neuer File zum Speichern schon vorhanden");
    }
    WriteFileAtomic(path, RxPrg, "\r\n");

    // 10-11.
    RxPrg.clear();
    ++PrgCount;
    LogText = pathText + " PRG Nr = " + Num(PrgCount);
    LogFile();
}

void TTransferEngine::RemoveLeftTemporaries() {
    for (const QByteArray& folder : {CfgSave(), QByteArray()}) {
        for (const QString& path : TransferRules::RemoveLeftTemporaries(Ansi::ToQString(folder))) {
            View->Trace(Ansi::Lit("Unvollständige Datei eines Abbruchs entfernt: ") +
                        Ansi::FromQString(path));
        }
    }
}
