// The port parameter dialog: what Execute loads, what it takes back, cancel, and the real
// TFormSerStd driven offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include "serial/Serial.h"
#include "serialdialogs/SerStdDlg.h"
#include "tests/common/Screenshot.h"
#include "tests/serial/ProbeResult.h"
#include "ui_SerStdDlg.h"

namespace {

// Stands in for the system's port dialog: records what it was handed, edits the record,
// and answers OK or Cancel.
class ScriptedPortDialog {
  public:
    QList<QByteArray> Names;
    QList<TDcb> Seen;
    std::function<void(TDcb&)> Edit = [](TDcb&) {};
    bool Answer = true;

    ScriptedPortDialog() {
        SerDialogs::InstallCommConfigDialog(
            [this](const QByteArray& name, QWidget*, TCommConfig& config) {
                Names << name;
                Seen << config.dcb;
                Edit(config.dcb);
                return Answer;
            });
    }
    ~ScriptedPortDialog() { SerDialogs::InstallCommConfigDialog({}); }
};

QByteArray SettingsText(const TSerial& serial) {
    TSerialSettings settings;
    serial.GetSettings(settings);
    QByteArray text;
    serial.SettingsToText(settings, text);
    return text;
}

class SerStdDlgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Serial.SetCOMPort(3);
        Serial.SetBaudrate(br_004800);
        Serial.SetHandshakeRtsCts(true);
        Dlg.SetSerial(&Serial);
    }

    struct ProbeFirst {
        ProbeFirst() { ProbeResult({1, 3}); }
    } FProbe;
    TSerial Serial;
    TSerStdDlg Dlg;
};

}  // namespace

TEST_F(SerStdDlgTest, LoadsTheComponentsSettings) {
    Serial.SetDataBits(db_7);
    Serial.SetParityBit(odd);
    Serial.SetStopBits(sb_2);
    ScriptedPortDialog dialog;
    ASSERT_TRUE(Dlg.Execute());
    ASSERT_EQ(dialog.Seen.size(), 1);
    EXPECT_EQ(dialog.Names.front(), "COM3");
    const TDcb& dcb = dialog.Seen.front();
    EXPECT_EQ(dcb.BaudRate, 4800u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, 1);
    EXPECT_EQ(GetDcbFlag(dcb, fParity), 1);
    EXPECT_EQ(dcb.StopBits, 2);
    EXPECT_EQ(GetDcbFlag(dcb, fOutxCtsFlow), 1);
    EXPECT_EQ(GetDcbFlag(dcb, fRtsControl), RTS_CONTROL_HANDSHAKE);
}

TEST_F(SerStdDlgTest, TakesBackOnlyTheRatesItKnows) {
    struct Row {
        quint32 rate;
        TBaudrate expected;
    };
    const Row rows[] = {
        {110, br_000110},    {9600, br_009600},   {14400, br_014400}, {56000, br_056000},
        {128000, br_128000}, {921600, br_921600}, {150, br_004800},   {50, br_004800},
        {1248, br_004800},   {12345, br_004800},
    };
    for (const Row& row : rows) {
        Serial.SetBaudrate(br_004800);
        ScriptedPortDialog dialog;
        dialog.Edit = [&](TDcb& dcb) { dcb.BaudRate = row.rate; };
        ASSERT_TRUE(Dlg.Execute());
        EXPECT_EQ(Serial.Baudrate(), row.expected) << row.rate;
        EXPECT_EQ(Dlg.CommConfig().dcb.BaudRate, row.rate);  // kept for the next call
    }
    // Where start-up made 9600 run at 1248, 1248 is taken back there and 9600 is not: the
    // port never runs at another rate than the one chosen.
    OverrideRate(br_009600, 1248);
    for (const Row& row : {Row{1248, br_009600}, Row{9600, br_004800}}) {
        Serial.SetBaudrate(br_004800);
        ScriptedPortDialog dialog;
        dialog.Edit = [&](TDcb& dcb) { dcb.BaudRate = row.rate; };
        ASSERT_TRUE(Dlg.Execute());
        EXPECT_EQ(Serial.Baudrate(), row.expected) << "patched, " << row.rate;
    }
    RestoreRates();
}

