#include "common/FrontCall.h"

#include <QFileInfo>
#include <cstdio>

#include "common/Ansi.h"

void Say(const QString& text) {
    std::fputs((text + u'\n').toUtf8().constData(), stderr);
    std::fflush(stderr);
}

void SayWrongCall(const QString& text, const QByteArray& usage) {
    Say(QStringLiteral("dnc-server: ") + text);
    Say(Ansi::ToQString(usage));
}

bool RootMissing(const QString& root) {
    if (QFileInfo(root).isDir()) return false;
    Say(QStringLiteral("dnc-server: Wurzelordner %1 ist nicht vorhanden.").arg(root));
    return true;
}
