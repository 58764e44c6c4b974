#include "options/Unit3.h"

#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMouseEvent>

#include "common/Ansi.h"
#include "common/FileReplace.h"
#include "common/HandlerGuard.h"
#include "config/ConfigFile.h"
#include "ui_Unit3.h"
#include "widgets/Placement.h"

std::array<QByteArray, ConfigSlotCount> ConfigKeys;
int ConfigLineCount = 0;
QList<QByteArray> ConfigExtraLines;
QByteArray ValuesSnapshot;
ConfigFile::TEncoding ConfigEncoding = ConfigFile::TEncoding::Windows1252;
TForm3* Form3 = nullptr;

namespace {

const QColor kSilver(192, 192, 192);
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);
const QColor kWhite(255, 255, 255);
// The two system colours the value fields use, with the values of the classic desktop
// scheme the window was designed under: a pale blue for locked fields, and for unlocked
// ones the caption-text colour, white there (black would hide the blue text).
const QColor kGradientInactiveCaption(215, 228, 242);
const QColor kCaptionText(255, 255, 255);

void SetTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Text, color);
    palette.setColor(QPalette::ButtonText, color);
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

void SetBackground(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base, color);
    widget->setPalette(palette);
}

QFont PixelFont(const QFont& base, int pixels, bool bold) {
    QFont font = base;
    // MS Sans Serif is narrow; where it is missing a condensed face keeps texts in place.
    font.setStretch(QFont::Condensed);
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

void AppendLine(QPlainTextEdit* memo, const QByteArray& line) {
    if (memo) memo->appendPlainText(Ansi::ToQString(line));
}

QString WithoutLineBreaks(QString text) {
    text.remove(QChar('\r'));
    text.remove(QChar('\n'));
    return text;
}

}  // namespace

