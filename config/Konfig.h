#pragma once
// Reading Config.ini at start-up, and the one bit-rate override that goes with it.
#include <QByteArray>
#include <QString>
#include <functional>

#include "common/Modal.h"
#include "config/ConfigValues.h"

class QWidget;

// Where the start-up read lists the file (the main window's MemoFile; a service's log).
struct TConfigListing {
    std::function<void(const QByteArray& line)> Replace;  // the listing becomes this one line
    std::function<void(const QByteArray& line)> Append;   // one line more
};

// The name of the configuration file: "Config.ini" (relative to the working directory)
// until the user chooses another file in an open dialog; then the chosen file's full path.
// The options window loads, checks and compares against this name.
extern QString ConfigFileName;

// Lines of Config.ini that the start-up read keeps (slots 1 to 20). Longer files are cut
// off after line 20 and the cut is noted in the listing.
inline constexpr int StartupMaxLines = 20;

class TKonfiguration {
  public:
    // parent: the window that owns the message boxes and the open dialog (may be null).
    // listing: where the file is listed (members may be empty: not listed).
    explicit TKonfiguration(QWidget* parent = nullptr, TConfigListing listing = {});

    // Reads ConfigFileName into ConfigValues and lists it in MemoFile; a file in UTF-8 is
    // read as such, the listing says so, and which folder or extension has trailing blanks
    // that are not used (config/ConfigFile.h). When the file is
    // missing, the user is told and asked for another through OpenDialog; when the user
    // cancels, a question offers to choose again. Returns false when no file was read
    // (the user declined): ConfigValues are then unchanged (empty at start-up) and the
    // program can go on; the options window's "Laden" can load a file later.
    // Throws FileError when the file cannot be read; ConfigValues are then unchanged.
    bool ReadConfigFile();

    // Makes the setting 9600 stand for 1248 bit/s (serial/Line.h); the others stay.
    void PatchRateTable();

    // The open-file dialog for configuration files.
    Modal::FileDialog OpenDialog;

  private:
    // Returns the number of the last line stored.
    int ListAndStore(const QByteArray& content);

    void Append(const QByteArray& line);

    QWidget* parent_;
    TConfigListing listing_;
};
