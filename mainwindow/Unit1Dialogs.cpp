// The menu entries for the port parameters and the extended port settings.
#include "mainwindow/Unit1.h"
#include "serial/Serial.h"
#include "serialdialogs/SerAddons.h"
#include "serialdialogs/SerExtDlg.h"
#include "serialdialogs/SerStdDlg.h"

void TForm1::CreatePortDialogs() {
    SerStdDlg1 = new TSerStdDlg(this);
    SerStdDlg1->SetSerial(Serial1);
    SerExtDlg1 = new TSerExtDlg(this);
    SerExtDlg1->SetSerial(Serial1);
    SerExtDlg1->PositionDlg = poScreenCenter;
    SerExtDlg1->LeftDlg = 0;
    SerExtDlg1->TopDlg = 0;
}

// The new settings take effect at the next open of the port.
void TForm1::Menu_ParameterClick() { SerStdDlg1->Execute(); }

void TForm1::Menu_ExtParameterClick() {
    if (SerExtDlg1->Execute()) COMComboBox1->SetSelectedPort(Serial1->COMPort());
}
