#pragma once

#include <QAction>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include <QHash>

#include <memory>

#include "app/Qip.h"
#include "app/QipBundle.h"
#include "app/QipDeviceTableModel.h"
#include "app/QipDelegate.h"
#include "app/QipSettings.h"
#include "app/QipWorkspace.h"
#include "store/QipDeviceStore.h"

class QipSearchFactory;
class QWidget;

// The application controller: holds what the window shows, reads the settings from the
// bundle, starts the device search at launch, takes the search's one report and opens the
// chosen device's page. Lives on the main thread as long as the application. It owns its
// search and its list model; it does not own the workspace, the search factory, the main menu
// or the about box's parent, which must outlive it (the menu and parent may be null).
// A setter given the value already stored changes nothing and signals nothing.
//
// States: searching (from launch, Search Again), choosing (two or more devices; Refresh looks
// again while the chooser stays; when every row ages out, failed), failed (nothing answers,
// or only devices of other types: the search keeps polling, and a wanted device heard later
// moves the window on by itself as a first report would), port unavailable, and ended.
class QipController : public QObject, public QipDelegate, public QipWorkspace::HandOffHandler {
    Q_OBJECT
    Q_PROPERTY(QString message READ message WRITE setMessage NOTIFY messageChanged)
    Q_PROPERTY(QString titel READ titel WRITE setTitel NOTIFY titelChanged)
    Q_PROPERTY(QString programName READ programName WRITE setProgramName NOTIFY programNameChanged)
    Q_PROPERTY(QVariantList deviceList READ deviceList WRITE setDeviceList NOTIFY deviceListChanged)
    Q_PROPERTY(QAbstractItemModel* deviceListController READ deviceListController CONSTANT)
    Q_PROPERTY(QStringList deviceKennungen READ deviceKennungen WRITE setDeviceKennungen
                   NOTIFY deviceKennungenChanged)
    Q_PROPERTY(bool hideProgress READ hideProgress WRITE setHideProgress NOTIFY hideProgressChanged)
    Q_PROPERTY(bool hidePopup READ hidePopup WRITE setHidePopup NOTIFY hidePopupChanged)
    Q_PROPERTY(bool terminateAfterLastItem READ terminateAfterLastItem
                   WRITE setTerminateAfterLastItem NOTIFY terminateAfterLastItemChanged)
    Q_PROPERTY(bool terminateAfterConfigure READ terminateAfterConfigure
                   WRITE setTerminateAfterConfigure NOTIFY terminateAfterConfigureChanged)
    Q_PROPERTY(bool removeAfterConfigure READ removeAfterConfigure WRITE setRemoveAfterConfigure
                   NOTIFY removeAfterConfigureChanged)
    Q_PROPERTY(Qip* qip READ qip WRITE setQip NOTIFY qipChanged)
    Q_PROPERTY(QString helpText READ helpText WRITE setHelpText NOTIFY helpTextChanged)
    Q_PROPERTY(bool showSearchAgain READ showSearchAgain WRITE setShowSearchAgain
                   NOTIFY showSearchAgainChanged)
    Q_PROPERTY(bool showRefresh READ showRefresh NOTIFY showRefreshChanged)
    Q_PROPERTY(bool showAllTypes READ showAllTypes WRITE setShowAllTypes
                   NOTIFY showAllTypesChanged)

public:
    // The table model over deviceList (QipDeviceTableModel): the list is kept there, so that
    // its views keep their selection while devices come and go. Removing through it removes
    // from deviceList and tells the views.
    class DeviceListController : public QipDeviceTableModel {
    public:
        explicit DeviceListController(QipController* outer);
        // The Label column is edited in place (F2) when there is a store to keep it.
        Qt::ItemFlags flags(const QModelIndex& index) const override;
        bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
        // Removes every device equal to device (same keys, equal values).
        void removeObject(const QVariant& device);
        // The devices presented, all of deviceList in order.
        QVariantList arrangedObjects() const;

    private:
        QipController* mOuter;
    };

