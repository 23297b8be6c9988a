#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "ksp/KspClock.h"
#include "store/QipDeviceStore.h"
#include "tests/testbed/TestFolder.h"

// The store against the real SQLite, in a folder of each test's own.
namespace {

class StoreFolder {
public:
    std::string Path() const { return Folder() + "/devices.sqlite"; }
    std::string Folder() const { return mFolder.Get() + "/qipfinder"; }

private:
    TestFolder mFolder{"qip-store"};
};

size_t CountLines(const std::string& text) {
    size_t lines = 0;
    for (char c : text) lines += c == '\n' ? 1 : 0;
    return lines;
}

// Runs `body` in a child process and returns its pid; the child ends with _exit(0).
template <typename Body>
pid_t Fork(Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    return pid;
}

}  // namespace

TEST(QipDeviceMerge, NewerSightingWinsAndAnOlderOneOnlyAddsWhatIsMissing) {
    QipDeviceRecord stored;
    stored.mDeviceId = "one";
    stored.mDeviceType = "T";
    stored.mAddresses = {"192.0.2.1"};
    stored.mSsid = "Office";
    stored.mFirstSeen = 100;
    stored.mLastSeen = 200;
    stored.mLastOpened = 150;
    stored.mLabel = "Office AP";

    QipDeviceSighting newer{"one", "T", {"192.0.2.2"}, "", 300};
    QipDeviceRecord merged = QipDeviceMerge::Apply(&stored, newer);
    EXPECT_EQ(merged.mLastSeen, 300);
    EXPECT_EQ(merged.JoinAddresses(), "192.0.2.2 192.0.2.1");
    EXPECT_EQ(merged.mSsid, "Office");  // a page not read keeps the SSID of last time
    EXPECT_EQ(merged.mLabel, "Office AP");
    EXPECT_EQ(merged.mLastOpened, 150);

    // Another program wrote a newer sighting first: last_seen and SSID stay, first_seen may drop.
    QipDeviceSighting older{"one", "T", {"192.0.2.3"}, "Lobby", 50};
    merged = QipDeviceMerge::Apply(&stored, older);
    EXPECT_EQ(merged.mLastSeen, 200);
    EXPECT_EQ(merged.mFirstSeen, 50);
    EXPECT_EQ(merged.mSsid, "Office");
    EXPECT_EQ(merged.JoinAddresses(), "192.0.2.1 192.0.2.3");

    for (int i = 0; i < 10; ++i) {
        merged = QipDeviceMerge::Apply(&merged, QipDeviceSighting{"one", "T", {"198.51.100." + std::to_string(i)}, "", 400 + i});
    }
    EXPECT_EQ(merged.mAddresses.size(), QipDeviceRecord::cMaxAddresses);
    EXPECT_EQ(merged.mAddresses.front(), "198.51.100.9");

    EXPECT_TRUE(QipDeviceMerge::IsStale(stored, QipDeviceSighting{"one", "T", {"192.0.2.1"}, "", 259}, 60));
    EXPECT_FALSE(QipDeviceMerge::IsStale(stored, QipDeviceSighting{"one", "T", {"192.0.2.1"}, "", 260}, 60));
    EXPECT_FALSE(QipDeviceMerge::IsStale(stored, QipDeviceSighting{"one", "T", {"192.0.2.1"}, "Lobby", 201}, 60));
    EXPECT_EQ(QipDeviceMerge::DescribeAge(1000, 1000 + 3 * 86400 + 5), "3 days ago");

    EXPECT_EQ(QipDeviceRecord::CheckLabel(std::string(64, 'x')), "");
    EXPECT_EQ(QipDeviceRecord::CheckLabel("B\xC3\xBCro"), "");
    EXPECT_NE(QipDeviceRecord::CheckLabel(std::string(65, 'x')), "");
    EXPECT_NE(QipDeviceRecord::CheckLabel("a\nb"), "");
    EXPECT_NE(QipDeviceRecord::CheckLabel("\xC3"), "");
}

