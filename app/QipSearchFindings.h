#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <vector>

#include "describe/QipDiagnosis.h"

// What a search learned beyond the wanted devices, for telling the user why nothing was
// found. A plain value, copied freely.
struct QipSearchFindings {
    // The discovery port could be opened (it always counts as open before start).
    bool mPortOpen = true;
    // Another socket on this computer already held the discovery port when the search
    // started: devices' unicast answers may reach that program instead.
    bool mPortShared = false;
    // The owner of the shared port that this program found and does not trust, beside
    // which it listens alone: its process and user; pid 0 when none.
    int mUntrustedOwnerPid = 0;
    QString mUntrustedOwnerUser;
    // Device types that answered since start but are not wanted, with how many distinct
    // devices of each, by type.
    QList<QPair<QString, int>> mOtherTypes;
    // The networks broadcast on, as "name address/prefix", in the order enumerated.
    QStringList mInterfaces;
    // The networks probed by unicast beyond the broadcast domain, as given.
    QStringList mProbed;
    // The likely causes, most likely first. Empty before a search started.
    std::vector<QipDiagnosis::Cause> mCauses;
};
