// Sending a called program: loading it into the send table, writing it line by line after
// the dwell (on a TSendJob, reported here), and the test button that plays a call from a
// file on the PC.
#include <QCoreApplication>
#include <QFileInfo>

#include "common/Ansi.h"
#include "common/FilePaths.h"
#include "common/HandlerGuard.h"
#include "common/TextFile.h"
#include "config/ConfigFile.h"
#include "config/ConfigValues.h"
#include "engine/TransferEngine.h"
#include "engine/TransferRules.h"
#include "serial/Serial.h"

namespace {

QByteArray Num(qint64 n) { return QByteArray::number(n); }

// "1 min 20 s", "45 s".
QByteArray Duration(int seconds) {
    if (seconds >= 3600) {
        return Num(seconds / 3600) + " h " + Num(seconds / 60 % 60) + " min";
    }
    if (seconds >= 60) return Num(seconds / 60) + " min " + Num(seconds % 60) + " s";
    return Num(seconds) + " s";
}

}  // namespace

// The called or test file is missing. Cancel lets the user pick a file in OpenDialogCnc,
// which then names the log file that "Check / LogFile" shows.
void TTransferEngine::ReportMissingFile(const QStringList& alternatives) {
    QByteArray text = "Datei nicht vorhanden / Neuer File eingeben";
    if (!alternatives.isEmpty()) {
        text += Ansi::Lit(
                    "\rEs gibt mehrere Dateien, die sich nur in der Groß-/Kleinschreibung "
                    "unterscheiden: ") +
                Ansi::FromQString(alternatives.join(QStringLiteral(", ")));
    }
    const Modal::Answer answer = Modal::Error(View->DialogParent(), text, {}, true);
    if (answer != Modal::Answer::Cancel) return;
    const QString chosen = Modal::Current().FileName(View->DialogParent(), OpenDialogCnc);
    if (!chosen.isEmpty()) {
        OpenDialogCnc.defaultSuffix = "log";
        LogFileName = Ansi::FromQString(chosen);
    }
    OpenDialogCnc.filter =
        Modal::DialogFilter("Log Programme(*.log)|*.log|Alle Programme (*.*)|*.*");
}

bool TTransferEngine::SendPrgLoad() {
    // Programs copied from Windows keep their letter case.
    QStringList alternatives;
    const QString path = FindIgnoringCase(Ansi::ToQString(SendFileName), &alternatives);
    if (path.isEmpty()) {
        ReportMissingFile(alternatives);
        return false;
    }
    if (path != Ansi::ToQString(SendFileName)) {
        View->Trace("Datei " + SendFileName + " gefunden als " + Ansi::FromQString(path));
    }
    // Read whole, so a read error leaves the table as it was.
    auto table =
        std::make_shared<const TSendTable>(TSendTable::FromContent(TextFile::ReadAll(path)));
    SendCount = 0;
    SendTable = table;
    SendPath = path;
    SendIndex = table->Count() + 1;
    // The window shows the file as read and then line by line.
    SetStatus("Datei  " + SendFileName + " eingelesen");
    SendCount = SendIndex;
    View->ProgramLoaded(*table, TProgramShown::ForCall);
    SetStatus("Datei wird gesendet mit " + CfgComPort());
    QCoreApplication::processEvents();
    // Counted at loading, before the writes.
    const qint64 count = table->TotalLength();
    SessionTotal += static_cast<int>(count);
    SetStatus(Num(count) + " Zeichen gesendet, Zeichen Sitzung gesamt " + Num(SessionTotal));
    return true;
}

