#include "app/QipController.h"

#include <QApplication>
#include <QGridLayout>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QWidget>

#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "app/QipAboutDate.h"
#include "app/QipHelpText.h"
#include "app/QipSearchFactory.h"
#include "app/QipWorkspace.h"
#include "ksp/KspClock.h"

namespace {

const QString cPlaceholder = QStringLiteral("NewApplication");

// Shared by the setters: store and signal only a real change.
template <typename T, typename Signal>
void Assign(QipController* controller, T& field, const T& value, Signal changed) {
    if (field == value) {
        return;
    }
    field = value;
    emit(controller->*changed)();
}

}  // namespace

QipController::QipController(const QipBundle& bundle, QipWorkspace* workspace,
                             QipSearchFactory* searchFactory, QObject* parent)
    : QObject(parent),
      mBundle(bundle),
      mSettings(QipSettings::FromBundle(bundle)),
      mWorkspace(workspace),
      mSearchFactory(searchFactory),
      mDeviceListController(this) {
    mClock.setInterval(1000);
    connect(&mClock, &QTimer::timeout, this,
            [this] {
                mDeviceListController.setWallNow(time(nullptr));
                mDeviceListController.setNow(KspMonotonicSeconds());
            });
    mAskAgain.setInterval(cAskAgainMs);
    connect(&mAskAgain, &QTimer::timeout, this, [this] {
        if (mQip) {
            mQip->broadcastNow();
        }
    });
    setSearching(false);
    setMessage(tr("Suche"));
    setProgramName(mSettings.mProgramName);
    setDeviceKennungen(mSettings.mDeviceKennungen);
    setDeviceList(QVariantList());
    StartStore();
}

QipController::~QipController() = default;

void QipController::setMainMenu(QWidget* mainMenu) { mMainMenu = mainMenu; }

void QipController::setAboutParent(QWidget* parent) { mAboutParent = parent; }

void QipController::applicationDidFinishLaunching() {
    if (mMainMenu) {
        changeMenuText(mMainMenu->actions(), mProgramName);
    }
    setTitel(mProgramName);
    setSearching(true);
    setMessage(tr("Suche"));
    setTerminateAfterLastItem(mSettings.mTerminateAfterLastItem);
    setTerminateAfterConfigure(mSettings.mTerminateAfterConfigure);
    setRemoveAfterConfigure(mSettings.mRemoveAfterConfigure);
    PrepareProbeTargets();
    setQip(mSearchFactory->StartSearch(this, mDeviceKennungen, mSettings.mTimeout).release());
    OpenStore();
}

bool QipController::applicationShouldTerminateAfterLastWindowClosed() const { return true; }

QString QipController::helpPage() const {
    return QipHelpText::HelpPage(mBundle.resourcePath() + QStringLiteral("/help"),
                                 QLocale::system().uiLanguages());
}

void QipController::about() {
    const QVariant version = mSettings.mVersion;
    const QString date = QipAboutDateText(
        version, QipDateLocaleName(std::getenv("LC_ALL"), std::getenv("LC_TIME"),
                                   std::getenv("LANG")));
    // The release date, and beside it the number --version prints, which a report names.
    QString text = mProgramName + QStringLiteral("\n") +
                   (date.isEmpty() ? tr("Version %1").arg(QStringLiteral(QIPFINDER_VERSION))
                                   : tr("Version %1 (%2)").arg(date, QStringLiteral(QIPFINDER_VERSION)));
    text += QStringLiteral("\n\n") +
            tr("Finds QIP devices on the local network and opens their configuration page.") +
            QStringLiteral("\n") + tr("Released under the MIT licence.");
    const QString title = tr("About %1").arg(mProgramName);
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, mAboutParent);
    box.setObjectName(QStringLiteral("aboutBox"));
    box.setTextFormat(Qt::PlainText);
    box.setIconPixmap(QApplication::windowIcon().pixmap(64, 64));
    // A message box sizes itself to its text; window managers then cut a longer title.
    // Room for the title and the window manager's buttons beside it.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const int width = qMax(box.fontMetrics().horizontalAdvance(title) * 3 / 2 + 160,
                               box.fontMetrics().averageCharWidth() * 52);
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    box.exec();
}

void QipController::changeMenuText(const QList<QAction*>& items, const QString& text) {
    for (QAction* item : items) {
        QString title = item->text();
        if (title.contains(cPlaceholder, Qt::CaseSensitive)) {
            title.replace(cPlaceholder, text, Qt::CaseSensitive);
            item->setText(title);
        }
        if (item->menu()) {
            changeMenuText(item->menu()->actions(), text);
        }
    }
}

void QipController::setSearching(bool searching) {
    setHidePopup(searching);
    setHideProgress(!searching);
}

int QipController::countOfDeviceList() const { return mDeviceListController.rowCount(); }

void QipController::removeObjectFromDeviceListAtIndex(int index) {
    if (!mDeviceListController.removeDevice(index)) {
        std::fprintf(stderr, "No device at position %d\n", index);
        return;
    }
    emit deviceListChanged();
}

void QipController::removeFromDeviceList(const QVariantMap& device) {
    const QVariantList devices = mDeviceListController.devices();
    for (int i = static_cast<int>(devices.size()) - 1; i >= 0; --i) {
        if (devices.at(i) == QVariant(device)) {
            removeObjectFromDeviceListAtIndex(i);
        }
    }
}

