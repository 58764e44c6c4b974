// The extended port settings dialog, driven through its real widgets offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>

#include "serial/Serial.h"
#include "serialdialogs/SerAddons.h"
#include "serialdialogs/SerExtDlg.h"
#include "tests/common/Screenshot.h"
#include "tests/serial/ProbeResult.h"
#include "ui_COMSetup.h"

namespace {

// Runs each dialog through `script` instead of exec(): the form is shown, the script works
// its controls and clicks a button.
class DialogScript {
  public:
    explicit DialogScript(std::function<void(TFormCOMSetup&)> script) : FScript(script) {
        SerDialogs::InstallModalRunner([this](QDialog& dialog) {
            dialog.show();
            ++Runs;
            FScript(static_cast<TFormCOMSetup&>(dialog));
            return dialog.result();
        });
    }
    ~DialogScript() { SerDialogs::InstallModalRunner({}); }
    int Runs = 0;

  private:
    std::function<void(TFormCOMSetup&)> FScript;
};

void ClickOk(TFormCOMSetup& form) { form.ui->ButtonOk->click(); }

class SerExtDlgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Serial.SetCOMPort(2);
        Serial.SetBaudrate(br_004800);
        Dlg.SetSerial(&Serial);
    }
    void TearDown() override { RestoreRates(); }

    // The probe result must stand before the first component is built.
    struct ProbeFirst {
        ProbeFirst() { ProbeResult({1, 2, 3, 4}); }
    } FProbe;
    TSerial Serial;
    TSerExtDlg Dlg;
};

}  // namespace

// The flag fields keep their values apart: each reads back what was set, cut to what it
// holds (one bit; DTR and RTS control 0 to 3), whatever the others hold.
TEST(DcbFlag, FieldsKeepTheirValuesApart) {
    struct Field {
        int position;
        int most;
    };
    const Field fields[] = {{fBinary, 1},     {fParity, 1}, {fOutxCtsFlow, 1}, {fOutxDsrFlow, 1},
                            {fDtrControl, 3}, {fOutX, 1},   {fInX, 1},         {fRtsControl, 3}};
    for (const Field& field : fields) {
        for (int value = 0; value <= 3; ++value) {
            for (const bool othersSet : {false, true}) {
                TDcb dcb;
                for (const Field& other : fields)
                    SetDcbFlag(dcb, other.position, othersSet ? 3 : 0);
                SetDcbFlag(dcb, field.position, value);
                EXPECT_EQ(GetDcbFlag(dcb, field.position), value & field.most)
                    << "field at " << field.position << ", value " << value;
                for (const Field& other : fields) {
                    if (other.position == field.position) continue;
                    EXPECT_EQ(GetDcbFlag(dcb, other.position), othersSet ? other.most : 0)
                        << "field at " << other.position << " after setting " << field.position;
                }
            }
        }
    }
}

