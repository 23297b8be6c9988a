// The controller's part in searching networks beyond the broadcast domain.
#include "app/QipController.h"

#include <QSet>

#include "app/QipSearchFactory.h"
#include "app/QipUserTargets.h"

QStringList QipController::probeTargets() const {
    QStringList targets = mSettings.mProbeTargets;
    QSet<QString> seen(targets.cbegin(), targets.cend());
    for (const QString& target : mUserProbeTargets) {
        if (!seen.contains(target)) {
            seen.insert(target);
            targets.append(target);
        }
    }
    return targets;
}

void QipController::PrepareProbeTargets() {
    mUserProbeTargets = QipUserTargets::Load();
    mSearchFactory->SetProbeTargets(probeTargets());
}

bool QipController::searchAnotherNetwork(const QStringList& userTargets) {
    mUserProbeTargets =
        QipSettings::ProbeTargetsFrom(QVariant(userTargets), "Search Another Network");
    const bool saved = QipUserTargets::Save(mUserProbeTargets);
    mSearchFactory->SetProbeTargets(probeTargets());
    if (mHandOff.mActive) {
        return saved;
    }
    // Whatever the state, the search starts over: the failed state's search goes on polling,
    // but no running client probes the new networks. A table stays as it is, its selection
    // too, and the new search's looks keep it current.
    setHelpText(QString());
    setShowSearchAgain(false);
    if (mState == State::Choosing || mState == State::Refreshing) {
        SetState(State::Choosing);
        setHideProgress(true);
    } else {
        setDeviceList(QVariantList());
        setMessage(tr("Suche"));
        setSearching(true);
        SetState(State::Searching);
    }
    // The old client lets go of the discovery port before the new one opens it.
    setQip(nullptr);
    setQip(mSearchFactory->StartSearch(this, mDeviceKennungen, mSettings.mTimeout).release());
    return saved;
}
