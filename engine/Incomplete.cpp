// Receptions that are not a whole program: one longer than the receive limit goes on in
// "xxx.tmp"; one that ended by the quiet time or a lost device goes whole to "unvollstaendig"
// (KeepReceived.h), is said and logged, and is never saved under its name.
#include <QFileInfo>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/FileReplace.h"
#include "config/ConfigValues.h"
#include "engine/KeepReceived.h"
#include "engine/TransferEngine.h"
#include "engine/TransferRules.h"

namespace {

const char kTempFile[] = "xxx.tmp";

QByteArray Num(qint64 n) { return QByteArray::number(n); }

QByteArray Shown(const QString& path) {
    return Ansi::FromQString(QFileInfo(path).absoluteFilePath());
}

}  // namespace

void TTransferEngine::SpillOverlong(const QByteArray& piece) {
    using namespace TransferRules;
    if (RxOverflow) {
        AppendSynced(kTempFile, piece);
        return;
    }
    RxOverflow = true;
    WriteAtomic(kTempFile, piece);
    View->Trace(Ansi::Lit("Empfang ohne Programmende über ") + Num(ReceiveLimit()) +
                Ansi::Lit(" Zeichen: Empfangenes steht in xxx.tmp, wird dort fortgesetzt und "
                          "nicht gespeichert"));
}

QString TTransferEngine::KeepIncompleteBytes(const QByteArray& text, const QByteArray& bytes) {
    const TReceivedName name = ReceivedName(text);
    return KeepReceived(QLatin1String(kIncompleteFolder), name.Stem, name.Ext, bytes);
}

void TTransferEngine::KeepIncomplete(const TTransmission& t) {
    using namespace TransferRules;
    const QByteArray why = t.Cut ? Ansi::Lit("Verbindung zum Gerät verloren")
                                 : "nach " + Num(QuietTimeMs() / 1000) + " s ohne Daten";
    // The head of a cut transmission was kept at the loss: its file gets the whole.
    const QString cutFile = t.Cut ? std::exchange(CutFile, QString()) : QString();
    QString path;
    qint64 total = t.Text.size();
    try {
        if (t.Spilled) {
            // The head is in "xxx.tmp" already, with the name: the rest follows it there, and
            // the whole moves to "unvollstaendig".
            RxOverflow = false;
            AppendSynced(kTempFile, t.Text);
            total = QFileInfo(QString::fromLatin1(kTempFile)).size();
            QFile head(QString::fromLatin1(kTempFile));
            const TReceivedName name =
                ReceivedName(head.open(QIODevice::ReadOnly) ? head.read(4096) : t.Text);
            path = KeepReceivedFile(QLatin1String(kIncompleteFolder), name.Stem, name.Ext,
                                    QString::fromLatin1(kTempFile));
        } else if (!cutFile.isEmpty()) {
            path = cutFile;
            WriteAtomic(path, t.Text);
        } else {
            path = KeepIncompleteBytes(t.Text, t.Text);
        }
    } catch (const FileError& e) {
        // Nothing is lost still: the bytes go to "xxx.tmp", and the message says so.
        const QByteArray text = Ansi::Lit("Empfang unvollständig (") + why + "), " +
                                QByteArray(e.what()) + Ansi::Lit(": die Zeichen stehen in xxx.tmp");
        if (!t.Spilled) WriteAtomic(kTempFile, t.Text);
        View->Trace(text);
        SetStatus(text);
        Log(text + " ");
        return;
    }
    const QByteArray where = Shown(path);
    const QByteArray text = Ansi::Lit("Empfang unvollständig (") + why + "): " + Num(total) +
                            " Zeichen stehen in " + where + ", nicht gespeichert";
    View->Trace(text);
    SetStatus(text);
    Log(where + Ansi::Lit(" unvollständig empfangen (") + why + ") ");
}

void TTransferEngine::KeepCutHead() {
    try {
        CutFile = KeepIncompleteBytes(Framing.Held(), Framing.Held());
        View->Trace(Ansi::Lit("Empfang unterbrochen: ") + Num(Framing.Held().size()) +
                    Ansi::Lit(" Zeichen stehen in ") + Shown(CutFile) +
                    Ansi::Lit(", was nach dem Wiederverbinden folgt, kommt dazu"));
    } catch (const FileError& e) {
        View->Trace(QByteArray(e.what()));
    }
}
