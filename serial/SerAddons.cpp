#include "serial/SerAddons.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>

#include "serial/Serial.h"

namespace {
QString PortName(int port) { return QStringLiteral("COM%1").arg(port); }
}  // namespace

// ---- TCOMComboBox -----------------------------------------------------------------------

TCOMComboBox::TCOMComboBox(QWidget* parent) : QComboBox(parent) {
    EnsurePortsProbed(4);
    setEditable(false);
    setEnabled(true);
    setMaxVisibleItems(4);
    resize(57, height());
    if (AnyPortExists) {
        for (int i = 0; i < 4; ++i) {
            if (PortList[i] > 0) addItem(PortName(PortList[i]));
        }
    } else {
        addItem(QStringLiteral("keinen"));
    }
    setCurrentIndex(0);
    // A pick by the user is the change notification; programmatic selection is not.
    connect(this, &QComboBox::activated, this, [this](int) { Change(); });
}

int TCOMComboBox::SelectedPort() const {
    const int index = currentIndex();
    if (!AnyPortExists || index < 0 || index >= 99) return 0;
    return PortList[index];
}

void TCOMComboBox::SetSelectedPort(int v) {
    if (v < 1 || v > 98 || !PortExists[v]) return;
    int index = -1;
    for (int i = 0; i < 99; ++i) {
        if (PortList[i] == v) {
            index = i;
            break;
        }
    }
    // The list shows only the first four ports; a later one cannot be selected.
    if (index < 0 || index >= count()) return;
    setCurrentIndex(index);
    if (SerialRef) SerialRef->SetCOMPort(v);
    Change();
}

void TCOMComboBox::Change() {
    if (SerialRef) {
        const int index = currentIndex();
        SerialRef->SetCOMPort(AnyPortExists && index >= 0 && index < 99 ? PortList[index] : 0);
    }
    emit OnChange();
}

// ---- TFormSerSel --------------------------------------------------------------------------

TFormSerSel::TFormSerSel(QWidget* parent) : QDialog(parent) {
    setupUi(this);
    setFixedSize(185, 72);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    font.setStretch(QFont::Condensed);  // where the face is missing, a narrow one fits
    setFont(font);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    connect(ComboBox1, &QComboBox::currentIndexChanged, this, [this](int) { ComboBox1Change(); });
    FormCreate();
}

void TFormSerSel::FormCreate() {
    ComboBox1->clear();
    if (AnyPortExists) {
        for (int i = 0; i < 99; ++i) {
            if (PortList[i] > 0) ComboBox1->addItem(PortName(PortList[i]));
        }
    }
}

void TFormSerSel::FormShow() {
    if (ComboBox1->count() == 0) {
        HoldsPorts = false;
        ComboBox1->addItem(QStringLiteral("keine"));
        Port = 0;
        return;
    }
    if (Port == 0) Port = 1;
    const bool listed = Port >= 1 && Port <= 99 && PortExists[Port];
    // The first item is shown when the port is not in the list; Port follows what is shown,
    // so OK without touching the list takes the port the user saw.
    HoldsPorts = false;
    ComboBox1->setCurrentIndex(listed ? PortListIndex(Port) : 0);
    HoldsPorts = true;
    ComboBox1Change();
    ComboBox1->setFocus();
}

void TFormSerSel::ComboBox1Change() {
    const int index = ComboBox1->currentIndex();
    if (HoldsPorts && index >= 0 && index < 99) Port = PortList[index];
}

void TFormSerSel::showEvent(QShowEvent* event) {
    FormShow();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    QDialog::showEvent(event);
}

// ---- TSerSel ------------------------------------------------------------------------------

TSerSel::TSerSel(QObject* parent) : QObject(parent) { EnsurePortsProbed(4); }

bool TSerSel::Execute() {
    TFormSerSel form(QApplication::activeWindow());
    form.Port = SerialRef ? SerialRef->COMPort() : 1;
    const bool ok = form.exec() == QDialog::Accepted;
    if (ok && SerialRef) SerialRef->SetCOMPort(form.Port);
    return ok;
}