TEST(QipDeviceStore, RemembersAcrossRunsAndForgetsTheOldestPastTheLimit) {
    StoreFolder folder;
    {
        QipDeviceStore store(folder.Path(), "test");
        for (size_t i = 0; i < QipDeviceStore::cMaxDevices + 4; ++i) {
            store.Note("id-" + std::to_string(i), "T", "192.0.2.9", "", static_cast<time_t>(1000 + i));
        }
        ASSERT_TRUE(store.Flush());
        std::string error;
        EXPECT_TRUE(store.SetLabel("id-4000", "Office AP", error));
        EXPECT_FALSE(store.SetLabel("id-4000", std::string(65, 'x'), error));
        store.NoteOpened("id-4000", "T", 5000);
        store.Forget("id-4001");
    }
    QipDeviceStore store(folder.Path(), "test");
    ASSERT_TRUE(store.WaitUntilLoaded());
    EXPECT_EQ(store.GetKnown().size(), QipDeviceStore::cMaxDevices - 1);
    QipDeviceRecord record;
    EXPECT_FALSE(store.FindKnown("id-3", "T", record));  // among the four seen longest ago
    EXPECT_TRUE(store.FindKnown("id-4", "T", record));
    EXPECT_FALSE(store.FindKnown("id-4001", "T", record));
    ASSERT_TRUE(store.FindKnown("id-4000", "T", record));
    EXPECT_EQ(record.mLabel, "Office AP");
    EXPECT_EQ(record.mLastOpened, 5000);
    EXPECT_EQ(store.GetProblem(), "");
}

// A file that is no database, as a disk error or another program may leave it: set aside
// under the day's name, said once, and the store works afresh.
TEST(QipDeviceStore, DamagedFileIsSetAsideAndStartedAfresh) {
    StoreFolder folder;
    ASSERT_EQ(system(("mkdir -p '" + folder.Folder() + "'").c_str()), 0);
    std::ofstream(folder.Path()) << std::string(8192, 'x');
    char date[16];
    const time_t now = time(nullptr);
    struct tm local;
    strftime(date, sizeof date, "%Y-%m-%d", localtime_r(&now, &local));

    testing::internal::CaptureStderr();
    {
        QipDeviceStore store(folder.Path(), "test");
        EXPECT_TRUE(store.WaitUntilLoaded());
        store.Note("one", "T", "192.0.2.9", "", now);
        EXPECT_TRUE(store.Flush());
        EXPECT_EQ(store.GetProblem(), std::string("devices.sqlite is damaged; saved as devices.sqlite.damaged-") + date +
                                          " and started afresh");
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(said), 1u) << said;
    std::ifstream saved(folder.Path() + ".damaged-" + date);
    std::stringstream kept;
    kept << saved.rdbuf();
    EXPECT_TRUE(kept.str() == std::string(8192, 'x')) << "the damaged file was not kept as it was";
    QipDeviceStore store(folder.Path(), "test");
    QipDeviceRecord record;
    EXPECT_TRUE(store.FindKnown("one", "T", record));
}

// Another program holds the file locked: nothing waits longer than the busy timeout, the
// store says so once, however much is noted, and the file is left as it was.
TEST(QipDeviceStore, LockedStoreIsSaidOnceAndLeftAlone) {
    StoreFolder folder;
    {
        QipDeviceStore store(folder.Path(), "test");
        store.Note("before", "T", "192.0.2.9", "", 1000);
        ASSERT_TRUE(store.Flush());
    }
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(folder.Path().c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; DELETE FROM devices WHERE 0;",
                           nullptr, nullptr, nullptr), SQLITE_OK);
    testing::internal::CaptureStderr();
    {
        QipDeviceStore store(folder.Path(), "test");
        EXPECT_FALSE(store.WaitUntilLoaded());
        for (int i = 0; i < 100; ++i) store.Note("during-" + std::to_string(i), "T", "192.0.2.9", "", 2000);
        EXPECT_FALSE(store.Flush());
        EXPECT_NE(store.GetProblem().find("locked by another program"), std::string::npos) << store.GetProblem();
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(said), 1u) << said;
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    QipDeviceStore store(folder.Path(), "test");
    EXPECT_EQ(store.GetKnown().size(), 1u);
    EXPECT_EQ(store.GetProblem(), "");
}

