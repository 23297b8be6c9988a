#include "app/QipHelpText.h"

#include <QFileInfo>

#include "app/QipController.h"
#include "qip/QipClient.h"
#include "qip/QipDeviceList.h"

QString QipHelpText::OtherTypesList(const QipSearchFindings& findings) {
    QStringList types;
    for (const QPair<QString, int>& type : findings.mOtherTypes) {
        types.append(tr("%1 (%2)").arg(type.first, QString::number(type.second)));
    }
    return types.join(QStringLiteral(", "));
}

QString QipHelpText::OtherTypesMessage(const QString& programName, const QStringList& wanted,
                                       const QipSearchFindings& findings) {
    return tr("%1 looks for devices of type %2. Only devices of other types answered: %3.")
        .arg(programName, wanted.join(QStringLiteral(", ")), OtherTypesList(findings));
}

QString QipHelpText::NothingWanted(const QipSearchFindings& findings, const QStringList& wanted,
                                   bool otherTypesSaid) {
    QStringList paragraphs;
    const QString wantedTypes = wanted.join(QStringLiteral(", "));
    if (!findings.mOtherTypes.isEmpty() && !otherTypesSaid) {
        paragraphs.append(tr("Devices of other types answered: %1. None is of type %2.")
                              .arg(OtherTypesList(findings), wantedTypes));
    }
    if (!findings.mOtherTypes.isEmpty()) {
        paragraphs.append(tr("If your device is among them, this program is not set up for its "
                             "type; the program's documentation says how to add it."));
    }
    if (findings.mPortShared) {
        paragraphs.append(
            tr("Another program on this computer also uses UDP port %1. Devices answer only one "
               "program per computer, so this one may not hear them: quit the other program and "
               "search again.")
                .arg(QipClient::cPort));
    }
    if (findings.mUntrustedOwnerPid != 0) {
        paragraphs.append(
            tr("UDP port %1 is held by process %2 of user %3, which this program does not trust, "
               "so it listens alone: answers to broadcasts reach both programs, but answers when "
               "searching another network may reach only the other one.")
                .arg(QipClient::cPort)
                .arg(findings.mUntrustedOwnerPid)
                .arg(findings.mUntrustedOwnerUser));
    }
    std::vector<QipDiagnosis::Cause> causes = findings.mCauses;
    if (causes.empty()) {
        causes = {{QipDiagnosis::cCauseFirewall, {}},
                  {QipDiagnosis::cCauseOtherNetwork, {}},
                  {QipDiagnosis::cCauseWifiIsolation, {}},
                  {QipDiagnosis::cCauseVpnOrBridge, {}},
                  {QipDiagnosis::cCauseDeviceOff, {}}};
    }
    QStringList lines;
    for (const QipDiagnosis::Cause& cause : causes) {
        const QString line = CauseLine(cause);
        if (!line.isEmpty()) {
            lines.append(line);
        }
    }
    if (!lines.isEmpty()) {
        paragraphs.append(tr("Likely causes:") + QStringLiteral("\n") +
                          lines.join(QStringLiteral("\n")));
    }
    if (!findings.mInterfaces.isEmpty()) {
        paragraphs.append(tr("Searched on: %1.").arg(findings.mInterfaces.join(QStringLiteral(", "))));
    }
    if (!findings.mProbed.isEmpty()) {
        paragraphs.append(tr("Also asked beyond this computer's networks: %1.")
                              .arg(findings.mProbed.join(QStringLiteral(", "))));
    }
    return paragraphs.join(QStringLiteral("\n\n"));
}

