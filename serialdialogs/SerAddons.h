#pragma once
// Choosing the port: the combo box on the main window and the small chooser dialog. Both
// offer only the ports the probe found; the probe runs once per process.
#include <QComboBox>
#include <QDialog>
#include <QObject>

#include "ui_SerSel.h"

class TCustomSerial;

// Port lists: each item is "COMn" with the port number as its data, in ascending order. A
// port the user may not open is listed as "COMn (keine Berechtigung)" in the drop-down,
// which widens to show it whole, with the dialout hint as tool tip of the item and of the
// box while it is selected.
// Adds port (if not listed yet) and returns its index.
int InsertPortItem(QComboBox* box, int port);
// The text the drop-down shows for an item.
QString PortItemText(const QComboBox* box, int index);
// The port of an item, 0 for none (no item, or the "keinen" entry).
int ItemPort(const QComboBox* box, int index);
// The index of port's item, -1 when it is not listed.
int PortItemIndex(const QComboBox* box, int port);

// A drop-down list of the first four existing ports ("keinen" when none exists), bound to a
// serial component whose COMPort follows the selection. It always shows the port it was last
// set to: a later port is added to the list, port 0 shows no selection.
class TCOMComboBox : public QComboBox {
    Q_OBJECT

  public:
    explicit TCOMComboBox(QWidget* parent = nullptr);

    TCustomSerial* Serial() const { return SerialRef; }
    void SetSerial(TCustomSerial* serial) { SerialRef = serial; }

    // The port of the selected item; 0 when no port exists or nothing is selected.
    int SelectedPort() const;
    // Selects port v (adding it to the list when it is not among the first four) and passes
    // it to the bound component; 0 selects nothing. Ignored for a port that does not exist.
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
