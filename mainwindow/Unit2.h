#pragma once
// The about box, and the program's picture (window icon and the about box's image).
#include <QDialog>
#include <QIcon>
#include <QPixmap>

#include "ui_Unit2.h"

class TFormAbout : public QDialog, public Ui::TFormAbout {
    Q_OBJECT

  public:
    explicit TFormAbout(QWidget* parent = nullptr);
};

// A drawn picture of a machine tool with a serial plug, size x size pixels.
QPixmap ProgramPicture(int size);
// The window icon made of ProgramPicture in the usual sizes.
QIcon ProgramIcon();

extern TFormAbout* FormAbout;
