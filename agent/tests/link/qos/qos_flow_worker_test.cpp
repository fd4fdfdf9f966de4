#include "link/qos_flow_worker.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace vx {
namespace {

// Collects the worker's events so the test can wait for them without sleeping.
struct EventLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<QosEvent> events;

    QosEventHandler handler() {
        return [this](const QosEvent& e) {
            std::lock_guard lock(mutex);
            events.push_back(e);
            changed.notify_all();
        };
    }
    bool wait_for(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5),
                                [&] { return events.size() >= count; });
    }
};

int socket_option(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(fd, level, name, &value, &length);
    return value;
}

TEST(QosFlowWorker, MarksSocketWithDscpAndPriority) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    EventLog log;
    {
        QosFlowWorker worker(log.handler());
        // Not enabled yet: nothing happens.
        worker.set_destination(fd, 0x7F000001, 4000);
        EXPECT_FALSE(worker.enable(0, "relay"));
        ASSERT_TRUE(worker.enable(1, "relay"));
        EXPECT_TRUE(worker.enable(1, "relay"));
        worker.set_destination(fd, 0, 4000);
        worker.set_destination(fd, 0x7F000001, 0);
        worker.set_destination(fd, 0x7F000001, 4000);
        ASSERT_TRUE(log.wait_for(1));
        worker.set_destination(fd, 0x7F000001, 4000);  // same again: ignored
        worker.reset();
        EXPECT_EQ(worker.flows_applied(), 1u);
        EXPECT_EQ(socket_option(fd, IPPROTO_IP, IP_TOS), 40 << 2);
        EXPECT_EQ(socket_option(fd, SOL_SOCKET, SO_PRIORITY), 5);
        ASSERT_TRUE(log.wait_for(2));
        EXPECT_EQ(log.events[0].kind, QosEvent::Kind::flow_added);
        EXPECT_EQ(log.events[0].label, "relay");
        EXPECT_EQ(log.events[0].destination, "127.0.0.1:4000");
        EXPECT_EQ(log.events[1].kind, QosEvent::Kind::flow_removed);
        // After a reset the same destination is marked again.
        worker.set_destination(fd, 0x7F000001, 4000);
        ASSERT_TRUE(log.wait_for(3));
        worker.stop();
        worker.stop();
        EXPECT_FALSE(worker.enabled());
    }
    ::close(fd);
}

TEST(QosFlowWorker, FailureOnABadSocketIsReported) {
    EventLog log;
    QosFlowWorker worker(log.handler());
    ASSERT_TRUE(worker.enable(2, "voice"));
    worker.set_destination(987654, 0x7F000001, 4000);  // no such descriptor
    ASSERT_TRUE(log.wait_for(1));
    EXPECT_EQ(log.events[0].kind, QosEvent::Kind::failed);
    EXPECT_NE(log.events[0].detail.find("IP_TOS"), std::string::npos);
    EXPECT_EQ(qos_marking_for(3).dscp, 56);
    EXPECT_EQ(qos_marking_for(9).dscp, 0);
}

}  // namespace
}  // namespace vx
