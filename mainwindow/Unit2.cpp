#include "mainwindow/Unit2.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

TFormAbout* FormAbout = nullptr;

TFormAbout::TFormAbout(QWidget* parent) : QDialog(parent) {
    setupUi(this);
    setFixedSize(366, 224);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(14);
    font.setStretch(QFont::Condensed);  // where the face is missing, a narrow one fits
    setFont(font);
    QFont title = ProductName->font();
    title.setPixelSize(17);
    title.setBold(true);
    ProductName->setFont(title);
    QPalette navy = ProductName->palette();
    navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
    ProductName->setPalette(navy);
    ProgramIcon->setPixmap(ProgramPicture(48));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

QPixmap ProgramPicture(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 48.0, size / 48.0);
    // Machine body with its control screen.
    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    p.setBrush(QColor(120, 140, 160));
    p.drawRoundedRect(QRectF(4, 6, 28, 36), 3, 3);
    p.setBrush(QColor(20, 60, 20));
    p.drawRect(QRectF(8, 10, 20, 12));
    p.setPen(QPen(QColor(90, 230, 90), 1.2));
    p.drawLine(QPointF(10, 14), QPointF(22, 14));
    p.drawLine(QPointF(10, 18), QPointF(18, 18));
    // Spindle and tool.
    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    p.setBrush(QColor(200, 200, 210));
    p.drawRect(QRectF(12, 26, 12, 6));
    p.drawPolygon(QPolygonF({QPointF(16, 32), QPointF(20, 32), QPointF(18, 38)}));
    // Cable to the serial plug.
    p.setPen(QPen(QColor(0, 0, 255), 2));
    p.setBrush(Qt::NoBrush);
    QPainterPath cable(QPointF(32, 24));
    cable.cubicTo(QPointF(40, 24), QPointF(36, 38), QPointF(42, 38));
    p.drawPath(cable);
    p.setPen(QPen(QColor(40, 40, 40), 1.2));
    p.setBrush(QColor(255, 0, 0));
    p.drawPolygon(QPolygonF({QPointF(38, 32), QPointF(47, 32), QPointF(46, 44), QPointF(39, 44)}));
    return pixmap;
}

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(ProgramPicture(size));
    return icon;
}
