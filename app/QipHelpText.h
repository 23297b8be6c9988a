#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <vector>

#include "app/QipSearchFindings.h"
#include "ksp/KspNetworkInterface.h"

// The plain-word explanations the window shows beside the search's states. Pure: each
// builds its text from its arguments and the translator installed (context QipHelpText).
class QipHelpText {
    Q_DECLARE_TR_FUNCTIONS(QipHelpText)

public:
    // Under "nothing found" or an empty chooser: what did answer (devices of other types,
    // none of the wanted ones), the warning when another program shares the discovery port,
    // then the likely causes in the search's order (a fixed order without a search), one a
    // line, and the networks searched.
    // With `otherTypesSaid` the devices of other types are left to OtherTypesMessage.
    static QString NothingWanted(const QipSearchFindings& findings, const QStringList& wanted,
                                 bool otherTypesSaid = false);
    // The message when only devices of other types answered: what the program looks for and
    // what answered instead, with how many devices of each type.
    static QString OtherTypesMessage(const QString& programName, const QStringList& wanted,
                                     const QipSearchFindings& findings);
    // The message when the discovery port (UDP `port`) could not be opened.
    static QString PortUnavailableMessage(quint16 port);
    // Under that message: what to do about it.
    static QString PortUnavailableHelp(quint16 port);
    // The line under the table: the page Open opens for device, and a note when its address
    // is on none of the given networks of this computer and the route to it does not leave
    // through one of them either (`routedThroughOne`, QipRoutesThroughOneOf). Empty for no
    // device.
    static QString AddressLine(const QVariantMap& device,
                               const std::vector<KspNetworkInterface>& interfaces,
                               bool routedThroughOne = false);

    // The help page in `folder` for the first of `languages` (as QLocale::uiLanguages gives
    // them: "de-DE", "de") that has one: index.<language>.html, or index.html for English;
    // index.html when none has. Reads only whether the files exist.
    static QString HelpPage(const QString& folder, const QStringList& languages);

private:
    // "Camera (2), Plug (1)"
    static QString OtherTypesList(const QipSearchFindings& findings);
    // One cause as a line of the list; empty for those said in a paragraph of their own.
    static QString CauseLine(const QipDiagnosis::Cause& cause);
};