    // Reads every setting from bundle (QipSettings; lines on standard error for unusable
    // ones), stores the program name and the wanted device types and shows the chooser with
    // the "Suche" message. Starts nothing. workspace and searchFactory must not be null.
    QipController(const QipBundle& bundle, QipWorkspace* workspace,
                  QipSearchFactory* searchFactory, QObject* parent = nullptr);
    ~QipController() override;

    // Where applicationDidFinishLaunching rewrites the menu titles, and the parent of the
    // about box. Either may be null.
    void setMainMenu(QWidget* mainMenu);
    void setAboutParent(QWidget* parent);

    // Rewrites the menus, shows the searching state, stores the three boolean settings and
    // starts the search through the factory.
    void applicationDidFinishLaunching();
    // The program's help in the user's language (English otherwise), an HTML page in the
    // bundle (made from docs/help/ at build time).
    QString helpPage() const;
    // Closing the window ends the application: always true.
    bool applicationShouldTerminateAfterLastWindowClosed() const;
    // Shows the about box with the program name and the release date.
    void about();
    // Replaces every "NewApplication" (case-sensitive) in the titles of items by text,
    // descending into submenus at any depth; titles without it stay untouched.
    void changeMenuText(const QList<QAction*>& items, const QString& text);
    // true: chooser hidden, progress shown; false: the reverse.
    void setSearching(bool searching);

    // The search's report. While searching or failed: one device opens its page (the
    // program ends once the browser has it; if not, pageNotOpened is signalled and the
    // program goes on), two or more show the chooser, none (only other types answered) shows
    // the failed state that says what answered. While refreshing: the chooser is refilled,
    // the chosen device kept chosen when it is still there. The search is suspended once a
    // wanted device was reported.
    void deviceFound(const QVariantList& devices) override;
    // The search's looks, from the moment the answers settle: the first decision (as
    // deviceFound, without any page read) while searching or failed; in the table, the rows
    // that appear, change and leave, each keeping the SSID its page gave. When the last row
    // ages out, the failed state as deviceNotFound shows it (the search still watching).
    void devicesHeard(const QVariantList& devices) override;
    // The failed state, with helpText and the search startable again; the search goes on
    // polling, so a device heard later still moves the window on.
    void deviceNotFound() override;
    // Shown at once: the message names the port, helpText what to do.
    void discoveryPortUnavailable(quint16 port) override;
    // Back to searching from the failed state: resumes the search (its own resume: the count
    // starts over, a poll every 2 s) with the client asking the network at once and then
    // every cAskAgainMs while it searches, or starts a new one through the factory when the
    // last one stopped for want of a port. Does nothing unless showSearchAgain.
    void searchAgain();
    // In the choosing state: looks again, as searchAgain does, while the chooser stays usable;
    // the next report refills it. Does nothing unless showRefresh.
    void refresh();
    // Whether refresh() is offered (choosing) and whether it is under way.
    bool showRefresh() const;
    bool isRefreshing() const;
    // How often the client asks the network while Search Again or Refresh looks.
    static const int cAskAgainMs = 1000;
    // The networks searches probe beyond the broadcast domain: the bundle's QipProbeTargets,
    // then the user's own (remembered in the user's settings), without repeats.
    QStringList probeTargets() const;
    QStringList bundleProbeTargets() const { return mSettings.mProbeTargets; }
    QStringList userProbeTargets() const { return mUserProbeTargets; }
    // "Search Another Network…": remembers `userTargets` as the user's own networks (in
    // the user's settings) and, from any state, starts a new search that probes them and
    // the bundle's (a client's targets are fixed when it starts). While a page is being
    // handed to the browser the targets are only remembered, for the next search. False
    // when they could not be remembered (the search goes on with them all the same).
    bool searchAnotherNetwork(const QStringList& userTargets);
    // What the search learned besides the wanted devices (empty without a search).
    QipSearchFindings findings() const;
    // Opens the page of the device dictionary that is the first element of selection, then
    // applies the three settings once the browser has it. An empty selection, one whose
    // first element is no device dictionary, or a choice while a hand-off is under way does
    // nothing. A page that cannot be opened signals pageNotOpened and changes nothing else:
    // the device stays listed, the program goes on.
    void konfigurieren(const QVariantList& selection);
    // From the workspace: how the hand-off under way ended.
    void OnHandOffEnded(const QUrl& url, bool opened, int openerStatus) override;
    // Whether a page is being handed to the browser now.
    bool isHandingOff() const { return mHandOff.mActive; }
    // The program's exit status for an event loop that returned `loopStatus`: 3 when a page
    // the program was meant to open could not be opened and none was opened since, else
    // `loopStatus`.
    int exitStatus(int loopStatus) const;
    static const int cExitPageNotOpened = 3;

