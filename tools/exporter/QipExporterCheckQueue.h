#pragma once

#include <stddef.h>

#include <deque>
#include <string>

#include "ksp/KspThread.h"
#include "ksp/KspThreadMutex.h"

class QipExporterPasswords;

// Password checks off the thread that serves connections: one worker hashes the pairs
// handed to it in turn, at most cMaxWaiting waiting, so that they never cost more than
// one core nor delay a request that needs no check. Add and Stop from any thread but the
// worker; a Done is called on the worker (or on Stop's thread for a pair never begun).
class QipExporterCheckQueue {
public:
    static const size_t cMaxWaiting = 8;

    // Told a check's result. The object must live until it is told.
    class Done {
    public:
        virtual ~Done() {}
        virtual void OnChecked(bool isAccepted) = 0;
    };

    // `passwords` (not owned) outlives the queue.
    explicit QipExporterCheckQueue(QipExporterPasswords* passwords);
    QipExporterCheckQueue(const QipExporterCheckQueue&) = delete;
    QipExporterCheckQueue& operator=(const QipExporterCheckQueue&) = delete;
    // Stops (as Stop).
    ~QipExporterCheckQueue();

    // Starts the worker; false when the thread cannot be made.
    bool Start();
    // Queues a check of the pair admitted by QipExporterPasswords::Admit; false (nothing
    // queued, `done` never called) when cMaxWaiting are waiting or the queue is stopped.
    bool Add(const std::string& user, const std::string& password, Done* done);
    // Lets the check under way finish, tells every pair not begun that it was refused, and
    // joins the worker.
    void Stop();

private:
    struct Job {
        std::string mUser;
        std::string mPassword;
        Done* mDone;
    };

    class Worker : public KspThread {
    public:
        explicit Worker(QipExporterCheckQueue* outer) : mOuter(outer) {}
        void Run() override;

    private:
        QipExporterCheckQueue* mOuter;
    };

    QipExporterPasswords* mPasswords;
    KspThreadMutex mLock;  // guards mJobs and mIsStopped
    std::deque<Job> mJobs;
    bool mIsStopped;
    bool mIsStarted;
    Worker mWorker;
};
