#pragma once

// The search's look on a thread of its own; private to Qip.cpp and QipLook.cpp.
#include <QVariantList>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/Qip.h"
#include "describe/DeviceDescriber.h"
#include "ksp/KspThread.h"

// What one look found.
struct QipLookOutcome {
    std::set<std::string> mWantedIds;  // for the settle
    std::shared_ptr<const std::vector<std::string>> mKeys;
    bool mChanged = true;              // mKeys differ from the keys told last
    QVariantList mHeard;               // the dictionaries, when changed
};

// What one look of `snapshot` finds, given the keys told last (null: none). Pure.
QipLookOutcome QipDescribeLook(std::vector<QipDevice>& snapshot, const DeviceDescriber& describer,
                               const std::vector<std::string>& wanted, bool allTypes,
                               const std::shared_ptr<const std::vector<std::string>>& told);

// One look of the client's device list on a thread of its own; its outcome goes to the
// search's event loop. It reads the list only through Snapshot (which takes the list's
// lock) and everything else is its own copy.
class Qip::LookRead : public KspThread {
public:
    LookRead(Qip* outer, quint64 sequence, QipDeviceList* list, const DeviceDescriber& describer,
             std::vector<std::string> wanted, bool allTypes,
             std::shared_ptr<const std::vector<std::string>> told)
        : mOuter(outer),
          mSequence(sequence),
          mList(list),
          mDescriber(describer),
          mWanted(std::move(wanted)),
          mAllTypes(allTypes),
          mTold(std::move(told)) {}

    void Run() override {
        std::vector<QipDevice> snapshot = mList->Snapshot();
        mOutcome = QipDescribeLook(snapshot, mDescriber, mWanted, mAllTypes, mTold);
        Qip* outer = mOuter;
        const quint64 sequence = mSequence;
        QMetaObject::invokeMethod(
            outer, [outer, sequence] { outer->lookDone(sequence); }, Qt::QueuedConnection);
    }
    // Valid once joined.
    QipLookOutcome& Outcome() { return mOutcome; }

private:
    Qip* const mOuter;
    const quint64 mSequence;
    QipDeviceList* const mList;
    const DeviceDescriber mDescriber;
    const std::vector<std::string> mWanted;
    const bool mAllTypes;
    const std::shared_ptr<const std::vector<std::string>> mTold;
    QipLookOutcome mOutcome;  // written by Run only
};

