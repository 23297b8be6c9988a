// The device list under any sequence of hellos and ageing passes, at fuzz-chosen times,
// against a plain model of its rules: one record per (id, source) in the order first heard,
// a new packet id replaces the record in place, a known packet id refreshes it, a record
// silent for more than 30 s goes, never more than 256 records from one source and never more
// than 4,096 records. Ids, types, addresses
// and packet ids come from small sets so that records collide.
#include <time.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "qip/QipDeviceList.h"

namespace {

struct Record {
    std::string mType;
    std::string mId;
    std::string mSource;
    std::string mPacketId;
    time_t mLast;
};

class Model {
public:
    void OnHello(const Record& hello) {
        for (Record& record : mRecords) {
            if (record.mId == hello.mId && record.mSource == hello.mSource) {
                record.mLast = hello.mLast;
                if (record.mPacketId != hello.mPacketId) record = hello;
                return;
            }
        }
        size_t fromSource = 0;
        for (const Record& record : mRecords) fromSource += record.mSource == hello.mSource ? 1 : 0;
        if (fromSource < QipDeviceList::cMaxPerSender && mRecords.size() < QipDeviceList::cMaxDevices) {
            mRecords.push_back(hello);
        }
    }
    void RemoveExpired(time_t now) {
        std::vector<Record> kept;
        for (const Record& record : mRecords) {
            if (now - record.mLast <= QipDeviceList::cMaxSilenceSeconds) kept.push_back(record);
        }
        mRecords.swap(kept);
    }
    const std::vector<Record>& Records() const { return mRecords; }

private:
    std::vector<Record> mRecords;
};

void Compare(QipDeviceList& list, const Model& model) {
    const std::vector<QipDevice> snapshot = list.Snapshot();
    FUZZ_CHECK(snapshot.size() <= QipDeviceList::cMaxDevices);
    FUZZ_CHECK(snapshot.size() == model.Records().size());
    std::set<std::pair<std::string, std::string>> keys;
    for (size_t i = 0; i < snapshot.size(); ++i) {
        const Record& want = model.Records()[i];
        FUZZ_CHECK(snapshot[i].GetDeviceId() == want.mId);
        FUZZ_CHECK(snapshot[i].GetLastSourceAddress() == want.mSource);
        FUZZ_CHECK(snapshot[i].GetDeviceType() == want.mType);
        FUZZ_CHECK(snapshot[i].GetPacketId() == want.mPacketId);
        FUZZ_CHECK(snapshot[i].GetLastResponseTime() == want.mLast);
        FUZZ_CHECK(keys.insert(std::make_pair(want.mId, want.mSource)).second);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    static const char* const cIds[] = {"00:11", "00:22", "00:33", "", "00:11 "};
    static const char* const cSources[] = {"192.0.2.20", "192.0.2.21", "198.51.100.7"};
    static const char* const cTypes[] = {"QipBox", "Other"};
    static const char* const cPacketIds[] = {"1", "2", "", "10"};
    // Times start at the wall clock and only go forward from it, so that the list's own
    // ageing thread, which ages against the wall clock, never removes a record here.
    const time_t base = time(nullptr);
    FuzzInput input(data, size);
    QipDeviceList list(nullptr);
    Model model;
    bool filled = false;
    while (!input.IsEmpty()) {
        const uint8_t op = input.Byte();
        const time_t now = base + input.Byte();
        if (op % 8 == 7) {
            list.RemoveExpired(now);
            model.RemoveExpired(now);
        } else if (op == 6 && !filled && input.Byte() == 0xA5 && input.Byte() == 0x5A) {
            // Rarely (it costs the list some 8 million comparisons), and once per input:
            // distinct devices past the cap.
            filled = true;
            for (size_t n = 0; n < QipDeviceList::cMaxDevices + 3; ++n) {
                const Record hello = {"QipBox", "fill-" + std::to_string(n), "203.0.113.9", "1", now};
                list.OnHello(QipPacketHello(hello.mType, hello.mId, "203.0.113.9", "255.255.255.0",
                                            "/s", hello.mPacketId),
                             hello.mSource, now);
                model.OnHello(hello);
            }
        } else {
            const uint8_t pick = input.Byte();
            const Record hello = {cTypes[op >> 7], cIds[pick % 5], cSources[(pick / 5) % 3],
                                  cPacketIds[(op >> 3) % 4], now};
            list.OnHello(QipPacketHello(hello.mType, hello.mId, "192.0.2.99", "255.255.255.0",
                                        "/status.xml", hello.mPacketId),
                         hello.mSource, now);
            model.OnHello(hello);
        }
        // A full list is compared where it changes shape, and at the end.
        if (model.Records().size() <= 64 || op % 8 == 7 || input.IsEmpty()) Compare(list, model);
    }
    Compare(list, model);
    return 0;
}
