#pragma once
// Choosing the port: the combo box on the main window and the small chooser dialog. Both
// offer only the ports the probe found; the probe runs once per process.
#include <QComboBox>
#include <QDialog>
#include <QObject>

#include "ui_SerSel.h"

class TCustomSerial;

// A drop-down list of the first four existing ports ("keinen" when none exists), bound to a
// serial component whose COMPort follows the selection.
class TCOMComboBox : public QComboBox {
    Q_OBJECT

  public:
    explicit TCOMComboBox(QWidget* parent = nullptr);

    TCustomSerial* Serial() const { return SerialRef; }
    void SetSerial(TCustomSerial* serial) { SerialRef = serial; }

    // The port of the selected item; 0 when no port exists or nothing is selected.
    int SelectedPort() const;
    // Selects port v and passes it to the bound component; ignored unless 1 <= v <= 98
    // and the port exists.
    void SetSelectedPort(int v);

    // Passes the selected port to the bound component, then emits OnChange. Runs when the
    // user picks an item and after each accepted SetSelectedPort.
    virtual void Change();

  signals:
    void OnChange();

  private:
    TCustomSerial* SerialRef = nullptr;
};

// The chooser dialog's form.
class TFormSerSel : public QDialog, public Ui::TFormSerSel {
    Q_OBJECT

  public:
    explicit TFormSerSel(QWidget* parent = nullptr);

    int Port = 0;             // the chosen port number
    bool HoldsPorts = false;  // the list holds real ports (not "keine")

    void FormCreate();
    void FormShow();
    void ComboBox1Change();

  protected:
    void showEvent(QShowEvent* event) override;
};

// Shows TFormSerSel for the bound component and takes the chosen port on OK.
class TSerSel : public QObject {
    Q_OBJECT

  public:
    explicit TSerSel(QObject* parent = nullptr);

    TCustomSerial* Serial() const { return SerialRef; }
    void SetSerial(TCustomSerial* serial) { SerialRef = serial; }

    // True when the user confirmed with OK.
    bool Execute();

  private:
    TCustomSerial* SerialRef = nullptr;
};
