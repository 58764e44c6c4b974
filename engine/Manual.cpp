// Manual operation at the PC: loading a program into the send table and sending it by hand,
// and typing onto the line.
#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/FilePaths.h"
#include "common/TextFile.h"
#include "config/ConfigValues.h"
#include "engine/TransferEngine.h"
#include "engine/TransferRules.h"
#include "serial/Serial.h"

void TTransferEngine::PrgLoad(const QByteArray& fileName) {
    // A load now would swap the program a transfer is sending.
    if (RefusedWhileBusy()) return;
    LoadFileName = fileName;
    QStringList alternatives;
    QString path = FindIgnoringCase(Ansi::ToQString(fileName), &alternatives);
    if (path.isEmpty() && !alternatives.isEmpty()) {
        throw FileError(Ansi::Lit("Datei öffnen"), Ansi::ToQString(fileName),
                        Ansi::Lit("mehrere Dateien unterscheiden sich nur in der "
                                  "Groß-/Kleinschreibung: ") +
                            Ansi::FromQString(alternatives.join(QStringLiteral(", "))));
    }
    if (path.isEmpty()) path = Ansi::ToQString(fileName);  // the read says why it fails

    bool opened = false;
    QByteArray content;
    try {
        content = TextFile::ReadAll(path, &opened);
    } catch (...) {
        // A file that opened but could not be read leaves nothing to send by hand; one that
        // did not open leaves the earlier program loaded.
        if (opened) SendCount = 0;
        throw;
    }
    auto table = std::make_shared<const TSendTable>(TSendTable::FromContent(std::move(content)));
    SendTable = table;
    SendIndex = table->Count() + 1;
    if (table->Count() > 0) View->ProgramLoaded(*table, TProgramShown::ByHand);
    SetStatus("Datei  " + LoadFileName + " eingelesen");
    View->ShowTrace();
    SendCount = SendIndex;
}

void TTransferEngine::NCBlockSend() {
    // Another program's lines must not come between this program's lines.
    if (RefusedWhileBusy()) return;
    const int last = std::min(SendCount - 1, SendTable->Count());
    if (last >= 1) View->ProgramLoaded(*SendTable, TProgramShown::SendByHand);
    View->ShowTrace();
    SetStatus("Datei wird gesendet mit / ");
    if (last < 1) {
        SetStatus(QByteArray::number(TxCount) + " Zeichen gesendet");
        return;
    }
    AutoSendSerial(TSendKind::ByHand);
}

bool TTransferEngine::MemoTrmKeyPress(char key) {
    if (RefusedWhileBusy()) return false;
    // Enter sends the line end the machine takes.
    const int written = Serial1->WriteString(key == '\r' ? LineEnd() : QByteArray(1, key));
    TxCount += written;
    SetStatus(QByteArray::number(TxCount) + " Zeichen gesendet");
    return true;
}