TForm3::TForm3(QWidget* parent) : QMainWindow(parent), ui_(std::make_unique<Ui::TForm3>()) {
    ui_->setupUi(this);
    Label1 = ui_->Label1;
    Label2 = ui_->Label2;
    Label3 = ui_->Label3;
    Label4 = ui_->Label4;
    Label5 = ui_->Label5;
    Label6 = ui_->Label6;
    Label7 = ui_->Label7;
    Label8 = ui_->Label8;
    Label9 = ui_->Label9;
    Label10 = ui_->Label10;
    Label11 = ui_->Label11;
    Label12 = ui_->Label12;
    Label13 = ui_->Label13;
    Label14 = ui_->Label14;
    Label15 = ui_->Label15;
    Label16 = ui_->Label16;
    Label17 = ui_->Label17;
    Label18 = ui_->Label18;
    Label19 = ui_->Label19;
    BtChange = ui_->BtChange;
    BtOK = ui_->BtOK;
    BtSave = ui_->BtSave;
    ConfigLoad = ui_->ConfigLoad;
    TBClose = ui_->TBClose;
    MemoConfig = ui_->MemoConfig;
    MemoAK = ui_->MemoAK;
    MemoPrgEnd = ui_->MemoPrgEnd;
    MemoTimer = ui_->MemoTimer;
    TMemExt = ui_->TMemExt;
    MemoPrgAK = ui_->MemoPrgAK;
    MemoComPort = ui_->MemoComPort;
    TMemSend = ui_->TMemSend;
    TMemSave = ui_->TMemSave;
    TMemLog = ui_->TMemLog;
    MemoQuietTime = ui_->MemoQuietTime;
    MemoNames = ui_->MemoNames;
    MemoLineEnd = ui_->MemoLineEnd;
    ChangeOptionen = ui_->ChangeOptionen;
    LogfileMin = ui_->LogfileMin;
    LogFileMax = ui_->LogFileMax;
    PrgPfad = ui_->PrgPfad;

    fieldsBySlot_ = {{{TMemExt, CfgSlot::Ext, "TMemExt      "},
                      {TMemLog, CfgSlot::Log, "TMemLog      "},
                      {MemoAK, CfgSlot::AK, "Memo AK      "},
                      {MemoPrgEnd, CfgSlot::PrgEnd, "MemPrgEnd    "},
                      {MemoComPort, CfgSlot::ComPort, "MemoComPort  "},
                      {MemoPrgAK, CfgSlot::PrgAK, "MemoPrgAK  "},
                      {MemoTimer, CfgSlot::Timer, "MemoTimer    "},
                      {TMemSend, CfgSlot::Send, "TMemSend     "},
                      {TMemSave, CfgSlot::Save, "TMemSave     "},
                      {MemoQuietTime, CfgSlot::Quiet, "MemoQuietTime"},
                      {MemoNames, CfgSlot::Names, "MemoNames    "},
                      {MemoLineEnd, CfgSlot::LineEnd, "MemoLineEnd  "}}};
    fieldsByCheck_ = {{fieldsBySlot_[1], fieldsBySlot_[2], fieldsBySlot_[3], fieldsBySlot_[5],
                       fieldsBySlot_[6], fieldsBySlot_[4], fieldsBySlot_[0], fieldsBySlot_[7],
                       fieldsBySlot_[8], fieldsBySlot_[9], fieldsBySlot_[10], fieldsBySlot_[11]}};

    // Window: silver, MS Sans Serif 11 pixels bold; the controls that differ below.
    QFont windowFont(QStringLiteral("MS Sans Serif"));
    windowFont = PixelFont(windowFont, 11, true);
    setFont(windowFont);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, kSilver);
    palette.setColor(QPalette::Button, kSilver);
    setPalette(palette);
    setAutoFillBackground(true);
    for (QLabel* label : {Label13, Label15, Label16, Label14})
        label->setFont(PixelFont(windowFont, 12, false));
    // The lines added to the file say which values they take.
    MemoQuietTime->setToolTip(
        QStringLiteral("Sekunden ohne Daten, nach denen ein Empfang "
                       "unvollständig endet (1 bis 3600, leer: 5)"));
    MemoNames->setToolTip(QStringLiteral(
        "DFS: nur der Name nach \"DFS,\"; Programm: sonst der Name, den die Steuerung in den "
        "Programmkopf schreibt (O1234, <NAME>, %_N_NAME_MPF, $NAME.MIN%, BEGIN PGM NAME)"));
    MemoLineEnd->setToolTip(
        QStringLiteral("Zeilenende beim Senden: CRLF (leer), LF, CR oder LFCRCR"));
    for (QWidget* w : {static_cast<QWidget*>(Label1), static_cast<QWidget*>(Label4),
                       static_cast<QWidget*>(Label5), static_cast<QWidget*>(BtOK),
                       static_cast<QWidget*>(MemoAK)})
        w->setFont(PixelFont(windowFont, 12, true));
    // Labels without a given size fit their text.
    for (QLabel* label : {Label1, Label2, Label3, Label4, Label5, Label6, Label7, Label8, Label9,
                          Label10, Label11, Label12, Label15})
        label->adjustSize();
    SetBackground(MemoConfig, kSilver);
    MemoConfig->setReadOnly(true);

    OpenDialog2.title = "Config File";
    OpenDialog2.filter = QStringLiteral("Config File (*.ini)");
    OpenDialog2.defaultSuffix = QStringLiteral("ini");

    connect(ConfigLoad, &QPushButton::clicked, this, &TForm3::ConfigLoadClick);
    connect(BtChange, &QPushButton::clicked, this, &TForm3::BtChangeClick);
    connect(BtOK, &QPushButton::clicked, this, &TForm3::BtOKClick);
    connect(BtSave, &QPushButton::clicked, this, &TForm3::BtSaveClick);
    connect(TBClose, &QPushButton::clicked, this, &TForm3::TBCloseClick);
    connect(MemoConfig, &QPlainTextEdit::textChanged, this, &TForm3::MemoConfigChange);
    connect(MemoPrgEnd, &QPlainTextEdit::textChanged, this, &TForm3::MemoPrgEndChange);
    MemoConfig->viewport()->installEventFilter(this);
    MemoConfig->installEventFilter(this);
    for (const Field& field : fieldsBySlot_) field.edit->installEventFilter(this);

    // The window sizes itself to its controls.
    const QRect used = centralWidget()->childrenRect();
    FitToScreen(this, QSize(used.right() + 9, used.bottom() + 9 + menuBar()->sizeHint().height()));
    ::PlaceOnScreen(this, QPoint(1109, 285));
    SetState(State::S0);
    if (!Form3) Form3 = this;
}

TForm3::~TForm3() {
    if (Form3 == this) Form3 = nullptr;
}

