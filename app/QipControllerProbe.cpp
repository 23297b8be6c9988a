// The controller's part in searching networks beyond the broadcast domain.
#include "app/QipController.h"

#include "app/QipSearchFactory.h"
#include "app/QipUserTargets.h"

QStringList QipController::probeTargets() const {
    QStringList targets = mSettings.mProbeTargets;
    for (const QString& target : mUserProbeTargets) {
        if (!targets.contains(target)) {
            targets.append(target);
        }
    }
    return targets;
}

void QipController::PrepareProbeTargets() {
    mUserProbeTargets = QipUserTargets::Load();
    mSearchFactory->SetProbeTargets(probeTargets());
}

void QipController::searchAnotherNetwork(const QStringList& userTargets) {
    mUserProbeTargets.clear();
    for (const QString& target : QipSettings::ProbeTargetsFrom(QVariant(userTargets),
                                                               "Search Another Network")) {
        if (!mUserProbeTargets.contains(target)) {
            mUserProbeTargets.append(target);
        }
    }
    QipUserTargets::Save(mUserProbeTargets);
    mSearchFactory->SetProbeTargets(probeTargets());
    if (mHandOff.mActive) {
        return;
    }
    // Whatever the state, the search starts over: the failed state's search goes on polling
    // and the chooser's is suspended, but neither client probes the new networks.
    setHelpText(QString());
    setShowSearchAgain(false);
    setDeviceList(QVariantList());
    setMessage(tr("Suche"));
    setSearching(true);
    SetState(State::Searching);
    // The old client lets go of the discovery port before the new one opens it.
    setQip(nullptr);
    setQip(mSearchFactory->StartSearch(this, mDeviceKennungen, mSettings.mTimeout).release());
}