void TTransferEngine::AutoSendSerial(TSendKind kind, std::function<void(TSendEnd, int)> done) {
    // Never past the table, whoever filled it last.
    const int last = std::min(SendCount - 1, SendTable->Count());
    if (last <= 0) {
        if (done) done(TSendEnd::Complete, 0);
        return;
    }
    JobKind = kind;
    JobDone = std::move(done);
    JobAborted = false;
    BytesBeforeSend = Serial1->InQueueCount();
    JobAbortReason = "Abbruch Senden";
    JobEndReason.clear();
    DeviceWasLost = false;
    Stalled = false;
    // Taken once: the job runs off this thread, where the settings may not be read.
    JobDwellMs = kind == TSendKind::Called ? VerweilZeit() : 0;
    JobLineEnd = LineEnd();
    LastLines = 0;
    LastBytes = 0;
    JobTotalBytes = JobLineEnd.size() * qint64(last);
    for (int k = 1; k <= last; ++k) JobTotalBytes += SendTable->LineLength(k);
    SinceProgress.start();
    Job = std::make_unique<TSendJob>(Serial1, SendTable, 1, last, JobDwellMs, JobLineEnd, [this] {
        QMetaObject::invokeMethod(
            this, [this] { SendFinished(); }, Qt::QueuedConnection);
    });
    SendTimer.start();
    ReportProgress(true);
}

void TTransferEngine::SendTick() {
    if (!Job) return;
    const int lines = Job->LinesDone();
    if (lines > LastLines) {
        View->LinesSent(*SendTable, Job->First() + LastLines, Job->First() + lines - 1, JobKind);
        LastLines = lines;
    }
    const qint64 bytes = Job->BytesDone();
    if (bytes != LastBytes) {
        LastBytes = bytes;
        if (Stalled) StallEnded();
        SinceProgress.restart();
    }
    ReportProgress(true);
}

void TTransferEngine::StallEnded() {
    // Said once at its end, with its length: a pause of hours is two lines in a journal.
    Stalled = false;
    View->Trace(Ansi::Lit("Die Maschine hat ") + Duration(int(SinceProgress.elapsed() / 1000)) +
                " keine Daten angenommen");
    View->PassingStatus(ShownStatus);
}

void TTransferEngine::ReportProgress(bool running) {
    if (!Job) return;
    TSendProgress p;
    p.Running = running;
    p.Lines = Job->Last() - Job->First() + 1;
    p.Line = Job->LinesDone();
    p.Bytes = Job->BytesDone();
    p.TotalBytes = JobTotalBytes;
    const quint32 rate = std::max<quint32>(Serial1->OpenRate(), 1);
    const qint64 left = std::max<qint64>(0, p.TotalBytes - p.Bytes);
    p.SecondsLeft =
        static_cast<int>(left * 10 / rate + qint64(p.Lines - p.Line) * JobDwellMs / 1000);

    // No byte has left for longer than the next line should take: the machine takes nothing.
    const qint64 nextLine = SendTable->LineLength(Job->First() + p.Line) + JobLineEnd.size();
    const qint64 expectedMs = nextLine * 10000 / rate + JobDwellMs + 1000;
    const qint64 quiet = SinceProgress.elapsed();
    if (running && quiet > expectedMs) {
        p.StallSeconds = static_cast<int>(quiet / 1000);
        if (!Stalled) {
            Stalled = true;
            View->Trace(Ansi::Lit("Die Maschine nimmt keine Daten an: Senden wartet (ab Zeile ") +
                        Num(p.Line + 1) + " von " + Num(p.Lines) + ")");
        }
        const QByteArray waiting =
            Ansi::Lit("Die Maschine nimmt keine Daten an: Senden wartet seit ") +
            Duration(p.StallSeconds) + " (Zeile " + Num(p.Line) + " von " + Num(p.Lines) + ")";
        View->PassingStatus(waiting);  // not kept: the status before returns when the line moves
    }
    View->SendProgress(p);
}

void TTransferEngine::SendFinished() {
    if (!Job || !Job->Finished()) return;
    SendTimer.stop();
    AbortTimer.stop();
    SendTick();
    ReportProgress(false);
    const int lines = Job->LinesDone();
    const int total = Job->Last() - Job->First() + 1;
    const qint64 lineBytes = Job->LineBytesDone();
    TSendEnd end = Job->End();
    if (JobAborted && end != TSendEnd::Complete) end = TSendEnd::Aborted;
    if (Stalled) StallEnded();
    Job.reset();

    if (JobKind == TSendKind::ByHand) {
        TxCount += static_cast<int>(lineBytes);
        SetStatus(Num(TxCount) + " Zeichen gesendet");
    }
    if (end != TSendEnd::Complete) {
        const QByteArray reason = end == TSendEnd::Aborted ? JobAbortReason
                                  : DeviceWasLost ? Ansi::Lit("Verbindung zum Gerät verloren")
                                                  : QByteArray("Schnittstelle geschlossen");
        JobEndReason = reason;
        const QByteArray text = "Senden abgebrochen nach Zeile " + Num(lines) + " von " +
                                Num(total) + " (" + reason + ")";
        View->Trace(text);
        SetStatus(text);
        // The banner said the program is being sent: no longer true.
        if (JobKind == TSendKind::Called) View->Banner({}, TBanner::Replace);
    }
    auto done = std::move(JobDone);
    JobDone = nullptr;
    // Its log entry may wait for the operator (a missing log): bytes are read meanwhile.
    BeginDeciding();
    if (done) Guarded(View->DialogParent(), "AutoSendSerial", [&] { done(end, lines); });
    --Deciding;
    // Transmissions that waited for the end of the send are taken now.
    if (!Arrived.empty()) ReceiveAgain();
    QueuePump();
}

