#pragma once

#include <QStringList>
#include <QVariant>

#include <memory>

class Qip;
class QipDelegate;

// Creates and starts the device search for the controller. Tests derive from it to hand the
// controller a search that sends nothing. Used on the main thread.
class QipSearchFactory {
public:
    virtual ~QipSearchFactory() = default;

    // A started search reporting to delegate (not owned; it must outlive the search), looking
    // for deviceKennungen and polling every timeout seconds (Qip's rules). The caller owns it.
    virtual std::unique_ptr<Qip> StartSearch(QipDelegate* delegate,
                                             const QStringList& deviceKennungen,
                                             const QVariant& timeout);

    // The networks every search started from now on probes (Qip::setProbeTargets).
    void SetProbeTargets(const QStringList& targets) { mProbeTargets = targets; }
    QStringList GetProbeTargets() const { return mProbeTargets; }

private:
    QStringList mProbeTargets;
};
