// Work items run on the host's worker thread while the polling thread goes on
// with later rounds; each item must still store its own round's image. Run
// under ThreadSanitizer too (the tsan preset).
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "plugin/ac/voka_ac.h"
#include "tests/support/ac_image.h"
#include "tests/support/recording_controller.h"

TEST(WorkItemThreads, ItemsRunOnAnotherThreadStoreTheirOwnRounds) {
    auto controller = std::make_shared<RecordingController>();
    auto dev = std::make_shared<VOKA_AC>();
    dev->controller = controller;
    dev->InitV(nullptr, 1, Json::Value());

    std::atomic<bool> polling{true};
    std::thread worker([&] {
        while (polling.load()) controller->run_held_work();
        controller->run_held_work();
    });
    constexpr int kRounds = 200;
    for (int i = 0; i < kRounds; ++i) {
        // Every fourth image is too large to travel inside the item itself.
        const size_t channels = i % 4 == 3 ? 20 : 1 + i % 3;
        const auto image = make_ac_image(1, static_cast<float>(i), 0, std::vector<AcChannelValues>(channels));
        ASSERT_TRUE(dev->LoadFromCache(image.data(), static_cast<int>(image.size())));
        dev->RoundDone();
    }
    polling = false;
    worker.join();

    const auto published = controller->published();
    const auto saved = controller->saved();
    ASSERT_EQ(saved.size(), static_cast<size_t>(kRounds));
    for (int i = 0; i < kRounds; ++i) EXPECT_EQ(saved[i].image, published[i].image) << i;
}
