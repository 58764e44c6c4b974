#pragma once
// The server without a window: `dnc-server --service`. It runs the same transfer engine as
// the window, in the working folder with its Config.ini, with the serial settings of
// SerDemo.ini. Where the window would ask, it answers at once without waiting for anybody;
// every trace line and message goes to standard error, one line each with a time stamp, so
// that the journal keeps them. SIGTERM and SIGINT write the "Ende" log entry and end with
// status 0; SIGHUP reads Config.ini again.
#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <memory>

#include "common/Modal.h"
#include "engine/TransferView.h"

class QSocketNotifier;
class TKonfiguration;
class TSerial;
class TStatusPublisher;
class TTransferEngine;

// Exit codes of the service. A file the service reads at start that is missing, unreadable
// or a folder ends it with the code of that file and a message naming it.
namespace ServiceExit {
inline constexpr int Ok = 0;
inline constexpr int Usage = 1;           // an unknown option
inline constexpr int Config = 2;          // Config.ini missing, unreadable or a folder
inline constexpr int SerialSettings = 3;  // SerDemo.ini missing, unreadable, a folder, no port
inline constexpr int PortMap = 4;         // the port's map entry unreadable or a folder
inline constexpr int Log = 5;             // the log file unreadable, unwritable or a folder
inline constexpr int Unexpected = 6;      // an error nothing else caught (a fault of the program)
}  // namespace ServiceExit

// Why a file read at start cannot be read ("ist ein Ordner", the system's reason), or empty
// when it can be or is missing. forWriting: it must take writes too (the log).
QByteArray StartFileProblem(const QString& path, bool forWriting = false);

// Writes one line to standard error: the local time, a blank, the text (Windows-1252, shown
// in UTF-8); line breaks inside the text become " / ".
void ServiceLine(const QByteArray& text);

// Where the window would show a box or a dialog: the text goes to standard error, the
// answer is the one that waits for nobody (OK; no file chosen; no to a question).
class TServiceSeam final : public Modal::Seam {
  public:
    Modal::Answer ShowBox(QWidget* parent, const Modal::Box& box) override;
    QByteArray InputBox(QWidget* parent, const QByteArray& caption, const QByteArray& prompt,
                        const QByteArray& initial, bool* accepted) override;
    QString FileName(QWidget* parent, const Modal::FileDialog& dialog) override;
};

class TService : public QObject, public TTransferView {
    Q_OBJECT

  public:
    TService();
    ~TService() override;

    // Start-up: serial settings, port, Config.ini, the "Beginn" entry. Returns the exit code
    // when the service cannot run (a message has said why), or -1 to go on.
    int Start();

    // The engine's view.
    void Trace(const QByteArray& line) override;
    void ClearTrace() override {}
    void ShowTrace() override {}
    void Received(const QByteArray&) override {}
    void ReceivedNote(const QByteArray& line) override { Trace(line); }
    void Status(const QByteArray& text) override;
    void PassingStatus(const QByteArray&) override {
    }  // the trace says when a stall begins and ends
    void Banner(const QByteArray& text, TBanner how) override;
    void ProgramLoaded(const TSendTable& table, TProgramShown how) override;
    void LinesSent(const TSendTable& table, int first, int last, TSendKind kind) override;
    void SendProgress(const TSendProgress& progress) override;
    void LineSignal(TLineSignal) override {}
    void DeviceLost(int) override {}
    void PortReopened(int) override {}
    void Cleared() override {}
    void SaveFolderShown(const QByteArray&) override {}
    QWidget* DialogParent() override { return nullptr; }

    TSerial* Serial() const { return serial_.get(); }
    TTransferEngine* Engine() const { return engine_.get(); }

  private:
    void OpenPort();
    void WaitForPort();
    void OnSignal();
    void Stop();
    void ReadConfig();
    int CheckPortMapEntry(int port);

    TServiceSeam seam_;
    std::unique_ptr<TSerial> serial_;
    // The engine reports through it to this view and to the instance's socket.
    std::unique_ptr<TStatusPublisher> publisher_;
    std::unique_ptr<TTransferEngine> engine_;
    std::unique_ptr<TKonfiguration> konfig_;
    QSocketNotifier* signals_ = nullptr;
    QTimer portWait_;  // the port named in SerDemo.ini is not there yet
    int requestedPort_ = 0;
    QByteArray lastLine_;  // a status that repeats the trace line before it is not written twice
    int lastPercent_ = -1;
};

// `dnc-server --service` (the main program has checked its options); returns the exit
// status.
int RunService(int argc, char** argv);
