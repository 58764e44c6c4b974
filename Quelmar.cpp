// The main program: the start sequence of the windows, then the message loop; or, with
// --service, the server without a window; or the web side (--web, --status, --web-user).
#include <QApplication>

#include "mainwindow/Unit1.h"
#include "mainwindow/Unit2.h"
#include "options/Unit3.h"
#include "serial/Serial.h"
#include "service/Service.h"
#include "viewer/Unit4.h"
#include "web/WebMain.h"

int main(int argc, char** argv) {
    // The web page, the state of the instances, the page's users: no window, no transfer.
    if (IsWebMode(argc, argv)) return RunWebMode(argc, argv);
    // Any other option is the service's or a question about the program: no window.
    if (argc > 1) return RunService(argc, argv);

    QApplication app(argc, argv);

    ProbeStartUpPorts();
    // The application title, which message boxes take as their caption. It is the name, not
    // the display name: Qt on X11 and Wayland appends a display name to every window's
    // caption, and the windows carry their own captions alone.
    QApplication::setApplicationName(QStringLiteral("DNC Server ( DatenTransfer )"));
    // The help window finds its file itself (TForm1::HelpFilePath): next to the program,
    // else the copy built into it.

    // Creating the main window runs its start-up sequence (LadeParameter).
    Form1 = new TForm1;
    Form1->PublishStatus();  // the web page sees this instance too
    Form4 = new TForm4;
    Form4->Attach(&Form1->OpenDialogLogBox, &Form1->ViewFileName);
    FormAbout = new TFormAbout(Form1);
    Form3 = new TForm3;
    Form3->SetMainMemos(Form1->MemoFile, Form1->MemoTrm, Form1->MemoRec);
    // Only closing the main window ends the program.
    Form4->setAttribute(Qt::WA_QuitOnClose, false);
    Form3->setAttribute(Qt::WA_QuitOnClose, false);

    Form1->show();
    const int result = app.exec();

    delete Form3;
    Form3 = nullptr;
    delete Form4;
    Form4 = nullptr;
    delete Form1;  // owns FormAbout
    FormAbout = nullptr;
    return result;
}
