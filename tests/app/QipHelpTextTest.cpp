#include <gtest/gtest.h>

#include "app/QipHelpText.h"

// Device types come from the network: one that holds a placeholder of the translated format
// must be shown as it stands, not filled in with the next argument.
TEST(QipHelpText, DeviceTypesHoldingPlaceholdersAreShownAsTheyAre) {
    QipSearchFindings findings;
    findings.mOtherTypes = {{QStringLiteral("Cam%1"), 2}, {QStringLiteral("%2x"), 1}};
    const QString text = QipHelpText::NothingWanted(findings, {QStringLiteral("Qip%1")});
    EXPECT_TRUE(text.startsWith(QStringLiteral(
        "Devices of other types answered: Cam%1 (2), %2x (1). None is of type Qip%1.")))
        << text.toStdString();
}
