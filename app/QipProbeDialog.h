#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

// "Search Another Network…": the user types an address, a range or a host name of a network
// beyond this computer's own; the text is checked as it is typed. The user's own networks
// are listed and can be removed; the bundle's fixed ones are shown apart, read-only.
// Accepting (Search) adds what is typed, if it is a target, to the user's list and applies
// the list; Cancel leaves everything as it was. Delete removes the chosen network. When the
// list could not be saved the dialog stays open and says so, and closes with Close. Main
// thread.
class QipProbeDialog : public QDialog {
    Q_OBJECT
public:
    QipProbeDialog(const QStringList& bundleTargets, const QStringList& userTargets,
                   QWidget* parent = nullptr);

    // What Search does with the user's networks: searches them and remembers them, false
    // when they could not be remembered. Without one, Search only closes the dialog.
    using Apply = std::function<bool(const QStringList&)>;
    void setApply(Apply apply) { mApply = std::move(apply); }
    // The user's networks as the dialog leaves them.
    QStringList userTargets() const;
    // Whether `text` is a target, and what the check line says about it: how many addresses
    // it stands for, or what is wrong, in the user's language. Pure but for the translator.
    static bool Check(const QString& text, QString* verdict);

    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ShowCheck();
    void AddTyped();
    void RemoveChosen();

    QLineEdit* mEdit;
    QLabel* mVerdict;
    QPushButton* mAddButton;
    QListWidget* mList;
    QPushButton* mRemoveButton;
    QPushButton* mSearchButton;
    QPushButton* mCancelButton;
    QLabel* mSaveFailed;
    Apply mApply;
};
