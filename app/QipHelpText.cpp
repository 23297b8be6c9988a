#include "app/QipHelpText.h"

#include "app/QipController.h"
#include "qip/QipClient.h"

QString QipHelpText::NothingWanted(const QipSearchFindings& findings, const QStringList& wanted) {
    QStringList paragraphs;
    const QString wantedTypes = wanted.join(QStringLiteral(", "));
    if (!findings.mOtherTypes.isEmpty()) {
        QStringList types;
        for (const QPair<QString, int>& type : findings.mOtherTypes) {
            types.append(tr("%1 (%2)").arg(type.first).arg(type.second));
        }
        paragraphs.append(tr("Devices of other types answered: %1. None is of type %2.")
                              .arg(types.join(QStringLiteral(", ")), wantedTypes) +
                          QStringLiteral(" ") +
                          tr("If your device is among them, add its type to DeviceKennung in "
                             "this program's Info.plist."));
    }
    if (findings.mPortShared) {
        paragraphs.append(
            tr("Another program on this computer also uses UDP port %1. Devices answer only one "
               "program per computer, so this one may not hear them: quit the other program and "
               "search again.")
                .arg(QipClient::cPort));
    }
    paragraphs.append(tr("Likely causes:") + QStringLiteral("\n") +
                      QStringList{
                          tr("• A firewall on this computer drops incoming UDP packets on port %1.")
                              .arg(QipClient::cPort),
                          tr("• The device is on another network or VLAN than this computer."),
                          tr("• A Wi-Fi access point or mesh system keeps its clients apart or "
                             "drops broadcasts."),
                          tr("• A VPN or a container bridge has taken the route to the local "
                             "network."),
                          tr("• The device is switched off or still starting."),
                      }
                          .join(QStringLiteral("\n")));
    return paragraphs.join(QStringLiteral("\n\n"));
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
                                 const std::vector<KspNetworkInterface>& interfaces) {
    if (device.isEmpty()) {
        return QString();
    }
    const QString address = device.value(QStringLiteral("DeviceIP")).toString();
    QString line = tr("Opens %1").arg(QipController::PageUrl(device).toString());
    bool reachable = false;
    for (const KspNetworkInterface& network : interfaces) {
        reachable = reachable || network.IsReachable(address.toStdString());
    }
    if (!reachable) {
        line += QStringLiteral("\n") +
                tr("%1 is on none of this computer's networks: the page may not open.")
                    .arg(address);
    }
    return line;
}
