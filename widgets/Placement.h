#pragma once
// Windows keep their designed place, moved in just far enough to be reachable on a screen
// smaller than the one they were designed for, and their designed size where the screen
// holds it.
#include <QPoint>
#include <QSize>

class QWidget;

void PlaceOnScreen(QWidget* window, QPoint designed);

// The screen area a window may take: the screen's available area less room for the frame
// the window manager puts around it (title bar, borders), which is not known before show.
QSize ScreenRoom(const QWidget* window);

// What a window does with content that a smaller size cuts: a main window shows it in a
// scroll area (Scroll), or its own code makes the content smaller (Shrink).
enum class TOverflow { Scroll, Shrink };

// Gives the window its designed size where ScreenRoom holds it, else as much as it holds.
// A window of fixed size stays fixed at the size given. Returns that size.
QSize FitToScreen(QWidget* window, QSize designed, TOverflow overflow = TOverflow::Scroll);

// Puts the window with its top-left corner at top (a point on the screen), as large as
// designed where the screen below that point holds it, else as much as it holds.
void PlaceBelow(QWidget* window, QSize designed, QPoint top);
