#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>

#include <memory>

// The networks the user added with "Search Another Network…", kept in the user's own
// settings (QSettings, $XDG_CONFIG_HOME/qipfinder/qipfinder.ini, key ProbeTargets) so that
// later runs probe them too. Main thread only; nothing is cached.
class QipUserTargets {
public:
    // The remembered targets in the order added; entries that are no longer well-formed
    // targets are left out with one line on standard error.
    static QStringList Load();
    // Replaces the remembered targets; false (one line on standard error) when the settings
    // file could not be written.
    static bool Save(const QStringList& targets);
    // The settings file, for telling the user where it lives.
    static QString FilePath();
    // That file, for other things the program remembers there (the window's placement).
    static std::unique_ptr<QSettings> Open();
};