void TForm3::SetMainMemos(QPlainTextEdit* memoFile, QPlainTextEdit* memoTrm,
                          QPlainTextEdit* memoRec) {
    memoFile_ = memoFile;
    memoTrm_ = memoTrm;
    memoRec_ = memoRec;
}

// ---- states ----

void TForm3::SetState(State state) {
    state_ = state;
    ConfigLoad->setVisible(state == State::S0);
    BtChange->setVisible(state == State::S1);
    BtOK->setVisible(state == State::S2);
    BtSave->setVisible(state == State::S3);
    if (state != State::S0) MarkActionFonts();
    QWidget* focus = TBClose;
    switch (state) {
        case State::S0:
            focus = ConfigLoad;
            break;
        case State::S1:
            focus = BtChange;
            break;
        case State::S2:
            focus = BtOK;
            break;
        case State::S3:
            focus = BtSave;
            break;
        case State::S4:
            focus = TBClose;
            break;
    }
    focus->setFocus();
}

void TForm3::MarkActionFonts() {
    SetTextColor(BtOK, kRed);
    QFont font = BtSave->font();
    font.setBold(true);
    font.setItalic(true);
    BtSave->setFont(font);
}

void TForm3::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    SetState(state_);
}

// ---- fields ----

QByteArray TForm3::FieldText(QPlainTextEdit* edit) const {
    return Ansi::FromQString(WithoutLineBreaks(edit->toPlainText()));
}

void TForm3::FillFieldsFromValues() {
    for (const Field& field : fieldsByCheck_)
        field.edit->setPlainText(Ansi::ToQString(ConfigValues[field.slot]));
}

void TForm3::SetFieldsReadOnly(bool readOnly, const QColor& background) {
    for (const Field& field : fieldsBySlot_) {
        field.edit->setReadOnly(readOnly);
        SetBackground(field.edit, background);
    }
}

void TForm3::LockValueFields() { SetFieldsReadOnly(true, kSilver); }

QByteArray TForm3::JoinedFieldTexts() const {
    QByteArray joined;
    for (const Field& field : fieldsBySlot_) joined += FieldText(field.edit);
    return joined;
}

QByteArray TForm3::JoinedValues() const {
    QByteArray joined;
    for (const Field& field : fieldsBySlot_) joined += ConfigValues[field.slot];
    return joined;
}

QList<QByteArray> TForm3::CheckLines() const {
    QList<QByteArray> lines;
    for (const Field& field : fieldsByCheck_)
        lines.append(QByteArray(field.checkLabel) + ConfigValues[field.slot]);
    return lines;
}

bool TForm3::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        // The values are one line each: Enter would move later values to other lines.
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) return true;
    }
    // A click is the left button; the right one only opens the context menu.
    if (watched == MemoConfig->viewport() && event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
        MemoConfigChange();
    return QMainWindow::eventFilter(watched, event);
}

// ---- handlers ----

void TForm3::ServerEinstellung1Click() {
    Guarded(this, "ServerEinstellung1Click", [&] {
        SetFieldsReadOnly(true, kGradientInactiveCaption);
        FillFieldsFromValues();
        SetState(State::S0);
        show();
        raise();
        activateWindow();
    });
}

void TForm3::ConfigLoadClick() {
    Guarded(this, "ConfigLoadClick", [&] {
        if (QFileInfo(ConfigFileName).isFile()) {
            LoadOptionsFile(ConfigFileName);
            SetTextColor(ConfigLoad, kBlue);
            SetBackground(MemoConfig, kSilver);
            MemoConfig->setReadOnly(true);
        } else {
            Modal::Info(this, "Neuer File eingeben");
            const QString chosen = Modal::Current().FileName(this, OpenDialog2);
            if (!chosen.isEmpty()) ConfigFileName = ConfigFile::FullPath(chosen);
            LoadOptionsFile(ConfigFileName);
        }
        SetState(State::S1);
    });
}

