#pragma once
// No exception may leave a Qt slot. Every handler runs inside Guarded(): a file or
// conversion error ends the handler with a message box naming what failed and why,
// and the program and the port stay in service.
#include <QByteArray>
#include <functional>

#include "common/Errors.h"

class QWidget;

// Runs body; on an exception shows an error box "<handler>: <what>" and returns false.
bool Guarded(QWidget* parent, const char* handler, const std::function<void()>& body);

class QEvent;
class QObject;

// An application (QCoreApplication or QApplication) whose event loop no exception ends: one
// that leaves an event's handler is handed to report, and the loop goes on.
template <class Application>
class TGuardedApplication : public Application {
  public:
    TGuardedApplication(int& argc, char** argv, void (*report)(const QByteArray& what))
        : Application(argc, argv), report_(report) {}
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return Application::notify(receiver, event);
        } catch (const std::exception& e) {
            report_(QByteArray(e.what()));
        } catch (...) {
            report_("unbekannter Fehler");
        }
        return false;
    }

  private:
    void (*report_)(const QByteArray& what);
};

// Text to integer the way the handlers need it; throws ConversionError naming `what`.
int ToInt(const QByteArray& text, const QByteArray& what);
