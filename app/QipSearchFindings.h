#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// What a search learned beyond the wanted devices, for telling the user why nothing was
// found. A plain value, copied freely.
struct QipSearchFindings {
    // The discovery port could be opened (it always counts as open before start).
    bool mPortOpen = true;
    // Another socket on this computer already held the discovery port when the search
    // started: devices' unicast answers may reach that program instead.
    bool mPortShared = false;
    // Device types that answered but are not wanted, with how many distinct devices of each,
    // in the order first heard.
    QList<QPair<QString, int>> mOtherTypes;
    // The networks broadcast on, as "name address/netmask", in the order enumerated.
    QStringList mInterfaces;
};