// Two programs (the window and qip-discover) writing at once, a transaction each per round:
// each one's devices are all kept, and the device both saw keeps the later sighting.
TEST(QipDeviceStore, TwoProgramsWritingAtOnceLoseNothing) {
    StoreFolder folder;
    { QipDeviceStore(folder.Path(), "test").WaitUntilLoaded(); }
    const int cRounds = 20;
    const int cPerRound = 50;
    pid_t writers[2];
    for (int w = 0; w < 2; ++w) {
        writers[w] = Fork([&folder, w] {
            QipDeviceStore store(folder.Path(), "writer");
            for (int round = 0; round < cRounds; ++round) {
                for (int i = 0; i < cPerRound; ++i) {
                    store.Note("w" + std::to_string(w) + "-" + std::to_string(round * cPerRound + i), "T",
                               "192.0.2." + std::to_string(w + 1), "", 1000 + round);
                }
                // The first writer saw the shared device later than the second, every round.
                store.Note("both", "T", "192.0.2." + std::to_string(w + 1), "ssid-" + std::to_string(w),
                           w == 0 ? 5000 + 60 * round : 3000 + 60 * round);
                if (!store.Flush()) _exit(1);
            }
        });
    }
    for (pid_t writer : writers) {
        int status = -1;
        ASSERT_EQ(waitpid(writer, &status, 0), writer);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    QipDeviceStore store(folder.Path(), "test");
    EXPECT_EQ(store.GetKnown().size(), 2u * cRounds * cPerRound + 1);
    QipDeviceRecord both;
    ASSERT_TRUE(store.FindKnown("both", "T", both));
    EXPECT_EQ(both.mLastSeen, 5000 + 60 * (cRounds - 1));
    EXPECT_EQ(both.mFirstSeen, 3000);
    EXPECT_EQ(both.mSsid, "ssid-0");
    EXPECT_EQ(both.mAddresses.front(), "192.0.2.1");
}

// A writer killed at a few moments of its writes: the store opens undamaged each time and
// holds every round the writer had seen written.
TEST(QipDeviceStore, KilledWriterLeavesAStoreThatOpens) {
    StoreFolder folder;
    const int cDevices = 500;
    srand(static_cast<unsigned>(getpid()));
    for (int kill = 0; kill < 5; ++kill) {
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        const pid_t writer = Fork([&] {
            close(report[0]);
            QipDeviceStore store(folder.Path(), "writer");
            for (int round = 1;; ++round) {
                for (int i = 0; i < cDevices; ++i) {
                    store.Note("id-" + std::to_string(i), "T", "192.0.2.9", "round-" + std::to_string(round),
                               100000 * (kill + 1) + round);
                }
                if (store.Flush() && write(report[1], &round, sizeof round) != sizeof round) _exit(1);
            }
        });
        close(report[1]);
        int written = 0;
        const long long waitMs = 50 + rand() % 400;
        const long long start = KspMonotonicMs();
        pollfd readable{report[0], POLLIN, 0};
        // The kill's moment is random; reading the rounds written until then.
        for (long long left = waitMs; left > 0; left = waitMs - (KspMonotonicMs() - start)) {
            if (poll(&readable, 1, static_cast<int>(left)) <= 0) break;
            int round;
            if (read(report[0], &round, sizeof round) != sizeof round) break;
            written = round;
        }
        ::kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
        close(report[0]);

        QipDeviceStore store(folder.Path(), "test");
        ASSERT_TRUE(store.WaitUntilLoaded()) << store.GetProblem();
        EXPECT_EQ(store.GetProblem(), "");
        if (written == 0) continue;
        const std::vector<QipDeviceRecord> known = store.GetKnown();
        ASSERT_EQ(known.size(), static_cast<size_t>(cDevices));
        for (const QipDeviceRecord& record : known) {
            EXPECT_GE(atoi(record.mSsid.c_str() + 6), written) << record.mDeviceId;
        }
    }
}
