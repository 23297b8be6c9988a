#include "app/QipProbeDialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "app/QipUserTargets.h"
#include "qip/QipProbeTarget.h"

QipProbeDialog::QipProbeDialog(const QStringList& bundleTargets, const QStringList& userTargets,
                               QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("probeDialog"));
    setWindowTitle(tr("Search Another Network"));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(
        tr("Devices behind a router do not hear this computer's broadcasts, but they answer "
           "when asked by address. Enter an address (198.51.100.20), a range from /16 to /32 "
           "(198.51.100.0/24) or a host name."),
        this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto* entry = new QHBoxLayout();
    mEdit = new QLineEdit(this);
    mEdit->setObjectName(QStringLiteral("probeTargetEdit"));
    mEdit->setAccessibleName(tr("Network to search"));
    mEdit->setPlaceholderText(QStringLiteral("198.51.100.0/24"));
    entry->addWidget(mEdit);
    mAddButton = new QPushButton(tr("&Add"), this);
    mAddButton->setObjectName(QStringLiteral("probeAddButton"));
    mAddButton->setAutoDefault(false);
    entry->addWidget(mAddButton);
    layout->addLayout(entry);
    mVerdict = new QLabel(this);
    mVerdict->setObjectName(QStringLiteral("probeVerdict"));
    mVerdict->setTextFormat(Qt::PlainText);
    mVerdict->setWordWrap(true);
    layout->addWidget(mVerdict);

    auto* listLabel = new QLabel(tr("&Your networks, searched every time:"), this);
    layout->addWidget(listLabel);
    mList = new QListWidget(this);
    mList->setObjectName(QStringLiteral("probeTargetList"));
    mList->addItems(userTargets);
    listLabel->setBuddy(mList);
    layout->addWidget(mList);
    mRemoveButton = new QPushButton(tr("&Remove"), this);
    mRemoveButton->setObjectName(QStringLiteral("probeRemoveButton"));
    mRemoveButton->setAutoDefault(false);
    auto* removeRow = new QHBoxLayout();
    removeRow->addWidget(mRemoveButton);
    removeRow->addStretch();
    layout->addLayout(removeRow);
    if (!bundleTargets.isEmpty()) {
        auto* fixed = new QLabel(tr("Always searched, as set up for this computer: %1")
                                     .arg(bundleTargets.join(QStringLiteral(", "))),
                                 this);
        fixed->setObjectName(QStringLiteral("probeFixedTargets"));
        fixed->setTextFormat(Qt::PlainText);
        fixed->setWordWrap(true);
        layout->addWidget(fixed);
    }

    mSaveFailed = new QLabel(this);
    mSaveFailed->setObjectName(QStringLiteral("probeSaveFailed"));
    mSaveFailed->setTextFormat(Qt::PlainText);
    mSaveFailed->setWordWrap(true);
    mSaveFailed->hide();
    layout->addWidget(mSaveFailed);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    mCancelButton = buttons->button(QDialogButtonBox::Cancel);
    mCancelButton->setText(tr("&Cancel"));
    mSearchButton = buttons->addButton(tr("&Search"), QDialogButtonBox::AcceptRole);
    mSearchButton->setObjectName(QStringLiteral("probeSearchButton"));
    mSearchButton->setDefault(true);
    layout->addWidget(buttons);

    connect(mEdit, &QLineEdit::textChanged, this, [this] { ShowCheck(); });
    connect(mAddButton, &QPushButton::clicked, this, [this] { AddTyped(); });
    connect(mRemoveButton, &QPushButton::clicked, this, [this] { RemoveChosen(); });
    connect(mList, &QListWidget::currentRowChanged, this, [this] { ShowCheck(); });
    mList->installEventFilter(this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    ShowCheck();
}

QStringList QipProbeDialog::userTargets() const {
    QStringList targets;
    for (int i = 0; i < mList->count(); ++i) {
        targets.append(mList->item(i)->text());
    }
    return targets;
}

bool QipProbeDialog::Check(const QString& text, QString* verdict) {
    QipProbeTarget target;
    std::string error;
    QipProbeTarget::Fault fault = QipProbeTarget::cFaultNone;
    const bool isTarget = QipProbeTarget::Parse(text.trimmed().toStdString(), target, error, &fault);
    QString said;
    switch (fault) {
    case QipProbeTarget::cFaultNone:
        said = target.GetKind() == QipProbeTarget::cName
                   ? tr("A host name: looked up when the search starts.")
                   : tr("%n address(es) will be asked.", nullptr,
                        static_cast<int>(target.GetCount()));
        break;
    case QipProbeTarget::cFaultEmpty:
        said = QString();
        break;
    case QipProbeTarget::cFaultMalformed:
        said = tr("Neither an address, a range nor a host name.");
        break;
    case QipProbeTarget::cFaultNotAddress:
        said = tr("Not an IPv4 address: four numbers from 0 to 255, like 198.51.100.20.");
        break;
    case QipProbeTarget::cFaultPrefix:
        said = tr("After the / comes a number from 16 to 32.");
        break;
    case QipProbeTarget::cFaultTooLarge:
        said = tr("Too large a range: /16 (65,534 addresses) at most.");
        break;
    case QipProbeTarget::cFaultZero:
        said = tr("Addresses beginning with 0 cannot be asked.");
        break;
    case QipProbeTarget::cFaultMulticast:
        said = tr("A multicast address cannot be asked.");
        break;
    case QipProbeTarget::cFaultReserved:
        said = tr("A reserved or broadcast address cannot be asked.");
        break;
    }
    if (verdict != nullptr) {
        *verdict = said;
    }
    return isTarget;
}

void QipProbeDialog::ShowCheck() {
    QString verdict;
    const QString typed = mEdit->text().trimmed();
    const bool isTarget = Check(typed, &verdict);
    const bool isListed = userTargets().contains(typed);
    if (isTarget && isListed) {
        verdict = tr("Already in your list.");
    }
    mVerdict->setText(verdict);
    mAddButton->setEnabled(isTarget && !isListed);
    mRemoveButton->setEnabled(mList->currentRow() >= 0);
    // Search with a typed text that is no target would leave it out silently.
    mSearchButton->setEnabled(typed.isEmpty() || isTarget);
}

void QipProbeDialog::AddTyped() {
    const QString typed = mEdit->text().trimmed();
    if (!Check(typed, nullptr) || userTargets().contains(typed)) {
        return;
    }
    mList->addItem(typed);
    mEdit->clear();
    ShowCheck();
}

void QipProbeDialog::RemoveChosen() {
    if (mList->currentRow() < 0) {
        return;
    }
    delete mList->takeItem(mList->currentRow());
    ShowCheck();
}

bool QipProbeDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == mList && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Delete)) {
        RemoveChosen();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void QipProbeDialog::accept() {
    if (mSaveFailed->isVisible()) {
        // Already searching; Close only acknowledges.
        QDialog::accept();
        return;
    }
    AddTyped();
    if (mApply && !mApply(userTargets())) {
        // Said here, where the user still looks, rather than only on standard error.
        mSaveFailed->setText(
            tr("Searching these networks now, but they could not be saved in %1 (is the disk "
               "full or the file read-only?), so the next start will not search them.")
                .arg(QipUserTargets::FilePath()));
        mSaveFailed->show();
        mSearchButton->hide();
        mEdit->setEnabled(false);
        mAddButton->setEnabled(false);
        mRemoveButton->setEnabled(false);
        mCancelButton->setText(tr("C&lose"));
        mCancelButton->setFocus(Qt::OtherFocusReason);
        return;
    }
    QDialog::accept();
}
