#pragma once
// Pictures of the windows the tests show, for a person to look at: in the folder
// $DNC_SCREENSHOTS when it is set, else in a temporary folder of the test process, removed
// at its end, so that runs side by side never share a file.
#include <QString>
#include <QTemporaryDir>
#include <QWidget>

inline QString ScreenshotPath(const QString& name) {
    const QString chosen = qEnvironmentVariable("DNC_SCREENSHOTS");
    if (!chosen.isEmpty()) return chosen + QStringLiteral("/") + name;
    static QTemporaryDir dir;
    return dir.filePath(name);
}

// Renders the widget as it is now into name (a .png); false when that fails.
inline bool SaveScreenshot(QWidget& widget, const QString& name) {
    return widget.grab().save(ScreenshotPath(name));
}
