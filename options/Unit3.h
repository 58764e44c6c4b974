#pragma once
// The options window: shows the Config.ini values the program uses (lines 5 to 16: the nine of
// old, the quiet time, how received programs are named, the line end sent), loads the file,
// unlocks the fields with a password, accepts edits into ConfigValues ("Data OK", which
// makes them effective at once for the running engine) and writes the file back with a
// ".bak" backup.
//
// For the main window: create Form3 once after Form1, call SetMainMemos() with Form1's
// MemoFile, MemoTrm and MemoRec, and connect the menu item "Server Einstellung" to
// ServerEinstellung1Click(). The engine needs nothing else: it reads ConfigValues at use
// (see config/ConfigValues.h), so accepted values take effect with no notification.
#include <QByteArray>
#include <QList>
#include <QMainWindow>
#include <array>
#include <functional>
#include <memory>

#include "config/ConfigFile.h"
#include "config/ConfigValues.h"
#include "config/Konfig.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;

namespace Ui {
class TForm3;
}

// Unit data of the options window; they keep their values between openings.
// For each line k read by LoadOptionsFile: the text up to and including its first "=".
extern std::array<QByteArray, ConfigSlotCount> ConfigKeys;
// The number of the last line read into ConfigKeys/ConfigValues by LoadOptionsFile.
extern int ConfigLineCount;
// Lines after OptionsMaxLines of a longer file; written back unchanged after them.
extern QList<QByteArray> ConfigExtraLines;
// The field texts joined in slot order when the fields were unlocked.
extern QByteArray ValuesSnapshot;
// The encoding of the file LoadOptionsFile read: SaveOptionsFile writes in it.
extern ConfigFile::TEncoding ConfigEncoding;

// Lines of a file that the options window reads into slots; later lines are carried.
inline constexpr int OptionsMaxLines = 16;

class TForm3 : public QMainWindow {
    Q_OBJECT
  public:
    enum class State { S0, S1, S2, S3, S4 };

    explicit TForm3(QWidget* parent = nullptr);
    ~TForm3() override;

    // The main window's memos that the loads and saves report to (each may be null).
    void SetMainMemos(QPlainTextEdit* memoFile, QPlainTextEdit* memoTrm, QPlainTextEdit* memoRec);

    // Operations of the window; they throw FileError when a file cannot be read or written.
    void LoadOptionsFile(const QString& name);
    void SaveOptionsFile(const QString& path);
    void LockValueFields();

    State CurrentState() const { return state_; }

    // 1 when the values accepted by the last "Data OK" differ from ValuesSnapshot.
    int ValuesChanged = 0;

    // Runs after "Data OK" has made the values effective (the main window checks the
    // folders then).
    std::function<void()> OnValuesAccepted;

    // The fixed password of the lock.
    static constexpr const char* Password = "9518";

    // Controls, named as in the form.
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label6;
    QLabel* Label7;
    QLabel* Label8;
    QLabel* Label9;
    QLabel* Label10;
    QLabel* Label11;
    QLabel* Label12;
    QLabel* Label13;
    QLabel* Label14;
    QLabel* Label15;
    QLabel* Label16;
    QLabel* Label17;
    QLabel* Label18;
    QLabel* Label19;
    QPushButton* BtChange;
    QPushButton* BtOK;
    QPushButton* BtSave;
    QPushButton* ConfigLoad;
    QPushButton* TBClose;
    QPlainTextEdit* MemoConfig;
    QPlainTextEdit* MemoAK;
    QPlainTextEdit* MemoPrgEnd;
    QPlainTextEdit* MemoTimer;
    QPlainTextEdit* TMemExt;
    QPlainTextEdit* MemoPrgAK;
    QPlainTextEdit* MemoComPort;
    QPlainTextEdit* TMemSend;
    QPlainTextEdit* TMemSave;
    QPlainTextEdit* TMemLog;
    QPlainTextEdit* MemoQuietTime;  // line 14
    QPlainTextEdit* MemoNames;      // line 15
    QPlainTextEdit* MemoLineEnd;    // line 16
    QMenu* ChangeOptionen;
    QAction* LogfileMin;
    QAction* LogFileMax;
    QAction* PrgPfad;

    // The open-file dialog for configuration files.
    Modal::FileDialog OpenDialog2;

  public slots:
    // The main window's menu item "Server Einstellung": prepares and shows this window.
    void ServerEinstellung1Click();

    void ConfigLoadClick();
    void BtChangeClick();
    void BtOKClick();
    void BtSaveClick();
    void TBCloseClick();
    void MemoConfigChange();
    void MemoPrgEndChange();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    struct Field {
        QPlainTextEdit* edit;
        int slot;
        const char* checkLabel;
    };

    void SetState(State state);
    void FillFieldsFromValues();
    void SetFieldsReadOnly(bool readOnly, const QColor& background);
    void Unlock();
    bool PasswordAttempt();
    QByteArray FieldText(QPlainTextEdit* edit) const;
    QByteArray JoinedFieldTexts() const;
    QByteArray JoinedValues() const;
    QList<QByteArray> CheckLines() const;
    void MarkActionFonts();

    std::unique_ptr<Ui::TForm3> ui_;
    // Why the field texts cannot be taken (empty: they can), for the box of "Data OK".
    QByteArray Unusable(QPlainTextEdit** field) const;

    static constexpr int kFields = 12;
    std::array<Field, kFields> fieldsBySlot_;   // slot order: slots 5 to 16
    std::array<Field, kFields> fieldsByCheck_;  // check order
    // The field texts at unlock, one per slot: a change is judged field by field, so an
    // edit that only moves text between two neighbouring fields still counts.
    std::array<QByteArray, kFields> snapshotFields_;
    State state_ = State::S0;
    QPlainTextEdit* memoFile_ = nullptr;
    QPlainTextEdit* memoTrm_ = nullptr;
    QPlainTextEdit* memoRec_ = nullptr;
};

extern TForm3* Form3;