TEST_F(SerStdDlgTest, TakesBackFormatAndHandshakeAndLeavesTheRest) {
    Serial.SetHandshakeDtrDsr(true);
    Serial.SetRTSActive(true);
    Serial.SetDTRActive(true);
    Serial.SetBufSizeRec(4096);
    Serial.SetXOffLimit(3000);
    Serial.SetEventChar(10);
    ScriptedPortDialog dialog;
    dialog.Edit = [](TDcb& dcb) {
        dcb.ByteSize = 5;
        dcb.Parity = 4;
        dcb.StopBits = 1;
        SetDcbFlag(dcb, fRtsControl, 0);
        SetDcbFlag(dcb, fOutxCtsFlow, 0);
        SetDcbFlag(dcb, fOutX, 1);
        SetDcbFlag(dcb, fDtrControl, 0);  // not the dialog's to take back
    };
    ASSERT_TRUE(Dlg.Execute());
    EXPECT_EQ(Serial.DataBits(), db_5);
    EXPECT_EQ(Serial.ParityBit(), space);
    EXPECT_TRUE(Serial.ParityCheck());
    EXPECT_EQ(Serial.StopBits(), sb_15);
    EXPECT_FALSE(Serial.HandshakeRtsCts());
    EXPECT_TRUE(Serial.HandshakeXOnXOff());
    EXPECT_TRUE(Serial.HandshakeDtrDsr());
    EXPECT_TRUE(Serial.RTSActive());
    EXPECT_TRUE(Serial.DTRActive());
    EXPECT_EQ(Serial.BufSizeRec(), 4096);
    EXPECT_EQ(Serial.XOffLimit(), 3000);
    EXPECT_EQ(Serial.EventChar(), 10);
    EXPECT_EQ(Serial.COMPort(), 3);
}

TEST_F(SerStdDlgTest, CancelChangesNothing) {
    const QByteArray before = SettingsText(Serial);
    ScriptedPortDialog dialog;
    dialog.Answer = false;
    dialog.Edit = [](TDcb& dcb) {
        dcb.BaudRate = 19200;
        dcb.ByteSize = 7;
        SetDcbFlag(dcb, fRtsControl, 0);
    };
    EXPECT_FALSE(Dlg.Execute());
    EXPECT_EQ(dialog.Seen.size(), 1);
    EXPECT_EQ(SettingsText(Serial), before);
    EXPECT_EQ(Dlg.CommConfig().dcb.BaudRate, 4800u);  // the dialog's edits are dropped
}

// A handshake from an earlier call must not come back as one the user never chose.
TEST_F(SerStdDlgTest, EarlierHandshakeDoesNotLeakIntoTheNextCall) {
    {
        ScriptedPortDialog first;  // RTS/CTS as loaded, plus XOn/XOff bits left behind
        first.Edit = [](TDcb& dcb) { SetDcbFlag(dcb, fOutX, 1), SetDcbFlag(dcb, fInX, 1); };
        ASSERT_TRUE(Dlg.Execute());
    }
    Serial.SetHandshakeRtsCts(false);
    Serial.SetHandshakeXOnXOff(true);
    ScriptedPortDialog second;
    ASSERT_TRUE(Dlg.Execute());
    const TDcb& seen = second.Seen.front();
    EXPECT_EQ(GetDcbFlag(seen, fRtsControl), 0);
    EXPECT_EQ(GetDcbFlag(seen, fOutxCtsFlow), 0);
    EXPECT_FALSE(Serial.HandshakeRtsCts());
    EXPECT_TRUE(Serial.HandshakeXOnXOff());

    Serial.SetHandshakeXOnXOff(false);
    ScriptedPortDialog third;
    ASSERT_TRUE(Dlg.Execute());
    EXPECT_EQ(third.Seen.front().Flags & 0x3304u, 0u);  // no CTS, RTS, XOn, XOff bits
    EXPECT_FALSE(Serial.HandshakeRtsCts());
    EXPECT_FALSE(Serial.HandshakeXOnXOff());
}

TEST_F(SerStdDlgTest, DestroyedSerialIsForgottenAndComOneIsOpened) {
    TSerStdDlg dlg;
    {
        TSerial gone;
        gone.SetCOMPort(3);
        dlg.SetSerial(&gone);
    }
    EXPECT_EQ(dlg.Serial(), nullptr);
    ScriptedPortDialog dialog;
    EXPECT_TRUE(dlg.Execute());
    EXPECT_EQ(dialog.Names, QList<QByteArray>{"COM1"});
    EXPECT_EQ(dialog.Seen.front().BaudRate, 9600u);  // the kept record, untouched
}

