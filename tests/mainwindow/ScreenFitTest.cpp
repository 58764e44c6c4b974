// Every window of the program on a 1024 x 768 screen, as many shop-floor PCs have: each
// fits the screen's free area with its frame, and the help window leaves the main menus in
// reach and closes with Escape.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include "common/ScriptedSeam.h"
#include "mainwindow/Unit1.h"
#include "mainwindow/Unit2.h"
#include "mainwindow/Workspace.h"
#include "options/Unit3.h"
#include "serialdialogs/SerAddons.h"
#include "serialdialogs/SerExtDlg.h"
#include "serialdialogs/SerStdDlg.h"
#include "tests/common/Screenshot.h"
#include "tests/serial/PtyPortMap.h"
#include "viewer/Unit4.h"

namespace {

TEST(ScreenFit, EveryWindowFitsA1024x768Screen) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    ASSERT_EQ(QGuiApplication::primaryScreen()->geometry().size(), QSize(1024, 768));
    QTemporaryDir work;
    const QString oldDir = QDir::currentPath();
    QDir::setCurrent(work.path());
    PtyPortMap map;
    ScriptedSeam seam;

    TForm1 main(nullptr, false);
    TForm3 options;
    TForm4 viewer;
    TFormAbout about;
    TFormSerSel chooser;
    TFormSerStd parameters;
    TFormCOMSetup extended;
    const QList<QWidget*> windows = {&main,    &options,    &viewer,  &about,
                                     &chooser, &parameters, &extended};
    for (QWidget* w : windows) {
        w->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
        const QString name = w->metaObject()->className();
        EXPECT_TRUE(area.contains(w->frameGeometry()))
            << name.toStdString() << " " << w->frameGeometry().width() << "x"
            << w->frameGeometry().height() << "+" << w->frameGeometry().x() << "+"
            << w->frameGeometry().y();
        EXPECT_TRUE(SaveScreenshot(*w, "1024x768-" + name + ".png"));
    }
    // The viewer, taller than this screen as designed, keeps its status line in view.
    const QRect status(viewer.statusBar()->mapTo(&viewer, QPoint(0, 0)),
                       viewer.statusBar()->size());
    EXPECT_TRUE(viewer.rect().contains(status));
    EXPECT_LE(viewer.Edit1->geometry().bottom(), viewer.centralWidget()->height());

    // Help: below the main window's menus, inside the screen; Escape closes it.
    main.Hilfe1->trigger();
    auto* help = main.findChild<QTextBrowser*>(QStringLiteral("HelpWindow"));
    ASSERT_NE(help, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(help));
    const QRect menus(main.menuBar()->mapToGlobal(QPoint(0, 0)), main.menuBar()->size());
    EXPECT_FALSE(help->frameGeometry().intersects(menus));
    EXPECT_TRUE(area.contains(help->frameGeometry()));
    EXPECT_TRUE(SaveScreenshot(*help, "1024x768-help.png"));
    QTest::keyClick(help, Qt::Key_Escape);
    EXPECT_FALSE(help->isVisible());
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join("|").toStdString();
    QDir::setCurrent(oldDir);
}

// The box of the first start, as the real dialogs show it: long folder names and all, it
// fits the screen too.
TEST(ScreenFit, TheFirstStartBoxFits) {
    PtyPortMap map;
    Workspace::TEntered entered;
    entered.folder = QStringLiteral("/home/bediener-mit-langem-namen/DNC-Server");
    entered.created = true;
    entered.serialDefaults = true;
    QRect shown;
    QTimer::singleShot(0, [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (!box) return;  // the box did not come: exec() stays open and ctest times out
        ASSERT_TRUE(QTest::qWaitForWindowExposed(box));
        shown = box->frameGeometry();
        EXPECT_TRUE(SaveScreenshot(*box, "first-start-box.png"));
        static_cast<QDialog*>(box)->accept();
    });
    Modal::Info(nullptr, Workspace::FirstStartText(entered));
    EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(shown))
        << shown.width() << "x" << shown.height();
}

}  // namespace
