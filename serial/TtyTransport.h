#pragma once
// A serial port of this machine, or a pseudo-terminal: opened exclusively, its termios, bit
// rate and modem lines set at the open and put back as they were found at the close.
#include "serial/Transport.h"

class TTtyTransport : public TTransport {
  public:
    // Null, with failure, when the device cannot be opened or cannot take the settings.
    static std::unique_ptr<TTransport> Open(const QByteArray& path, const TLineSettings& line,
                                            TPortFailure& failure);
    ~TTtyTransport() override;

    TRead Read(QByteArray& data, qsizetype room) override;
    TWriteResult Write(const char* buffer, int count, const TWriteControl& control) override;
    bool Purge(bool tx, bool rx) override;
    bool ReadLineState(Port::TLineState& state) override;

  private:
    TTtyTransport(int fd, quint32 rate);
    bool Configure(const TLineSettings& line, TPortFailure& failure);

    quint32 rate_;  // for how long a queue takes to drain
    // A pseudo-terminal has no wire: no queue of its own, 8 data bits and no parity always.
    bool pseudoTerminal_;
    Port::TSavedDevice saved_;  // the device as it was before the open
};
