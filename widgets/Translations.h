#pragma once
// Qt's own texts (the buttons of its boxes, its file dialogs, the context menus of text
// fields) in German, like the rest of the program, whatever the desktop's language.

// Installs Qt's German translations (Debian: qt6-translations-l10n) in the application.
// False when they are not installed: Qt's texts then stay English.
bool LoadGermanQtTexts();
