#pragma once
// An instance's state for the web page and for scripts: the view the engine reports to
// passes every call on to the window's or the service's view and notes what changed; the
// state goes out on the instance's socket (StatusSocket.h) to whoever reads it.
//
// The engine's thread never waits for a reader: writes are buffered by the socket and sent
// as the event loop can. A reader that falls behind gets only the latest state (progress is
// coalesced), and one that lets log entries pile up is dropped; it connects again and reads
// afresh. With no reader nothing is computed, and no timer runs while nothing happens.
#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include "engine/TransferView.h"

class QLocalServer;
class QLocalSocket;
class TTransferEngine;

class TStatusPublisher final : public QObject, public TTransferView {
    Q_OBJECT

  public:
    // inner: the view every call is passed on to (not owned).
    explicit TStatusPublisher(TTransferView* inner, QObject* parent = nullptr);
    ~TStatusPublisher() override;

    // The engine whose state is published (not owned); set right after creating it.
    void Attach(TTransferEngine* engine) { engine_ = engine; }

    // The front waits for the device of port to appear (0: it no longer does); the reason
    // of "getrennt" says so.
    void WaitForPort(int port) {
        waitPort_ = port;
        Changed();
    }

    // Opens the socket in folder. On failure the trace says why; the instance runs on
    // unpublished.
    bool Listen(const QString& folder);
    void Close();

    // The state word of the engine now.
    QByteArray StateWord() const;
    // The whole state as the socket carries it.
    QJsonObject Snapshot() const;
    // Why the port is not in use ("getrennt", "verloren"): which device it waits for and
    // what the last open said; null while it is open.
    QJsonValue Reason() const;
    int Readers() const { return int(readers_.size()); }

    // The engine's view.
    void Trace(const QByteArray& line) override;
    void ClearTrace() override { inner_->ClearTrace(); }
    void ShowTrace() override { inner_->ShowTrace(); }
    void Received(const QByteArray& bytes) override;
    void ReceivedNote(const QByteArray& line) override { inner_->ReceivedNote(line); }
    void Status(const QByteArray& text) override;
    void PassingStatus(const QByteArray& text) override;
    void Banner(const QByteArray& text, TBanner how) override { inner_->Banner(text, how); }
    void ProgramLoaded(const TSendTable& table, TProgramShown how) override;
    void LinesSent(const TSendTable& table, int first, int last, TSendKind kind) override {
        inner_->LinesSent(table, first, last, kind);
    }
    void SendProgress(const TSendProgress& progress) override;
    void LineSignal(TLineSignal signal) override { inner_->LineSignal(signal); }
    void DeviceLost(int port) override;
    void PortReopened(int port) override;
    void Cleared() override;
    void SaveFolderShown(const QByteArray& folder) override { inner_->SaveFolderShown(folder); }
    void LogWritten(const QByteArray& entry) override;
    QWidget* DialogParent() override { return inner_->DialogParent(); }

  private:
    // Something may have changed: publish soon (once per turn of the event loop).
    void Changed();
    void Publish();
    void Send(QLocalSocket* reader, const QByteArray& line);
    void SendState(QLocalSocket* reader);
    void NewReader();
    void ReadCommands(QLocalSocket* reader);
    void Command(QLocalSocket* reader, const QJsonObject& command);

    TTransferView* inner_;
    TTransferEngine* engine_ = nullptr;
    QLocalServer* server_ = nullptr;
    QList<QLocalSocket*> readers_;
    QString folder_;

    TSendProgress progress_;
    bool sending_ = false;
    QByteArray program_;  // the file a send sends (or the last one loaded)
    int waitPort_ = 0;

    bool queued_ = false;
    QByteArray lastState_;  // state word of the last publication
    QByteArray lastLine_;   // the last publication
    QElapsedTimer sincePublished_;
    QTimer throttle_;  // progress goes out at most every kProgressMs
};
