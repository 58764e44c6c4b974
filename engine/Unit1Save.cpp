// Saving a received program in the save folder under the name the machine wrote after
// "DFS,". A received program is never lost: without a usable name it is saved under a
// fresh name of its own, and it stays in "xxx.tmp" until the next transmission ends.
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include "common/Ansi.h"
#include "config/ConfigValues.h"
#include "config/Unit3.h"
#include "engine/TransferRules.h"
#include "engine/Unit1.h"

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

QByteArray ForDisplay(QByteArray text) { return text.replace("\r\n", "\n"); }

}  // namespace

void TForm1::RevFileSave() {
    using namespace TransferRules;
    // 1.
    AppendLine(MemoFile, "---" + ForDisplay(RxPrg));

    const qsizetype total = RxPrg.size();
    bool hasKeyword = false;
    const QByteArray dfsName = DfsName(RxPrg, &hasKeyword);
    QByteArray name;     // file name inside the save folder
    QString chosenPath;  // or a full path the user chose
    if (hasKeyword) {
        // 2.
        name = dfsName + "." + CfgExt();
        AppendLine(MemoFile, "Datei Name ist zum Speichern in " + name + "  Zeichen" + Num(total));
        MemoInfo->setVisible(true);
        MemoInfo->setPlainText(Ansi::ToQString("Datei mit Prg Nr. " + name +
                                               " wurde empfangen mit " + Num(total) + " Zeichen"));
        const QByteArray reason = UnsafeNameReason(dfsName);
        if (!reason.isEmpty()) {
            // A name from the line is a file name, never a path; and an empty one would make
            // every such program replace the last.
            name = FreshName(CfgSave());
            AppendLine(MemoFile, Ansi::Lit("Name nach DFS, abgelehnt (") + reason +
                                     Ansi::Lit("), gespeichert als ") + name);
        }
    } else {
        // 3.
        Modal::Info(this, "File konnte nicht decodiert werden.Neuer File zum Speichern eingeben");
        Modal::FileDialog dialog = OpenDialogSave;
        dialog.save = true;
        if (dialog.directory.isEmpty()) dialog.directory = Ansi::ToQString(CfgSave());
        chosenPath = Modal::Current().FileName(this, dialog);
        if (chosenPath.isEmpty()) {
            name = FreshName(CfgSave());
            AppendLine(MemoFile, Ansi::Lit("Kein Name gewählt, gespeichert als ") + name);
        }
    }

    // 4-7.
    if (Form3 != nullptr) Form3->TMemSave->setPlainText(Ansi::ToQString(CfgSave()));
    MemoInfo->setVisible(true);
    SetTextColor(MemoInfo, QColor(0, 0, 255));
    const QString path = chosenPath.isEmpty()
                             ? JoinPath(Ansi::ToQString(CfgSave()), Ansi::ToQString(name))
                             : chosenPath;
    const QByteArray pathText = Ansi::FromQString(path);
    MemoInfo->setPlainText(Ansi::ToQString("Empfangene Datei wird gespeichert als  " + pathText +
                                           "  / Zeichen " + Num(total)));

    // 8-9. Replaced atomically: a crash leaves the old program or the new one.
    if (QFileInfo::exists(path)) Modal::Info(this, "Neuer File zum Speichern schon vorhanden");
    WriteFileAtomic(path, RxPrg + "\r\n");

    // 10-11.
    RxPrg.clear();
    ++PrgCount;
    LogText = pathText + " PRG Nr = " + Num(PrgCount);
    LogFile();
}