void TForm3::LoadOptionsFile(const QString& name) {
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(Ansi::Lit("Öffnen"), name, Ansi::FromQString(file.errorString()));
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw FileError("Lesen", name, Ansi::FromQString(file.errorString()));
    file.close();
    // Written back in the encoding it was read in.
    ConfigEncoding = ConfigFile::DetectEncoding(content);
    const QList<QByteArray> lines =
        ConfigLines::SplitLines(ConfigFile::Decode(content, ConfigEncoding));

    if (memoFile_) memoFile_->setPlainText(QStringLiteral("Config.Ini Werte"));
    MemoConfig->setPlainText(ConfigFile::FullPath(name));
    SetTextColor(MemoConfig, kBlue);

    const int total = static_cast<int>(lines.size());
    const int last = std::min(total, OptionsMaxLines);
    for (int k = 2; k <= last; ++k) {
        const QByteArray& line = lines[k - 1];
        AppendLine(memoFile_, line);
        AppendLine(memoFile_, QByteArray::number(k));
        AppendLine(memoFile_, line);
        ConfigValues[k] = ConfigLines::LineValue(line);
        ConfigKeys[k] = ConfigFile::LineKey(line);
        ConfigLineCount = k;
    }
    if (total >= 2) {
        // Lines past the window's slots are not edited but written back unchanged.
        ConfigExtraLines = lines.mid(OptionsMaxLines);
        if (!ConfigExtraLines.isEmpty())
            AppendLine(memoFile_, "Zeilen " + QByteArray::number(OptionsMaxLines + 1) + " bis " +
                                      QByteArray::number(total) +
                                      Ansi::Lit(" werden unverändert übernommen"));
    }

    for (const Field& field : fieldsBySlot_) SetTextColor(field.edit, kBlue);
    FillFieldsFromValues();

    AppendLine(memoTrm_, "Test zur Kontrolle Load");
    for (const QByteArray& line : CheckLines()) AppendLine(memoTrm_, line);
}

void TForm3::BtChangeClick() {
    Guarded(this, "BtChangeClick", [&] {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (PasswordAttempt()) {
                Unlock();
                return;
            }
        }
        hide();  // buttons keep state S1
    });
}

bool TForm3::PasswordAttempt() {
    const QByteArray caption = "Password Abfrage";
    const QByteArray initial = "******";
    const QByteArray entry =
        Modal::Current().InputBox(this, caption, "Bitte Password eingeben", initial, nullptr);
    SetTextColor(MemoAK, kRed);
    if (entry == Password) return true;
    // The box asks to enter the password again, so its answer is checked as well.
    const QByteArray retry = Modal::Current().InputBox(
        this, caption, "Password war falsch bitte erneut eingeben", initial, nullptr);
    return retry == Password;
}

void TForm3::Unlock() {
    SetFieldsReadOnly(false, kCaptionText);
    MemoAK->setPlainText(Ansi::ToQString(ConfigValues[CfgSlot::AK]));
    ValuesSnapshot = JoinedFieldTexts();
    for (size_t i = 0; i < fieldsBySlot_.size(); ++i)
        snapshotFields_[i] = FieldText(fieldsBySlot_[i].edit);
    SetState(State::S2);
}

void TForm3::BtOKClick() {
    Guarded(this, "BtOKClick", [&] {
        // A value the engine cannot use is not taken: nothing is, until it is corrected.
        QPlainTextEdit* wrong = nullptr;
        const QByteArray why = Unusable(&wrong);
        if (!why.isEmpty()) {
            Modal::Error(this, why + Ansi::Lit("\rDie Werte wurden nicht übernommen."));
            SetTextColor(wrong, kRed);
            wrong->setFocus();
            return;
        }
        bool changed = false;
        for (size_t i = 0; i < fieldsBySlot_.size(); ++i) {
            const Field& field = fieldsBySlot_[i];
            const QByteArray old = ConfigValues[field.slot];
            const QByteArray value = FieldText(field.edit);
            ConfigValues[field.slot] = value;
            // A pasted line break was dropped from the value; show what was taken.
            if (field.edit->toPlainText() != Ansi::ToQString(value))
                field.edit->setPlainText(Ansi::ToQString(value));
            SetTextColor(field.edit, value == old ? kBlue : kRed);
            if (value != snapshotFields_[i]) changed = true;
        }
        LockValueFields();
        ValuesChanged = changed || JoinedValues() != ValuesSnapshot ? 1 : 0;
        SetState(State::S3);
        if (OnValuesAccepted) OnValuesAccepted();
    });
}

