#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/queue.hpp"

namespace vc {
namespace {

using namespace std::chrono_literals;

template <typename T>
T value_of(typename Receiver<T>::Received received) {
    EXPECT_EQ(received.index(), 0u);
    return std::get<0>(received);
}

TEST(Queue, OrderAndDisconnectAfterDrain) {
    auto [tx, rx] = make_queue<int>();
    auto tx2 = tx;
    EXPECT_TRUE(tx.send(1).sent());
    EXPECT_TRUE(tx2.send(2).sent());
    tx.reset();
    tx2.reset();
    EXPECT_EQ(value_of<int>(rx.recv()), 1);
    EXPECT_EQ(value_of<int>(rx.try_recv()), 2);
    EXPECT_EQ(std::get<RecvError>(rx.recv()), RecvError::Disconnected);
    EXPECT_EQ(std::get<RecvError>(rx.try_recv()), RecvError::Disconnected);
}

TEST(Queue, EmptyTimeoutAndQueuedBeforeDeadline) {
    auto [tx, rx] = make_queue<int>();
    EXPECT_EQ(std::get<RecvError>(rx.try_recv()), RecvError::Empty);
    EXPECT_EQ(std::get<RecvError>(rx.recv_for(20ms)), RecvError::Timeout);
    tx.send(5);
    EXPECT_EQ(value_of<int>(rx.recv_until(Receiver<int>::Clock::now() - 1s)), 5);
}

TEST(Queue, SendAfterReceiverGoneGivesMessageBack) {
    auto [tx, rx] = make_queue<std::string>();
    rx.reset();
    auto failure = tx.send("kept");
    ASSERT_TRUE(failure.failed());
    EXPECT_EQ(failure.error(), SendError::Disconnected);
    EXPECT_EQ(failure.message(), "kept");
}

TEST(Queue, BoundedTrySendReportsFull) {
    auto [tx, rx] = make_queue<int>(1);
    EXPECT_TRUE(tx.try_send(1).sent());
    auto failure = tx.try_send(2);
    ASSERT_TRUE(failure.failed());
    EXPECT_EQ(failure.error(), SendError::Full);
    EXPECT_EQ(value_of<int>(rx.recv()), 1);
    EXPECT_TRUE(tx.try_send(3).sent());
}

TEST(Queue, BlockingReceiveWakesOnLastSenderGone) {
    auto [tx, rx] = make_queue<int>();
    std::thread sender([tx = std::move(tx)]() mutable {
        std::this_thread::sleep_for(20ms);
        tx.send(9);
    });
    EXPECT_EQ(value_of<int>(rx.recv()), 9);
    EXPECT_EQ(std::get<RecvError>(rx.recv()), RecvError::Disconnected);
    sender.join();
}

TEST(Queue, ManySendersLoseNothing) {
    auto [tx, rx] = make_queue<int>();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([tx = tx, t]() mutable {
            for (int i = 0; i < 1000; ++i) tx.send(t * 1000 + i);
        });
    tx.reset();
    long sum = 0, count = 0;
    for (;;) {
        auto received = rx.recv();
        if (received.index() == 1) break;
        sum += std::get<0>(received);
        ++count;
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(count, 4000);
    EXPECT_EQ(sum, 4000L * 3999 / 2);
}


TEST(Queue, EachSendersOrderIsKept) {
    auto [tx, rx] = make_queue<std::pair<int, int>>();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([tx = tx, t]() mutable {
            for (int i = 0; i < 2000; ++i) tx.send({t, i});
        });
    tx.reset();
    std::vector<int> next(4, 0);
    for (;;) {
        auto received = rx.recv();
        if (received.index() == 1) break;
        const auto [t, i] = std::get<0>(received);
        ASSERT_EQ(i, next[t]) << "sender " << t;
        ++next[t];
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(next, std::vector<int>(4, 2000));
}

TEST(Queue, DeadlineReceiveGetsALaterMessage) {
    auto [tx, rx] = make_queue<int>();
    std::thread sender([tx = std::move(tx)]() mutable {
        std::this_thread::sleep_for(20ms);
        tx.send(7);
        std::this_thread::sleep_for(20ms);
    });
    EXPECT_EQ(value_of<int>(rx.recv_for(10s)), 7);
    EXPECT_EQ(std::get<RecvError>(rx.recv_for(10s)), RecvError::Disconnected);
    sender.join();
}

TEST(Queue, BoundedSendWaitsForRoom) {
    auto [tx, rx] = make_queue<int>(5);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(tx.try_send(i).sent());
    EXPECT_EQ(tx.try_send(5).error(), SendError::Full);
    std::atomic<bool> sent{false};
    std::thread sender([&sent, tx = tx]() mutable {
        EXPECT_TRUE(tx.send(5).sent());
        sent = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(sent);  // still waiting: the queue is full
    EXPECT_EQ(value_of<int>(rx.recv()), 0);
    sender.join();
    EXPECT_TRUE(sent);
    tx.reset();
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(value_of<int>(rx.recv()), i);
    EXPECT_EQ(std::get<RecvError>(rx.try_recv()), RecvError::Disconnected);
}

TEST(Queue, WaitingSendGivesUpWhenReceiverGoes) {
    auto [tx, rx] = make_queue<std::string>(1);
    EXPECT_TRUE(tx.send("first").sent());
    std::thread sender([tx = tx]() mutable {
        auto failure = tx.send("second");
        ASSERT_TRUE(failure.failed());
        EXPECT_EQ(failure.error(), SendError::Disconnected);
        EXPECT_EQ(failure.message(), "second");
    });
    std::this_thread::sleep_for(20ms);
    rx.reset();
    sender.join();
    EXPECT_EQ(tx.try_send("third").error(), SendError::Disconnected);
}

}  // namespace
}  // namespace vc