QString QipHelpText::CauseLine(const QipDiagnosis::Cause& cause) {
    QStringList subjects;
    for (const std::string& subject : cause.mSubjects) {
        subjects.append(QString::fromUtf8(subject.data(), static_cast<qsizetype>(subject.size())));
    }
    switch (cause.mId) {
    case QipDiagnosis::cCauseNoInterface:
        return tr("• This computer has no network connection to search on.");
    case QipDiagnosis::cCauseReceiveBuffer:
        return tr("• Answers were lost because too many arrived at once.");
    case QipDiagnosis::cCauseUnreadable:
        return tr("• Packets that could not be read arrived on port %1: a device may speak "
                  "another version of the protocol.")
            .arg(QipClient::cPort);
    case QipDiagnosis::cCauseFirewall:
        return tr("• A firewall on this computer drops incoming UDP packets on port %1.")
            .arg(QipClient::cPort);
    case QipDiagnosis::cCauseOtherNetwork:
        return tr("• The device is on another network or VLAN than this computer.");
    case QipDiagnosis::cCauseWifiIsolation:
        return tr("• A Wi-Fi access point or mesh system keeps its clients apart or drops "
                  "broadcasts.");
    case QipDiagnosis::cCauseVpnOrBridge:
        return subjects.isEmpty()
                   ? tr("• A VPN or a container bridge has taken the route to the local network.")
                   : tr("• A VPN or a container bridge (%1) has taken the route to the local "
                        "network.")
                         .arg(subjects.join(QStringLiteral(", ")));
    case QipDiagnosis::cCauseDeviceOff:
        return tr("• The device is switched off or still starting.");
    case QipDiagnosis::cCauseProbedSilent:
        return tr("• Nothing answered from %1: the router on the way may not let UDP port %2 "
                  "through in both directions and TCP port 80 to the devices, or may not route "
                  "back to this computer.")
            .arg(subjects.join(QStringLiteral(", ")))
            .arg(QipClient::cPort);
    case QipDiagnosis::cCauseProbeUnresolved:
        return tr("• Cannot resolve %1: the name server did not answer or does not know the "
                  "name.")
            .arg(subjects.join(QStringLiteral(", ")));
    case QipDiagnosis::cCauseProbeNoRoute:
        return tr("• This computer has no route to %1.").arg(subjects.join(QStringLiteral(", ")));
    case QipDiagnosis::cCauseCrowdedSender:
        return tr("• %1 answers for more than %2 devices; the rest are left out, and your device "
                  "may be among them.")
            .arg(subjects.join(QStringLiteral(", ")))
            .arg(QipDeviceList::cMaxPerSender);
    case QipDiagnosis::cCauseSocketNotOpen:
    case QipDiagnosis::cCausePortShared:
    case QipDiagnosis::cCauseOtherType:
        // Said in paragraphs of their own.
        return QString();
    }
    return QString();
}

QString QipHelpText::PortUnavailableMessage(quint16 port) {
    return tr("Cannot listen for devices on UDP port %1.").arg(port);
}

QString QipHelpText::PortUnavailableHelp(quint16 port) {
    return tr("Another program on this computer may hold UDP port %1. Quit it, then search "
              "again.")
        .arg(port);
}

QString QipHelpText::AddressLine(const QVariantMap& device,
                                 const std::vector<KspNetworkInterface>& interfaces,
                                 bool routedThroughOne) {
    if (device.isEmpty()) {
        return QString();
    }
    const QString address = device.value(QStringLiteral("DeviceIP")).toString();
    QString line = tr("Opens %1").arg(QipController::PageUrl(device).toString());
    bool reachable = false;
    for (const KspNetworkInterface& network : interfaces) {
        reachable = reachable || network.IsReachable(address.toStdString());
    }
    if (!reachable && !routedThroughOne) {
        line += QStringLiteral("\n") +
                tr("%1 is on none of this computer's networks: the page may not open.")
                    .arg(address);
    }
    return line;
}

QString QipHelpText::HelpPage(const QString& folder, const QStringList& languages) {
    const QString english = folder + QStringLiteral("/index.html");
    for (const QString& language : languages) {
        const QString code = language.section(QLatin1Char('-'), 0, 0).section(QLatin1Char('_'), 0, 0);
        if (code == QLatin1String("en")) {
            return english;
        }
        const QString page = folder + QStringLiteral("/index.%1.html").arg(code);
        if (!code.isEmpty() && QFileInfo::exists(page)) {
            return page;
        }
    }
    return english;
}
