#pragma once
// The start-up listing of Config.ini in a memo of the main window.
#include "config/Konfig.h"

class QPlainTextEdit;

// The listing in a memo: blue, "arial" 7 points, as the window shows it.
TConfigListing MemoListing(QPlainTextEdit* memo);