int TTransferEngine::VerweilZeit() {
    // Reading goes on: a bad value in Config.ini must not stop the server.
    int d = 0;
    const bool usable = ConfigFile::DwellMs(CfgTimer(), &d);
    SayUnusable(CfgSlot::Timer, usable,
                Ansi::Lit("Verweilzeit ( MSec ) \"") + CfgTimer() +
                    Ansi::Lit("\" ist keine ganze Zahl ab 0: es wird ohne Verweilzeit "
                              "gearbeitet"));
    return d;
}

QByteArray TTransferEngine::LineEnd() {
    QByteArray end;
    const bool usable = ConfigFile::LineEndBytes(CfgLineEnd(), &end);
    SayUnusable(CfgSlot::LineEnd, usable,
                Ansi::Lit("Zeilenende \"") + CfgLineEnd().trimmed() +
                    Ansi::Lit("\" ist weder CRLF, LF, CR noch LFCRCR: es wird CR LF gesendet"));
    return end;
}

// ---- the test call ----------------------------------------------------------------------

bool TTransferEngine::TestCallLoad() {
    QStringList alternatives;
    const QString path =
        FindIgnoringCase(Ansi::ToQString(CfgPrgAK() + "." + CfgExt()), &alternatives);
    if (path.isEmpty()) {
        ReportMissingFile(alternatives);
        return false;
    }
    const QList<QByteArray> lines = TextFile::ReadLines(path);
    View->ClearTrace();
    View->Trace("Datei von CNC empfangen");
    TestCallProblem = "Abrufkennung \"" + CfgAK() + "\" fehlt";
    for (const QByteArray& line : lines) {
        View->Trace(line);
        // The last line that holds the call identifier decides.
        if (CfgAK().isEmpty() || !line.contains(CfgAK())) continue;
        QByteArray number;
        TestCallProblem = TransferRules::CallNumberProblem(line, CfgAK(), &number);
        SendFileName = TestCallProblem.isEmpty() ? number : QByteArray();
    }
    View->ReceivedNote("Programm NR." + SendFileName + ".CNC zur CNC gesendet");
    return true;
}

void TTransferEngine::TestCallShow() {
    View->ShowTrace();
    View->Trace("");
    View->Trace("");
}

void TTransferEngine::ButtonTestClick(bool autoMode) {
    // Like the manual operations: never inside a receive event or beside a send.
    if (RefusedWhileBusy()) return;
    if (!TestCallLoad()) return;
    TestCallShow();
    if (autoMode && !TestCallProblem.isEmpty()) {
        // A call sends what it names, or nothing.
        View->Trace("Abruf ohne Programmnummer: " + TestCallProblem);
        SetStatus("Abruf ohne Programmnummer");
        return;
    }
    SendFileName = SendFileName + "." + CfgExt();
    View->Trace("zu sendendes Programm   " + SendFileName);
    SetStatus(" Programm    " + SendFileName + " zum Senden Bereit");
    View->Banner("zu sendendes Programm   " + SendFileName, TBanner::AppendLine);
    // A missing program ends the test: the table still holds an earlier program, which must
    // not go out under this number.
    if (autoMode && !SendPrgLoad()) return;
    // In manual mode this writes whatever the table holds, for instance a program loaded by hand.
    AutoSendSerial(TSendKind::Called);
}
