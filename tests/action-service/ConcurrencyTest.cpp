#include "ServiceFakes.hpp"
#include "WaitFor.hpp"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace service_test;

// Both children are held at the fake's barrier: the release comes only once both have started, so
// the test finishes only if the two requests ran at the same time.
TEST(Concurrency, TwoCommandsRunAtTheSameTime) {
    Service service;
    service.launchctl.hold("load");
    service.launchctl.hold("unload");
    OptionalReply loadReply = makeErrorReply(Action::ErrorCode::unknown);
    std::string testText = "unset";
    std::thread first([&] { loadReply = service.controller.runJobCommand(Controller::Command::load, "/a"); });
    std::thread second(
        [&] { testText = service.controller.runTestCommand(Controller::TestCommand::load, "/b").text; });
    bool bothStarted = test_support::waitFor([&] { return service.launchctl.startedCount() == 2; });
    EXPECT_EQ(service.launchctl.finishedCount(), 0u);
    service.launchctl.release();
    first.join();
    second.join();
    EXPECT_TRUE(bothStarted);
    EXPECT_FALSE(loadReply);
    EXPECT_EQ(testText, "");
    EXPECT_EQ(service.launchctl.finishedCount(), 2u);
}

namespace {
class FixedListener final : public Listener {
public:
    std::shared_ptr<ListenerEndpoint> endpoint() override { return endpoint_; }

private:
    std::shared_ptr<ListenerEndpoint> endpoint_ = std::make_shared<ListenerEndpoint>();
};
class QuietConnection final : public Connection {
public:
    void setExportedInterface(const Interface&) override {}
    void setExportedObject(RemoteObjectType&) override {}
    void resume() override {}
};
} // namespace

TEST(Concurrency, ListenerIsStoredAndReadWithoutARace) {
    Service service;
    FixedListener listener;
    const auto expected = listener.endpoint();
    std::vector<std::thread> threads;
    std::atomic<int> wrongEndpoints{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (t % 2 == 0) {
                    QuietConnection connection;
                    service.controller.shouldAcceptNewConnection(listener, connection);
                } else {
                    service.controller.listenerEndpointWithReply(
                        [&](std::shared_ptr<ListenerEndpoint> endpoint) {
                            if (endpoint != nullptr && endpoint != expected) {
                                ++wrongEndpoints;
                            }
                        });
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrongEndpoints.load(), 0);
    EXPECT_EQ(service.controller.listener(), &listener);
}