QByteArray TForm3::Unusable(QPlainTextEdit** field) const {
    int ms = 0;
    QByteArray bytes;
    ConfigFile::TNaming naming{};
    const struct {
        QPlainTextEdit* edit;
        bool usable;
        const char* why;
    } checks[] = {
        {MemoTimer, ConfigFile::DwellMs(FieldText(MemoTimer), &ms),
         "Verweilzeit ( MSec ): \"%1\" ist keine ganze Zahl ab 0."},
        {MemoQuietTime, ConfigFile::QuietTimeMs(FieldText(MemoQuietTime), &ms),
         "Ruhezeit ( s ): \"%1\" ist keine ganze Zahl von 1 bis 3600."},
        {MemoNames, ConfigFile::Naming(FieldText(MemoNames), &naming),
         "Namen: \"%1\" ist weder DFS noch Programm."},
        {MemoLineEnd, ConfigFile::LineEndBytes(FieldText(MemoLineEnd), &bytes),
         "Zeilenende: \"%1\" ist weder CRLF, LF, CR noch LFCRCR."},
    };
    for (const auto& check : checks) {
        if (check.usable) continue;
        *field = check.edit;
        return Ansi::Lit(check.why).replace("%1", FieldText(check.edit));
    }
    return {};
}

void TForm3::BtSaveClick() {
    Guarded(this, "BtSaveClick", [&] {
        if (!QFileInfo(ConfigFileName).isFile()) {
            Modal::Info(this, "Neuer File eingeben");
            SetState(State::S4);
            return;
        }
        const QString full = ConfigFile::FullPath(ConfigFileName);
        SetTextColor(ConfigLoad, kBlue);
        const QString target = WithoutLineBreaks(MemoConfig->toPlainText());
        if (ValuesChanged == 1) SaveOptionsFile(target);
        if (target != full) {
            SaveOptionsFile(target);
        } else {
            Modal::Info(this, Ansi::Lit("Der File Name für die Config Datei hat sich nicht "
                                        "geändert. Weiter mit OK "));
        }
        SetState(State::S4);
    });
}

void TForm3::SaveOptionsFile(const QString& path) {
    if (ConfigLineCount <= 0) {
        Modal::Info(this, "Zuest Config laden und dann nochmals speichern ");
        LoadOptionsFile(ConfigFileName);
        return;
    }
    if (path.isEmpty()) throw FileError("Schreiben", path, "kein Dateiname angegeben");

    const QByteArray content =
        ConfigFile::Encode(ConfigFile::Compose(Ansi::FromQString(path), ConfigKeys, ConfigValues,
                                               ConfigLineCount, ConfigExtraLines),
                           ConfigEncoding);
    // An existing backup is kept; otherwise the previous file becomes the backup.
    const QString backup = ConfigFile::BackupPath(path);
    bool movedToBackup = false;
    if (QFileInfo::exists(path) && !QFileInfo::exists(backup))
        movedToBackup = QFile::rename(path, backup);

    if (memoFile_) memoFile_->setPlainText(QStringLiteral("Config.Ini Werte sichern"));
    // Through a temporary file and one rename, so a failed write leaves the old file (or its
    // backup) intact; in a folder the user may not write to, the file is rewritten in place.
    TReplaceWay way;
    try {
        way = ReplaceFileContent(path, content, "Schreiben");
    } catch (...) {
        if (movedToBackup) QFile::rename(backup, path);
        throw;
    }

    AppendLine(memoRec_, "Test zur Kontrolle Save");
    for (const QByteArray& line : CheckLines()) AppendLine(memoRec_, line);
    if (way == TReplaceWay::InPlace) {
        QByteArray note = InPlaceNote(path);
        if (!QFileInfo::exists(backup))
            note += Ansi::Lit(" Eine Sicherungskopie (.bak) konnte dort nicht angelegt werden.");
        Modal::Info(this, note);
    }
}

void TForm3::TBCloseClick() {
    Guarded(this, "TBCloseClick", [&] {
        for (QPlainTextEdit* memo : {memoFile_, memoRec_, memoTrm_})
            if (memo) memo->clear();
        SetState(State::S0);
        hide();
    });
}

void TForm3::MemoConfigChange() {
    Guarded(this, "MemoConfigChange", [&] {
        SetTextColor(MemoConfig, kRed);
        SetBackground(MemoConfig, kWhite);
        MemoConfig->setReadOnly(false);
    });
}

void TForm3::MemoPrgEndChange() {
    // The program-end text has no live effect; it is taken with "Data OK".
}
