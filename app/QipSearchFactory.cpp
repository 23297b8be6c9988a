#include "app/QipSearchFactory.h"

#include "app/Qip.h"

std::unique_ptr<Qip> QipSearchFactory::StartSearch(QipDelegate* delegate,
                                                   const QStringList& deviceKennungen,
                                                   const QVariant& timeout) {
    auto search = std::make_unique<Qip>(delegate, deviceKennungen, timeout);
    search->setProbeTargets(mProbeTargets);
    search->start();
    return search;
}