    // The store of known devices (QipDeviceStore), unless the bundle's QipKnownDevices is
    // false: opened and read on its own thread from the controller's making, taken at launch; its devices of the wanted types are listed at once, greyed,
    // until they answer. Null without it.
    QipDeviceStore* store() const { return mStore.get(); }
    // Gives every record of the device `deviceId` the label (empty: none), kept in the store;
    // false with `error` set when the text is no label or there is no store.
    bool setDeviceLabel(const QString& deviceId, const QString& label, QString* error = nullptr);
    // Forgets the device in the store; it leaves the table unless it answers now.
    void forgetDevice(const QString& deviceId);

    int countOfDeviceList() const;
    // Removes the device at index; an index out of range changes nothing (one line on stderr).
    void removeObjectFromDeviceListAtIndex(int index);
    // Removes every device equal to device.
    void removeFromDeviceList(const QVariantMap& device);

    // The page of a device: "http://" + DeviceIP + "/". Pure.
    static QUrl PageUrl(const QVariantMap& device);
    // The wanted device types from the DeviceKennung setting: a non-empty array of texts as
    // it is; absent or empty gives programName alone; anything else counts as absent, with
    // one line on standard error. Pure but for that line.
    static QStringList DeviceKennungenFrom(const QVariant& setting, const QString& programName);
    // The boolean value of a setting: a boolean as it is, a number true when not 0, a text
    // true when it starts with Y, y, T, t or a digit 1-9 (after blanks, sign and zeros).
    // Absent, or of another kind (one line on standard error), gives fallback. Pure but for
    // that line.
    static bool BoolSetting(const QVariant& setting, bool fallback, const char* key);

    QString message() const;
    void setMessage(const QString& message);
    QString titel() const;
    void setTitel(const QString& titel);
    QString programName() const;
    void setProgramName(const QString& programName);
    QVariantList deviceList() const;
    void setDeviceList(const QVariantList& deviceList);
    DeviceListController* deviceListController();
    QStringList deviceKennungen() const;
    void setDeviceKennungen(const QStringList& deviceKennungen);
    bool hideProgress() const;
    void setHideProgress(bool hideProgress);
    bool hidePopup() const;
    void setHidePopup(bool hidePopup);
    bool terminateAfterLastItem() const;
    void setTerminateAfterLastItem(bool terminateAfterLastItem);
    bool terminateAfterConfigure() const;
    void setTerminateAfterConfigure(bool terminateAfterConfigure);
    bool removeAfterConfigure() const;
    void setRemoveAfterConfigure(bool removeAfterConfigure);
    Qip* qip() const;
    // Takes ownership; the search held before is deleted.
    void setQip(Qip* qip);
    QString helpText() const;
    void setHelpText(const QString& helpText);
    bool showSearchAgain() const;
    void setShowSearchAgain(bool showSearchAgain);
    // Whether devices of other types than the wanted ones are listed too, each with its type
    // and openable like the others (off at start). The lone-device rule counts the wanted
    // types only. Turning it on while failed shows what answered, from a poll made at once.
    bool showAllTypes() const { return mShowAllTypes; }
    void setShowAllTypes(bool showAllTypes);
    // Whether a poll's page reads came in since the chooser was last shown by a look (the
    // names are there).
    bool namesRead() const { return mNamesRead; }

signals:
    void messageChanged();
    void titelChanged();
    void programNameChanged();
    void deviceListChanged();
    void deviceKennungenChanged();
    void hideProgressChanged();
    void hidePopupChanged();
    void terminateAfterLastItemChanged();
    void terminateAfterConfigureChanged();
    void removeAfterConfigureChanged();
    void qipChanged();
    void helpTextChanged();
    void showSearchAgainChanged();
    void showRefreshChanged();
    void showAllTypesChanged();
    // The workspace could not open url; the window says so. openerStatus as in
    // QipWorkspace::HandOffHandler.
    void pageNotOpened(const QUrl& url, int openerStatus);

private:
    QipBundle mBundle;
    QipSettings mSettings;
    QipWorkspace* mWorkspace;
    QipSearchFactory* mSearchFactory;
    QPointer<QWidget> mMainMenu;
    QPointer<QWidget> mAboutParent;

