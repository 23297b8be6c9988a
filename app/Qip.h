#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariant>

#include <memory>
#include <vector>

#include "app/QipDelegate.h"
#include "ksp/KspNetworkInterface.h"

class QipClient;
class QipDeviceList;

// The interfaces as the most recent start() of any search enumerated them; read by every
// poll. Touched only on the thread of the searches' event loop.
extern std::vector<KspNetworkInterface> gInterfaces;

// A device search on the Qt event loop of the thread that owns it. It owns one discovery
// client and one device list (created by start), polls the list with a repeating timer and
// reports to its delegate (not owned; it must outlive the search). Every operation, the
// ticks included, runs on the owning thread.
class Qip : public QObject {
    Q_OBJECT
public:
    // Stores the delegate, the wanted device types and the poll interval (a number whose
    // fraction is cut; a value below 1 falls back to 10 with one line on standard error).
    // Starts nothing.
    Qip(QipDelegate* delegate, const QStringList& deviceKennungen, const QVariant& timeout,
        QObject* parent = nullptr);
    // Stops the timer and takes down the client, then the device list.
    ~Qip() override;

    // Creates the client and the list, snapshots the interfaces into gInterfaces and starts
    // a repeating timer of timeout() seconds. A second start does nothing.
    void start();
    // Stops polling; discovery and ageing go on.
    void suspend();
    // Polls again every 2 seconds, the count of empty polls starting from 0. Does nothing
    // while a timer runs or after stop().
    void resume();
    // Stops polling and takes down the client, then the device list.
    void stop();

    QStringList deviceKennungen() const;
    void setDeviceKennungen(const QStringList& deviceKennungen);
    QVariant timeout() const;
    void setTimeout(const QVariant& timeout);
    // The running timer, or null while none runs.
    QTimer* timer() const;
    void setTimer(QTimer* timer);  // takes ownership; the old timer is stopped and discarded

    // The poll interval in whole seconds that timeout() gives (the fraction cut).
    int intervalSeconds() const;

public slots:
    // One poll; run by the timer.
    void timerCallback();

private:
    QipDelegate* _delegate;
    QStringList _deviceKennungen;
    QVariant _timeout;
    std::unique_ptr<QTimer> _timer;
    quint32 _counter;
    std::unique_ptr<QipClient> _qipClient;
    std::unique_ptr<QipDeviceList> _qipDeviceList;
    bool _stopped;
};