// The real form behind the dialog, worked through its controls.
TEST_F(SerStdDlgTest, RealFormEditsTheRecord) {
    OverrideRate(br_009600, 1248);
    Serial.SetBaudrate(br_019200);
    QStringList rates;
    QString flowShown, title;
    SerDialogs::InstallModalRunner([&](QDialog& dialog) {
        auto& form = static_cast<TFormSerStd&>(dialog);
        form.show();
        title = form.windowTitle();
        for (int i = 0; i < form.ui->ComboBoxBaud->count(); ++i)
            rates << form.ui->ComboBoxBaud->itemText(i);
        flowShown = form.ui->ComboBoxFlow->currentText();
        SaveScreenshot(form, "SerStdDlg.png");
        form.ui->ComboBoxBaud->setCurrentText("1248");
        form.ui->ComboBoxDataBits->setCurrentText("7");
        form.ui->ComboBoxParity->setCurrentIndex(2);
        form.ui->ComboBoxFlow->setCurrentText("Xon / Xoff");
        form.ui->ButtonOk->click();
        return form.result();
    });
    const bool ok = Dlg.Execute();
    SerDialogs::InstallModalRunner({});
    RestoreRates();

    ASSERT_TRUE(ok);
    EXPECT_EQ(title, "Eigenschaften von COM3");
    EXPECT_EQ(flowShown, "Hardware");
    // 1248 is offered where 9600 stands, also while another rate is in use; 9600 is not
    // offered, since it would run at 1248.
    EXPECT_EQ(rates.mid(5, 3), QStringList({"4800", "1248", "14400"}));
    EXPECT_FALSE(rates.contains("9600"));
    EXPECT_EQ(rates.size(), 18);
    EXPECT_EQ(Serial.Baudrate(), br_009600);
    EXPECT_EQ(Serial.DataBits(), db_7);
    EXPECT_EQ(Serial.ParityBit(), even);
    EXPECT_FALSE(Serial.HandshakeRtsCts());
    EXPECT_TRUE(Serial.HandshakeXOnXOff());
}

TEST_F(SerStdDlgTest, RealFormCancelledInTheModalLoop) {
    const QByteArray before = SettingsText(Serial);
    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* form = qobject_cast<TFormSerStd*>(w);
            if (!form || !form->isVisible()) continue;
            form->ui->ComboBoxBaud->setCurrentText("115200");
            form->ui->ButtonCancel->click();
        }
    });
    EXPECT_FALSE(Dlg.Execute());
    EXPECT_EQ(SettingsText(Serial), before);
}

TEST(BuildCommDcb, ReadsTheModeTextAndRefusesWhatItCannotRead) {
    TDcb dcb;
    ASSERT_TRUE(BuildCommDcb("baud=19200 parity=E data=7 stop=2", dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.Parity, 2);
    EXPECT_EQ(GetDcbFlag(dcb, fParity), 1);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, 2);

    for (const char* bad : {"baud=fast", "parity=X", "data=9", "stop=3", "speed=9600", "9600"}) {
        TDcb kept = dcb;
        EXPECT_FALSE(BuildCommDcb(bad, kept)) << bad;
        EXPECT_EQ(kept.BaudRate, 19200u) << bad;
        EXPECT_EQ(kept.Flags, dcb.Flags) << bad;
    }
}

TEST_F(SerStdDlgTest, RealFormKeepsBothHandshakesWhenFlowIsUntouched) {
    Serial.SetHandshakeXOnXOff(true);  // RTS/CTS is on as well
    QString flowShown;
    SerDialogs::InstallModalRunner([&](QDialog& dialog) {
        auto& form = static_cast<TFormSerStd&>(dialog);
        form.show();
        flowShown = form.ui->ComboBoxFlow->currentText();
        form.ui->ComboBoxStopBits->setCurrentIndex(2);
        form.ui->ButtonOk->click();
        return form.result();
    });
    const bool ok = Dlg.Execute();
    SerDialogs::InstallModalRunner({});
    ASSERT_TRUE(ok);
    EXPECT_EQ(flowShown, "Hardware");
    EXPECT_EQ(Serial.StopBits(), sb_2);
    EXPECT_TRUE(Serial.HandshakeRtsCts());
    EXPECT_TRUE(Serial.HandshakeXOnXOff());
}
