// A request flag is shared by a client that raises it and may withdraw it,
// and the command writer that takes it up and finishes it, in different
// threads or processes: each raised request must end exactly one way.
#include "RecordAccess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

TEST(RequestFlag, EveryRaiseIsTakenOnceOrWithdrawnNeverBoth) {
    auto record = std::make_unique<SharedDeviceState>();
    uint8_t& flag = record->IRBlastRequest;
    int32_t& ticket = record->DebugValue;  // the command's value, stored before the raise
    constexpr int kRaises = 20000;
    std::vector<int> taken(kRaises + 1), withdrawn(kRaises + 1);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        while (!done.load()) {
            if (!tavro::TakeRequest(flag)) {
                std::this_thread::yield();
                continue;
            }
            ++taken[tavro::LoadField(ticket)];
            tavro::FinishRequest(flag);
        }
    });
    bool idle = true;
    for (int i = 1; i <= kRaises && idle; ++i) {
        tavro::StoreField(ticket, i);
        tavro::RaiseRequest(flag);
        // Every other raise is withdrawn at once, racing the writer's take.
        if (i % 2 == 0 && tavro::WithdrawRequest(flag)) ++withdrawn[i];
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (tavro::RequestPending(flag) && (idle = std::chrono::steady_clock::now() < deadline))
            std::this_thread::yield();
    }
    done = true;
    writer.join();
    ASSERT_TRUE(idle) << "the writer never finished a request it took";

    int wrong = 0, takes = 0, withdrawals = 0;
    for (int i = 1; i <= kRaises; ++i) {
        if (taken[i] + withdrawn[i] != 1) ++wrong;
        takes += taken[i];
        withdrawals += withdrawn[i];
    }
    EXPECT_EQ(wrong, 0) << takes << " taken, " << withdrawals << " withdrawn of " << kRaises;
    EXPECT_GT(withdrawals, 0) << "no withdrawal won the race: the contract was not exercised";
}

// A client that gives up: with no writer its request is withdrawn and never
// taken later; one the writer took up before the time-out is left to the
// writer and counts as sent.
TEST(RequestFlag, AwaitWithdrawsOnlyARequestNobodyTook) {
    SharedDeviceState record{};
    tavro::RaiseRequest(record.ClearHatRequest);
    EXPECT_FALSE(tavro::AwaitOrWithdrawRequest(record.ClearHatRequest, 20ms));
    EXPECT_FALSE(tavro::TakeRequest(record.ClearHatRequest));

    tavro::RaiseRequest(record.ClearHatRequest);
    ASSERT_TRUE(tavro::TakeRequest(record.ClearHatRequest));
    std::atomic<bool> stillTaken{false};
    std::thread writer([&] {
        std::this_thread::sleep_for(60ms);  // still writing when the client's time-out passes
        stillTaken = tavro::LoadField(record.ClearHatRequest) == tavro::kRequestTaken;
        tavro::FinishRequest(record.ClearHatRequest);
    });
    const bool sent = tavro::AwaitOrWithdrawRequest(record.ClearHatRequest, 20ms, [] { return false; }, 5s);
    writer.join();
    EXPECT_TRUE(sent && stillTaken) << "sent " << sent << ", still taken " << stillTaken;
}

}  // namespace
