#include "widgets/Placement.h"

#include <QGuiApplication>
#include <QMainWindow>
#include <QRect>
#include <QScreen>
#include <QScrollArea>
#include <QWidget>
#include <algorithm>

namespace {

// A title bar and borders of the common window managers, with a little to spare.
constexpr int kFrameWidth = 10;
constexpr int kFrameHeight = 40;

QRect AvailableArea(const QWidget* window) {
    const QScreen* screen = window->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

}  // namespace

void PlaceOnScreen(QWidget* window, QPoint designed) {
    // The place is the frame's; its size is known once the window is shown.
    const QSize outer = window->isVisible() ? window->frameGeometry().size()
                                            : window->size() + QSize(kFrameWidth, kFrameHeight);
    QRect frame(designed, outer);
    if (const QRect area = AvailableArea(window); area.isValid()) {
        if (frame.right() > area.right()) frame.moveRight(area.right());
        if (frame.bottom() > area.bottom()) frame.moveBottom(area.bottom());
        if (frame.left() < area.left()) frame.moveLeft(area.left());
        if (frame.top() < area.top()) frame.moveTop(area.top());
    }
    window->move(frame.topLeft());
}

QSize ScreenRoom(const QWidget* window) {
    const QRect area = AvailableArea(window);
    if (!area.isValid()) return QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    return QSize(area.width() - kFrameWidth, area.height() - kFrameHeight);
}

QSize FitToScreen(QWidget* window, QSize designed, TOverflow overflow) {
    const QSize size = designed.boundedTo(ScreenRoom(window));
    const bool fixed = window->minimumSize() == window->maximumSize();
    auto* main = qobject_cast<QMainWindow*>(window);
    if (size != designed && overflow == TOverflow::Scroll && main && main->centralWidget() &&
        !qobject_cast<QScrollArea*>(main->centralWidget())) {
        // The content keeps its designed layout and scrolls inside the smaller window.
        QWidget* content = main->takeCentralWidget();
        const QRect used = content->childrenRect();
        content->setMinimumSize(used.right() + 9, used.bottom() + 9);
        auto* scroll = new QScrollArea(main);
        scroll->setObjectName(QStringLiteral("ContentScroll"));
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setWidget(content);
        main->setCentralWidget(scroll);
    }
    if (fixed) {
        window->setFixedSize(size);
    } else {
        window->resize(size);
    }
    return size;
}

void PlaceBelow(QWidget* window, QSize designed, QPoint top) {
    QSize room = ScreenRoom(window);
    if (const QRect area = AvailableArea(window); area.isValid()) {
        // Never so small that the window is of no use; it then moves up instead.
        constexpr int kLeast = 240;
        room.setHeight(std::max(kLeast, room.height() - (top.y() - area.top())));
    }
    window->resize(designed.boundedTo(room));
    PlaceOnScreen(window, top);
}
