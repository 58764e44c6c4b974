#pragma once
// Features of the main window that are not built yet register here by the object name of
// their menu item or control; the window disables those controls at creation.
#include <QSet>
#include <QString>

// Registers a pending feature; returns true so it can initialise a static.
bool PendingFeature(const char* objectName);
// The registered names.
const QSet<QString>& PendingFeatures();
