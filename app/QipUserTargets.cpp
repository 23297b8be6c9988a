#include "app/QipUserTargets.h"

#include <QSettings>

#include <memory>

#include <cstdio>

#include "app/QipSettings.h"

namespace {

const char* const cKey = "ProbeTargets";

}  // namespace

std::unique_ptr<QSettings> QipUserTargets::Open() {
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QStringLiteral("qipfinder"), QStringLiteral("qipfinder"));
}

QStringList QipUserTargets::Load() {
    const std::unique_ptr<QSettings> settings = Open();
    const QVariant stored = settings->value(QLatin1String(cKey));
    if (!stored.isValid()) {
        return QStringList();
    }
    // A single entry comes back as a text, several as a list.
    QVariantList entries;
    for (const QString& text : stored.toStringList()) {
        entries.append(text);
    }
    return QipSettings::ProbeTargetsFrom(entries, "The remembered networks to search");
}

bool QipUserTargets::Save(const QStringList& targets) {
    const std::unique_ptr<QSettings> settings = Open();
    if (targets.isEmpty()) {
        settings->remove(QLatin1String(cKey));
    } else {
        settings->setValue(QLatin1String(cKey), targets);
    }
    settings->sync();
    if (settings->status() != QSettings::NoError) {
        std::fprintf(stderr, "Cannot save the networks to search in %s\n",
                     settings->fileName().toLocal8Bit().constData());
        return false;
    }
    return true;
}

QString QipUserTargets::FilePath() {
    const std::unique_ptr<QSettings> settings = Open();
    return settings->fileName();
}
