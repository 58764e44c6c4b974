#include "serialdialogs/SerAddons.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QStyledItemDelegate>
#include <algorithm>

#include "common/Ansi.h"
#include "serial/PortError.h"
#include "serial/Serial.h"

namespace {

QString PortName(int port) { return QStringLiteral("COM%1").arg(port); }

bool Denied(int port) { return port >= 1 && port <= MaxPort && PortNotPermitted[port]; }

// The drop-down list shows a port the user may not open with its mark; the closed box is
// too narrow for it and shows the name, with the hint as tool tip.
class TPortItemDelegate : public QStyledItemDelegate {
  public:
    explicit TPortItemDelegate(QComboBox* box) : QStyledItemDelegate(box), FBox(box) {}

  protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->text = PortItemText(FBox, index.row());
    }

  private:
    QComboBox* FBox;
};

void ShowDeniedPorts(QComboBox* box) {
    if (dynamic_cast<TPortItemDelegate*>(box->itemDelegate())) return;
    box->setItemDelegate(new TPortItemDelegate(box));
    auto tip = [box](int index) {
        box->setToolTip(Denied(ItemPort(box, index)) ? Ansi::ToQString(PortError::DialoutHint())
                                                     : QString());
    };
    QObject::connect(box, &QComboBox::currentIndexChanged, box, tip);
    tip(box->currentIndex());
}

}  // namespace

int InsertPortItem(QComboBox* box, int port) {
    if (const int listed = PortItemIndex(box, port); listed >= 0) return listed;
    int at = 0;
    while (at < box->count() && ItemPort(box, at) < port) ++at;
    if (Denied(port)) ShowDeniedPorts(box);
    box->insertItem(at, PortName(port), port);
    if (Denied(port)) {
        box->setItemData(at, Ansi::ToQString(PortError::DialoutHint()), Qt::ToolTipRole);
        QAbstractItemView* list = box->view();
        list->setMinimumWidth(std::max(list->minimumWidth(), list->sizeHintForColumn(0) + 8));
    }
    return at;
}

QString PortItemText(const QComboBox* box, int index) {
    const int port = ItemPort(box, index);
    QString text = box->itemText(index);
    if (Denied(port)) text += Ansi::ToQString(PortError::NotPermittedMark());
    return text;
}

int ItemPort(const QComboBox* box, int index) {
    if (index < 0 || index >= box->count()) return 0;
    return box->itemData(index).toInt();
}

int PortItemIndex(const QComboBox* box, int port) {
    if (port <= 0) return -1;
    for (int i = 0; i < box->count(); ++i)
        if (ItemPort(box, i) == port) return i;
    return -1;
}

// ---- TCOMComboBox -----------------------------------------------------------------------

TCOMComboBox::TCOMComboBox(QWidget* parent) : QComboBox(parent) {
    EnsurePortsProbed(4);
    setEditable(false);
    setEnabled(true);
    setMaxVisibleItems(4);
    resize(57, height());
    if (AnyPortExists) {
        for (int i = 0; i < 4; ++i) {
            if (PortList[i] > 0) InsertPortItem(this, PortList[i]);
        }
    } else {
        addItem(QStringLiteral("keinen"), 0);
    }
    setCurrentIndex(0);
    // A pick by the user is the change notification; programmatic selection is not.
    connect(this, &QComboBox::activated, this, [this](int) { Change(); });
}

int TCOMComboBox::SelectedPort() const { return ItemPort(this, currentIndex()); }

void TCOMComboBox::SetSelectedPort(int v) {
    if (v == 0) {
        // No port in use: nothing is shown as if it were ("keinen" stays when it is all).
        setCurrentIndex(ItemPort(this, 0) == 0 && count() == 1 ? 0 : -1);
    } else {
        if (v < 1 || v > MaxPort || !PortExists[v]) return;
        // A port beyond the first four is added: the box shows the port in use, never
        // another one.
        setCurrentIndex(InsertPortItem(this, v));
    }
    if (SerialRef) SerialRef->SetCOMPort(v);
    Change();
}

void TCOMComboBox::Change() {
    if (SerialRef) SerialRef->SetCOMPort(SelectedPort());
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
            if (PortList[i] > 0) InsertPortItem(ComboBox1, PortList[i]);
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
    ComboBox1->setCurrentIndex(listed ? std::max(PortItemIndex(ComboBox1, Port), 0) : 0);
    HoldsPorts = true;
    ComboBox1Change();
    ComboBox1->setFocus();
}

void TFormSerSel::ComboBox1Change() {
    const int port = ItemPort(ComboBox1, ComboBox1->currentIndex());
    if (HoldsPorts && port > 0) Port = port;
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
