// The main window's menu entries for the port parameters and the extended settings.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QPushButton>
#include <QTemporaryDir>

#include "mainwindow/Unit1.h"
#include "serial/Serial.h"
#include "serialdialogs/SerAddons.h"
#include "serialdialogs/SerExtDlg.h"
#include "serialdialogs/SerStdDlg.h"
#include "tests/serial/ProbeResult.h"
#include "ui_COMSetup.h"

namespace {

class Unit1DlgMenuTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Config.isValid());
        qputenv("XDG_CONFIG_HOME", Config.path().toLocal8Bit());
        ProbeResult({1, 2, 4});
        Form = std::make_unique<TForm1>(nullptr, false);
        Form->Serial1->SetCOMPort(1);
        Form->COMComboBox1->SetSelectedPort(1);
    }
    void TearDown() override {
        Form.reset();
        SerDialogs::InstallModalRunner({});
        SerDialogs::InstallCommConfigDialog({});
    }

    QTemporaryDir Config;
    std::unique_ptr<TForm1> Form;
};

}  // namespace

TEST_F(Unit1DlgMenuTest, ExtendedSettingsOkMovesThePortComboBox) {
    ASSERT_TRUE(Form->Menu_ExtParameter->isEnabled());
    SerDialogs::InstallModalRunner([](QDialog& dialog) {
        auto& form = static_cast<TFormCOMSetup&>(dialog);
        form.show();
        form.ui->ComboBoxPort->setCurrentText("COM4");
        form.ui->ButtonOk->click();
        return form.result();
    });
    Form->Menu_ExtParameter->trigger();
    EXPECT_EQ(Form->Serial1->COMPort(), 4);
    EXPECT_EQ(Form->COMComboBox1->SelectedPort(), 4);
    EXPECT_EQ(Form->COMComboBox1->currentText(), "COM4");
}

TEST_F(Unit1DlgMenuTest, ExtendedSettingsCancelLeavesThePort) {
    SerDialogs::InstallModalRunner([](QDialog& dialog) {
        auto& form = static_cast<TFormCOMSetup&>(dialog);
        form.show();
        form.ui->ComboBoxPort->setCurrentText("COM2");
        form.ui->ButtonAbort->click();
        return form.result();
    });
    Form->Menu_ExtParameter->trigger();
    EXPECT_EQ(Form->Serial1->COMPort(), 1);
    EXPECT_EQ(Form->COMComboBox1->SelectedPort(), 1);
}

TEST_F(Unit1DlgMenuTest, ParameterDialogEditsSerial1) {
    ASSERT_TRUE(Form->Menu_Parameter->isEnabled());
    QByteArray name;
    SerDialogs::InstallCommConfigDialog([&](const QByteArray& port, QWidget*, TCommConfig& c) {
        name = port;
        c.dcb.BaudRate = 19200;
        return true;
    });
    Form->Menu_Parameter->trigger();
    EXPECT_EQ(name, "COM1");
    EXPECT_EQ(Form->Serial1->Baudrate(), br_019200);
    EXPECT_TRUE(Form->Serial1->HandshakeRtsCts());  // the window's setting, shown and kept
}