QStringList QipController::DeviceKennungenFrom(const QVariant& setting,
                                               const QString& programName) {
    QStringList kennungen;
    if (setting.isValid()) {
        bool allTexts = setting.typeId() == QMetaType::QVariantList;
        for (const QVariant& element : setting.toList()) {
            allTexts = allTexts && element.typeId() == QMetaType::QString;
            kennungen.append(element.toString());
        }
        if (!allTexts) {
            std::fprintf(stderr, "DeviceKennung is not an array of texts; using the program name\n");
            kennungen.clear();
        }
    }
    if (kennungen.isEmpty()) {
        kennungen.append(programName);
    }
    return kennungen;
}

bool QipController::BoolSetting(const QVariant& setting, bool fallback, const char* key) {
    switch (setting.typeId()) {
    case QMetaType::UnknownType:
        return fallback;
    case QMetaType::Bool:
        return setting.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return setting.toDouble() != 0;
    case QMetaType::QString: {
        const QString text = setting.toString().trimmed();
        int i = 0;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        while (i < text.size() && text[i] == '0') {
            ++i;
        }
        return i < text.size() && QStringLiteral("YyTt123456789").contains(text[i]);
    }
    default:
        std::fprintf(stderr, "%s is not a boolean; using its default\n", key);
        return fallback;
    }
}

QString QipController::message() const { return mMessage; }
void QipController::setMessage(const QString& message) {
    Assign(this, mMessage, message, &QipController::messageChanged);
}
QString QipController::titel() const { return mTitel; }
void QipController::setTitel(const QString& titel) {
    Assign(this, mTitel, titel, &QipController::titelChanged);
}
QString QipController::programName() const { return mProgramName; }
void QipController::setProgramName(const QString& programName) {
    Assign(this, mProgramName, programName, &QipController::programNameChanged);
}
QVariantList QipController::deviceList() const {
    // The devices that answered; the known ones beside them are the table's alone.
    QVariantList live;
    for (const QVariant& device : mDeviceListController.devices()) {
        if (!device.toMap().value(QStringLiteral("NotHeard")).toBool()) {
            live.append(device);
        }
    }
    return live;
}
void QipController::setDeviceList(const QVariantList& deviceList) {
    if (mDeviceListController.setDevices(WithKnown(deviceList))) {
        emit deviceListChanged();
    }
}
QipController::DeviceListController* QipController::deviceListController() {
    return &mDeviceListController;
}
QStringList QipController::deviceKennungen() const { return mDeviceKennungen; }
void QipController::setDeviceKennungen(const QStringList& deviceKennungen) {
    Assign(this, mDeviceKennungen, deviceKennungen, &QipController::deviceKennungenChanged);
}
bool QipController::hideProgress() const { return mHideProgress; }
void QipController::setHideProgress(bool hideProgress) {
    Assign(this, mHideProgress, hideProgress, &QipController::hideProgressChanged);
}
bool QipController::hidePopup() const { return mHidePopup; }
void QipController::setHidePopup(bool hidePopup) {
    Assign(this, mHidePopup, hidePopup, &QipController::hidePopupChanged);
}
bool QipController::terminateAfterLastItem() const { return mTerminateAfterLastItem; }
void QipController::setTerminateAfterLastItem(bool terminateAfterLastItem) {
    Assign(this, mTerminateAfterLastItem, terminateAfterLastItem,
           &QipController::terminateAfterLastItemChanged);
}
bool QipController::terminateAfterConfigure() const { return mTerminateAfterConfigure; }
void QipController::setTerminateAfterConfigure(bool terminateAfterConfigure) {
    Assign(this, mTerminateAfterConfigure, terminateAfterConfigure,
           &QipController::terminateAfterConfigureChanged);
}
bool QipController::removeAfterConfigure() const { return mRemoveAfterConfigure; }
void QipController::setRemoveAfterConfigure(bool removeAfterConfigure) {
    Assign(this, mRemoveAfterConfigure, removeAfterConfigure,
           &QipController::removeAfterConfigureChanged);
}
Qip* QipController::qip() const { return mQip.get(); }
void QipController::setQip(Qip* qip) {
    if (mQip.get() == qip) {
        return;
    }
    mQip.reset(qip);
    emit qipChanged();
}

QString QipController::helpText() const { return mHelpText; }
void QipController::setHelpText(const QString& helpText) {
    Assign(this, mHelpText, helpText, &QipController::helpTextChanged);
}
bool QipController::showSearchAgain() const { return mShowSearchAgain; }
void QipController::setShowSearchAgain(bool showSearchAgain) {
    Assign(this, mShowSearchAgain, showSearchAgain, &QipController::showSearchAgainChanged);
}
bool QipController::showRefresh() const {
    return mState == State::Choosing || mState == State::Refreshing;
}
bool QipController::isRefreshing() const { return mState == State::Refreshing; }

QipController::DeviceListController::DeviceListController(QipController* outer)
    : mOuter(outer) {}

void QipController::DeviceListController::removeObject(const QVariant& device) {
    mOuter->removeFromDeviceList(device.toMap());
}

QVariantList QipController::DeviceListController::arrangedObjects() const { return devices(); }
