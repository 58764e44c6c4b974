#pragma once
// Where an instance keeps its files, for a reader beside it (the web front, the broker
// bridge): from the state the instance publishes, or, while none runs, from the Config.ini
// in its folder.
#include <QJsonObject>
#include <QString>

struct TInstanceFiles {
    QString folder;  // the working folder: the programs a call can load
    QString ext;     // the extension of program files
    QString save;    // the save folder
    QString log;     // the log file
};

// state: the instance's last published state, empty when it does not answer.
TInstanceFiles InstanceFiles(const QString& folder, const QJsonObject& state);
