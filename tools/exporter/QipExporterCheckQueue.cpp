#include "tools/exporter/QipExporterCheckQueue.h"

#include "tools/exporter/QipExporterPasswords.h"

const size_t QipExporterCheckQueue::cMaxWaiting;

QipExporterCheckQueue::QipExporterCheckQueue(QipExporterPasswords* passwords)
    : mPasswords(passwords), mIsStopped(false), mIsStarted(false), mWorker(this) {}

QipExporterCheckQueue::~QipExporterCheckQueue() { Stop(); }

bool QipExporterCheckQueue::Start() {
    mIsStarted = mWorker.Start() == 0;
    return mIsStarted;
}

bool QipExporterCheckQueue::Add(const std::string& user, const std::string& password, Done* done) {
    {
        KspThreadMutex::Guard guard(mLock);
        if (mIsStopped || !mIsStarted || mJobs.size() >= cMaxWaiting) return false;
        mJobs.push_back(Job{user, password, done});
    }
    mWorker.Wake();
    return true;
}

void QipExporterCheckQueue::Stop() {
    std::deque<Job> left;
    {
        KspThreadMutex::Guard guard(mLock);
        if (mIsStopped) return;
        mIsStopped = true;
        left.swap(mJobs);
    }
    if (mIsStarted) {
        mWorker.Stop();
        mWorker.WaitForCompletion();
    }
    for (Job& job : left) job.mDone->OnChecked(false);
}

void QipExporterCheckQueue::Worker::Run() {
    while (IsThreadRunning()) {
        Job job;
        bool has = false;
        {
            KspThreadMutex::Guard guard(mOuter->mLock);
            if (!mOuter->mJobs.empty()) {
                job = std::move(mOuter->mJobs.front());
                mOuter->mJobs.pop_front();
                has = true;
            }
        }
        if (!has) {
            Pause(1000);
            continue;
        }
        job.mDone->OnChecked(mOuter->mPasswords->CheckAdmitted(job.mUser, job.mPassword));
    }
}