// DTR/DSR is not offered as working: shown off and disabled, with a reason, and OK takes a
// stored request away rather than keeping one the port would not honour.
TEST_F(SerExtDlgTest, RtsCtsShownAloneAfterAnEarlierDtrDsrCall) {
    Serial.SetHandshakeDtrDsr(true);
    bool dtrShown = true, dtrEnabled = true;
    QString why;
    {
        DialogScript script([&](TFormCOMSetup& form) {
            dtrShown = form.ui->CheckBoxDTRDSR->isChecked();
            dtrEnabled = form.ui->CheckBoxDTRDSR->isEnabled();
            QTest::mouseClick(form.ui->CheckBoxDTRDSR, Qt::LeftButton);
            why = form.findChild<QLabel*>("LabelDTRDSR")->text();
            SaveScreenshot(form, "COMSetup-dtrdsr.png");
            ClickOk(form);
        });
        ASSERT_TRUE(Dlg.Execute());
    }
    EXPECT_FALSE(dtrShown);
    EXPECT_FALSE(dtrEnabled);
    EXPECT_EQ(why, QString::fromUtf8("unter Linux nicht verfügbar"));
    EXPECT_FALSE(Serial.HandshakeDtrDsr());
    EXPECT_EQ(GetDcbFlag(Dlg.Dcb(), fOutxDsrFlow), 0);

    Serial.SetHandshakeDtrDsr(false);
    Serial.SetHandshakeRtsCts(true);
    bool rts = false, dtr = true, soft = true;
    DialogScript script([&](TFormCOMSetup& form) {
        rts = form.ui->CheckBoxRTSCTS->isChecked();
        dtr = form.ui->CheckBoxDTRDSR->isChecked();
        soft = form.ui->CheckBoxSoft->isChecked();
        ClickOk(form);
    });
    ASSERT_TRUE(Dlg.Execute());
    EXPECT_TRUE(rts);
    EXPECT_FALSE(dtr);
    EXPECT_FALSE(soft);
    EXPECT_TRUE(Serial.HandshakeRtsCts());
    EXPECT_FALSE(Serial.HandshakeDtrDsr());
    EXPECT_EQ(GetDcbFlag(Dlg.Dcb(), fRtsControl), RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(GetDcbFlag(Dlg.Dcb(), fDtrControl), 0);
}

TEST_F(SerExtDlgTest, BufferSizesStepByPowersOfTwo) {
    struct Row {
        const char* name;
        int bufSizeRec;
        int clicksUp, clicksDown;
        const char* shown;
        int position;
        int result;
    };
    const Row rows[] = {
        {"2048 untouched", 2048, 0, 0, "2048", 11, 2048},
        {"2048 one up", 2048, 1, 0, "2048", 11, 4096},
        {"3000 untouched", 3000, 0, 0, "3000", 11, 3000},
        {"3000 one up goes to the next power", 3000, 1, 0, "3000", 11, 4096},
        {"3000 one down", 3000, 0, 1, "3000", 11, 1024},
        {"top of the range holds", 1048576, 3, 0, "1048576", 20, 1048576},
        {"bottom of the range holds", 16, 0, 2, "16", 4, 16},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Serial.SetBufSizeRec(row.bufSizeRec);
        QString shown;
        int position = -1;
        DialogScript script([&](TFormCOMSetup& form) {
            shown = form.ui->EditBufR->text();
            position = form.ui->UpDown1->Position();
            for (int i = 0; i < row.clicksUp; ++i) form.ui->UpDown1->ButtonUp()->click();
            for (int i = 0; i < row.clicksDown; ++i) form.ui->UpDown1->ButtonDown()->click();
            ClickOk(form);
        });
        ASSERT_TRUE(Dlg.Execute());
        EXPECT_EQ(shown, row.shown);
        EXPECT_EQ(position, row.position);
        EXPECT_EQ(Serial.BufSizeRec(), row.result);
        EXPECT_EQ(Serial.BufSizeTrm(), 2048);
    }
}

TEST_F(SerExtDlgTest, BitRateListIsTheTableAsItStands) {
    OverrideRate(br_009600, 1248);
    QStringList items;
    DialogScript script([&](TFormCOMSetup& form) {
        for (int i = 0; i < form.ui->ComboBoxBaudrate->count(); ++i)
            items << form.ui->ComboBoxBaudrate->itemText(i);
        form.ui->ComboBoxBaudrate->setCurrentIndex(2);  // 150
        ClickOk(form);
    });
    ASSERT_TRUE(Dlg.Execute());
    ASSERT_EQ(items.size(), 20);
    EXPECT_EQ(items.mid(7, 3), QStringList({"4800", "1248", "14400"}));
    EXPECT_EQ(Serial.Baudrate(), br_000150);
    EXPECT_EQ(Dlg.Dcb().BaudRate, 150u);
}

TEST_F(SerExtDlgTest, OkWritesEveryControlBack) {
    Serial.SetRTSActive(true);
    DialogScript script([&](TFormCOMSetup& form) {
        EXPECT_EQ(form.ui->ComboBoxPort->currentText(), "COM2");
        EXPECT_EQ(form.ui->ComboBoxBaudrate->currentText(), "4800");
        form.ui->ComboBoxPort->setCurrentIndex(2);
        form.ui->ComboBoxBaudrate->setCurrentIndex(br_019200);
        form.ui->ComboBoxDatabit->setCurrentIndex(3);
        form.ui->ComboBoxParity->setCurrentIndex(2);
        form.ui->ComboBoxStop->setCurrentIndex(2);
        form.ui->CheckBoxSoft->setChecked(true);
        form.ui->UpDown2->ButtonDown()->click();
        ClickOk(form);
    });
    ASSERT_TRUE(Dlg.Execute());
    EXPECT_EQ(Serial.COMPort(), 3);
    EXPECT_EQ(Serial.Baudrate(), br_019200);
    EXPECT_EQ(Serial.DataBits(), db_7);
    EXPECT_EQ(Serial.ParityBit(), even);
    EXPECT_TRUE(Serial.ParityCheck());
    EXPECT_EQ(Serial.StopBits(), sb_2);
    EXPECT_TRUE(Serial.HandshakeXOnXOff());
    EXPECT_FALSE(Serial.HandshakeRtsCts());
    EXPECT_EQ(Serial.BufSizeTrm(), 1024);
    EXPECT_TRUE(Serial.RTSActive());  // not the dialog's business
    EXPECT_EQ(Dlg.Dcb().XonChar, 17);
    EXPECT_EQ(Dlg.Dcb().XoffChar, 19);
}

TEST_F(SerExtDlgTest, AbortAndCloseChangeNothing) {
    Serial.SetHandshakeRtsCts(true);
    TSerialSettings before;
    Serial.GetSettings(before);
    struct Ending {
        std::function<void(TFormCOMSetup&)> close;
        const char* editAfter;
    };
    const Ending endings[] = {
        {[](TFormCOMSetup& form) { form.ui->ButtonAbort->click(); }, "2048"},  // restored
        {[](TFormCOMSetup& form) { form.close(); }, "4096"},
    };
    for (const Ending& ending : endings) {
        QString editAfter;
        DialogScript script([&](TFormCOMSetup& form) {
            form.ui->ComboBoxBaudrate->setCurrentIndex(br_115200);
            form.ui->CheckBoxRTSCTS->setChecked(false);
            form.ui->UpDown1->ButtonUp()->click();
            ending.close(form);
            editAfter = form.ui->EditBufR->text();
        });
        EXPECT_FALSE(Dlg.Execute());
        EXPECT_EQ(script.Runs, 1);
        EXPECT_EQ(editAfter, ending.editAfter);
        TSerialSettings after;
        Serial.GetSettings(after);
        QByteArray a, b;
        Serial.SettingsToText(before, a);
        Serial.SettingsToText(after, b);
        EXPECT_EQ(a, b);
    }
}

// What the dialog shows is the port OK applies: the port in use is listed even beyond the
// first four; a port that does not exist is shown as the first item, which OK then applies.
TEST_F(SerExtDlgTest, ShownPortIsTheAppliedPort) {
    struct Row {
        const char* name;
        std::initializer_list<int> ports;
        int inUse;
        QStringList listed;
        QString shown;
        int applied;
    };
    const Row rows[] = {
        {"COM6 beyond COM1..COM4",
         {1, 2, 3, 4, 5, 6},
         6,
         {"COM1", "COM2", "COM3", "COM4", "COM6"},
         "COM6",
         6},
        {"COM5 beyond COM1..COM4",
         {1, 2, 3, 4, 5},
         5,
         {"COM1", "COM2", "COM3", "COM4", "COM5"},
         "COM5",
         5},
        {"listed COM6", {5, 6}, 6, {"COM5", "COM6"}, "COM6", 6},
        {"no port in use", {2, 3}, 0, {"COM2", "COM3"}, "COM2", 2},
    };
    for (const Row& row : rows) {
        ProbeResult(row.ports);
        Serial.SetCOMPort(row.inUse);
        ASSERT_EQ(Serial.COMPort(), row.inUse) << row.name;
        QStringList ports;
        QString shown;
        DialogScript script([&](TFormCOMSetup& form) {
            for (int i = 0; i < form.ui->ComboBoxPort->count(); ++i)
                ports << form.ui->ComboBoxPort->itemText(i);
            shown = form.ui->ComboBoxPort->currentText();
            ClickOk(form);
        });
        ASSERT_TRUE(Dlg.Execute());
        EXPECT_EQ(ports, row.listed) << row.name;
        EXPECT_EQ(shown, row.shown) << row.name;
        EXPECT_EQ(Serial.COMPort(), row.applied) << row.name;
    }
}

// A port the user may not open is there, and says so, with the way to the right.
TEST_F(SerExtDlgTest, PortNotPermittedIsMarked) {
    ProbeResult({1, 3});
    PortNotPermitted[3] = true;
    QString closed, listed, tip;
    DialogScript script([&](TFormCOMSetup& form) {
        form.ui->ComboBoxPort->setCurrentIndex(1);
        closed = form.ui->ComboBoxPort->currentText();
        listed = PortItemText(form.ui->ComboBoxPort, 1);
        tip = form.ui->ComboBoxPort->toolTip();
        ClickOk(form);
    });
    ASSERT_TRUE(Dlg.Execute());
    PortNotPermitted[3] = false;
    EXPECT_EQ(closed, "COM3");  // the closed box is too narrow for more
    EXPECT_EQ(listed, "COM3 (keine Berechtigung)");
    EXPECT_TRUE(tip.contains("dialout")) << tip.toStdString();
    EXPECT_EQ(Serial.COMPort(), 3);  // chosen all the same: its open will say why it fails
}

TEST_F(SerExtDlgTest, NoPortsAndNoSerial) {
    ProbeResult({});
    TSerExtDlg alone;
    int count = -1;
    DialogScript script([&](TFormCOMSetup& form) {
        count = form.ui->ComboBoxPort->count();
        ClickOk(form);
    });
    EXPECT_TRUE(alone.Execute());
    EXPECT_EQ(count, 0);

    // A destroyed component is forgotten instead of written to.
    {
        TSerial gone;
        alone.SetSerial(&gone);
    }
    EXPECT_EQ(alone.Serial(), nullptr);
    EXPECT_TRUE(alone.Execute());
}

// The real modal loop: exec() runs, a timer finds the dialog and clicks through it.
TEST_F(SerExtDlgTest, RealModalDialogIsClickedThrough) {
    Dlg.PositionDlg = poScreenCenter;
    bool seen = false;
    QTimer::singleShot(0, [&] {
        TFormCOMSetup* form = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* f = qobject_cast<TFormCOMSetup*>(w); f && f->isVisible()) form = f;
        if (!form) return;  // nothing to click: exec() stays open and ctest times out
        seen = true;
        form->ui->CheckBoxSoft->setChecked(true);
        form->ui->ComboBoxBaudrate->setCurrentIndex(br_057600);
        SaveScreenshot(*form, "COMSetup.png");
        form->ui->ButtonOk->click();
    });
    ASSERT_TRUE(Dlg.Execute());
    EXPECT_TRUE(seen);
    EXPECT_TRUE(Serial.HandshakeXOnXOff());
    EXPECT_EQ(Serial.Baudrate(), br_057600);
}
