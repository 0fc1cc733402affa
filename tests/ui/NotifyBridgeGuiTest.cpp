#include "shell/ui/NotifyBridge.h"

#include "core/NotifyCenter.h"
#include "ui/SpinUntil.h"

#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

void PostText(CNotifyCenter& center, const std::string& text)
{
    char szBuf[1024] = {};
    text.copy(szBuf, sizeof(szBuf) - 1);
    center.Post(0, NOTIFY_LOG, szBuf, sizeof(szBuf));
}

TEST(NotifyBridgeTest, HandlerRunsOnWindowThreadInOrder)
{
    TestApp app;
    std::vector<std::string> handled;
    bool bOnWindowThread = true;
    CNotifyBridge bridge([&](std::uint32_t nKind, const void* pPayload) {
        bOnWindowThread = bOnWindowThread && QThread::currentThread() == app.thread();
        EXPECT_EQ(nKind, NOTIFY_LOG);
        handled.push_back(static_cast<const char*>(pPayload));
    });
    CNotifyCenter center;
    center.Register(&bridge);
    for (int i = 0; i < 20; ++i)
        PostText(center, "entry " + std::to_string(i));
    ASSERT_TRUE(SpinUntil([&] { return handled.size() == 20; }));
    center.Stop();
    EXPECT_TRUE(bOnWindowThread);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(handled[static_cast<std::size_t>(i)], "entry " + std::to_string(i));
}

TEST(NotifyBridgeTest, StopFromWindowThreadDoesNotHangOnPendingDelivery)
{
    TestApp app;
    int nHandled = 0;
    CNotifyBridge bridge([&](std::uint32_t, const void*) { ++nHandled; });
    CNotifyCenter center;
    center.Register(&bridge);
    PostText(center, "pending");
    // The window thread is busy (not spinning its loop) while the delivery thread
    // waits for it; give the delivery thread time to get there.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    center.Stop();
    // The queued call that was cancelled must not run late, nor anything posted now.
    EXPECT_FALSE(SpinUntil([&] { return nHandled != 0; }, 100));
    PostText(center, "after stop");
    EXPECT_FALSE(SpinUntil([&] { return nHandled != 0; }, 100));
}

} // namespace