    QString mMessage;
    QString mTitel;
    QString mProgramName;
    DeviceListController mDeviceListController;
    QStringList mDeviceKennungen;
    bool mHideProgress = false;
    bool mHidePopup = false;
    bool mTerminateAfterLastItem = true;
    bool mTerminateAfterConfigure = false;
    bool mRemoveAfterConfigure = true;
    std::unique_ptr<Qip> mQip;
    QString mHelpText;
    bool mShowSearchAgain = false;
    bool mShowAllTypes = false;
    bool mNamesRead = false;
    QStringList mUserProbeTargets;
    // The store and what it knows of the wanted types, keyed by id and type ("id\ttype").
    std::unique_ptr<QipDeviceStore> mStore;
    QHash<QString, QipDeviceRecord> mKnown;
    QString mLastOpenedId;
    // Starts the store's thread, which opens and reads it (when the controller is made).
    void StartStore();
    // Takes the store's devices of the wanted types and lists them (at launch).
    void OpenStore();
    bool mKnownListed = false;
    // Hands the devices of a report to the store.
    void RememberLive(const QVariantList& devices);
    void RememberOpened(const QVariantMap& device);
    // `devices` with what the store knows of each, then the known devices of the wanted types
    // that are not among them (nor taken off the list), as rows marked "NotHeard"
    // (QipDeviceTableModel says the keys).
    QVariantList WithKnown(const QVariantList& devices) const;
    // The row of a known device not heard in this run, and those made so far by key: made
    // once, not once per look, and shared with the model's rows.
    QVariantMap KnownRow(const QipDeviceRecord& known) const;
    mutable QHash<QString, QVariantMap> mKnownRows;
    // Shows the table again after the store's knowledge changed.
    void RefreshKnown();

    // Reads the user's remembered networks and hands every target to the search factory.
    void PrepareProbeTargets();
    enum class State { Searching, Choosing, Refreshing, Failed, PortUnavailable };
    State mState = State::Searching;
    // The hand-off under way: the device, and whether it is the lone device of a report
    // (which ends the program) rather than a choice (which applies the settings).
    struct HandOff {
        bool mActive = false;
        bool mIsLone = false;
        QVariantMap mDevice;
    };
    HandOff mHandOff;
    // A page the program was meant to open could not be opened, and none was opened since.
    bool mPageNotOpened = false;
    // Has the client ask the network again while Search Again or Refresh looks.
    QTimer mAskAgain;
    // Moves the table's ages on while it is shown.
    QTimer mClock;
    // Devices taken off the list after their page opened: the looks do not bring them back.
    QSet<QString> mRemovedIds;
    // devices without those taken off the list.
    QVariantList Listable(const QVariantList& devices) const;
    // deviceFound but for the first names' signal.
    void TakeReport(const QVariantList& devices);
    // devices without those of other types ("OtherType"). Pure.
    static QVariantList Wanted(const QVariantList& devices);
    // Whether devices hold something to list: a wanted device, or with showAllTypes any.
    bool Offers(const QVariantList& devices) const;
    // Opens the page of the one wanted device when there is exactly one.
    void OpenLone(const QVariantList& devices);
    // Hands the page of device to the browser; OnHandOffEnded follows.
    void OpenPage(const QVariantMap& device, bool isLone);
    // The states, entered with what they show.
    void ShowChooser(const QVariantList& devices);
    void ShowFailed(bool otherTypesAnswered);
    void SetState(State state);
    // The search polls again from a count of 0 and asks the network now and while it looks.
    void LookAgain();
};
