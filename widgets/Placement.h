#pragma once
// Windows keep their designed place, moved in just far enough to be reachable on a screen
// smaller than the one they were designed for.
#include <QPoint>

class QWidget;

void PlaceOnScreen(QWidget* window, QPoint designed);
