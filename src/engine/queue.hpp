// The one queue type of the system: first in first out, many senders, one receiver.
//
// make_queue<T>() gives an unbounded queue whose send never blocks; make_queue<T>(n) gives
// a queue of n slots, where send waits for room and try_send reports a full queue. A send
// fails (its result says failed() and hands the message back) only once the receiver is
// gone. The receiver learns that the queue is disconnected once every sender is gone and
// every queued message is taken.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

namespace vc {

enum class RecvError { Disconnected, Timeout, Empty };
enum class SendError { Disconnected, Full };

template <typename T>
class Sender;
template <typename T>
class Receiver;

namespace queue_detail {

template <typename T>
struct Shared {
    std::mutex mutex;
    std::condition_variable readable;  // a message arrived or the last sender left
    std::condition_variable writable;  // room in a bounded queue, or the receiver left
    std::deque<T> items;
    std::size_t capacity = 0;  // 0: unbounded
    std::size_t senders = 0;
    bool receiver_alive = true;
};

}  // namespace queue_detail

// The result of a send that failed: the reason and the message, given back.
template <typename T>
struct SendFailure {
    SendError error;
    T message;
};

// What a send answers: sent(), or failed() with the reason and the message given back.
// There is no conversion to bool, so that a test of it says which way it means.
template <typename T>
class SendResult {
public:
    SendResult() = default;  // sent
    SendResult(SendFailure<T> failure) : failure_(std::move(failure)) {}

    bool sent() const { return !failure_; }
    bool failed() const { return failure_.has_value(); }
    // Only on a failed send.
    SendError error() const { return failure_->error; }
    T& message() { return failure_->message; }
    const T& message() const { return failure_->message; }

private:
    std::optional<SendFailure<T>> failure_;
};

template <typename T>
class Sender {
public:
    Sender() = default;
    Sender(const Sender& other) : shared_(other.shared_) { attach(); }
    Sender(Sender&& other) noexcept : shared_(std::move(other.shared_)) {}
    Sender& operator=(Sender other) noexcept {
        std::swap(shared_, other.shared_);
        return *this;
    }
    ~Sender() { reset(); }

    // Waits for room in a bounded queue; fails only when the receiver is gone.
    SendResult<T> send(T message) const {
        if (!shared_) return SendFailure<T>{SendError::Disconnected, std::move(message)};
        std::unique_lock lock(shared_->mutex);
        shared_->writable.wait(lock, [&] {
            return !shared_->receiver_alive || shared_->capacity == 0 ||
                   shared_->items.size() < shared_->capacity;
        });
        return push(lock, std::move(message));
    }

    // Never waits: a full bounded queue gives the message back.
    SendResult<T> try_send(T message) const {
        if (!shared_) return SendFailure<T>{SendError::Disconnected, std::move(message)};
        std::unique_lock lock(shared_->mutex);
        if (shared_->receiver_alive && shared_->capacity != 0 &&
            shared_->items.size() >= shared_->capacity)
            return SendFailure<T>{SendError::Full, std::move(message)};
        return push(lock, std::move(message));
    }

    // Lets go of this sender; the queue disconnects when the last one lets go.
    void reset() {
        if (!shared_) return;
        {
            std::lock_guard lock(shared_->mutex);
            --shared_->senders;
        }
        shared_->readable.notify_all();
        shared_.reset();
    }

    explicit operator bool() const { return shared_ != nullptr; }

private:
    friend class Receiver<T>;
    template <typename U>
    friend std::pair<Sender<U>, Receiver<U>> make_queue(std::size_t);

    explicit Sender(std::shared_ptr<queue_detail::Shared<T>> shared) : shared_(std::move(shared)) {
        attach();
    }
    void attach() {
        if (!shared_) return;
        std::lock_guard lock(shared_->mutex);
        ++shared_->senders;
    }
    SendResult<T> push(std::unique_lock<std::mutex>& lock, T message) const {
        if (!shared_->receiver_alive) return SendFailure<T>{SendError::Disconnected, std::move(message)};
        shared_->items.push_back(std::move(message));
        lock.unlock();
        shared_->readable.notify_one();
        return {};
    }

    std::shared_ptr<queue_detail::Shared<T>> shared_;
};

template <typename T>
class Receiver {
public:
    using Clock = std::chrono::steady_clock;
    using Received = std::variant<T, RecvError>;

    Receiver() = default;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    Receiver(Receiver&& other) noexcept : shared_(std::move(other.shared_)) {}
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            reset();
            shared_ = std::move(other.shared_);
        }
        return *this;
    }
    ~Receiver() { reset(); }

    // Waits for a message; Disconnected once every sender is gone and nothing is queued.
    Received recv() { return wait_until(std::nullopt); }

    // Like recv, with Timeout once `deadline` has passed; a queued message always comes first.
    Received recv_until(Clock::time_point deadline) { return wait_until(deadline); }
    Received recv_for(Clock::duration timeout) { return wait_until(Clock::now() + timeout); }

    // Never waits: a message, Empty or Disconnected.
    Received try_recv() {
        if (!shared_) return RecvError::Disconnected;
        std::unique_lock lock(shared_->mutex);
        if (!shared_->items.empty()) return pop(lock);
        return shared_->senders == 0 ? RecvError::Disconnected : RecvError::Empty;
    }

    // Releases the receiver: later sends fail and hand their message back.
    void reset() {
        if (!shared_) return;
        std::deque<T> dropped;
        {
            std::lock_guard lock(shared_->mutex);
            shared_->receiver_alive = false;
            dropped.swap(shared_->items);
        }
        shared_->writable.notify_all();
        shared_.reset();
    }

    explicit operator bool() const { return shared_ != nullptr; }

private:
    template <typename U>
    friend std::pair<Sender<U>, Receiver<U>> make_queue(std::size_t);

    explicit Receiver(std::shared_ptr<queue_detail::Shared<T>> shared) : shared_(std::move(shared)) {}

    Received wait_until(std::optional<Clock::time_point> deadline) {
        if (!shared_) return RecvError::Disconnected;
        std::unique_lock lock(shared_->mutex);
        const auto ready = [&] { return !shared_->items.empty() || shared_->senders == 0; };
        if (deadline) {
            if (!shared_->readable.wait_until(lock, *deadline, ready)) return RecvError::Timeout;
        } else {
            shared_->readable.wait(lock, ready);
        }
        if (shared_->items.empty()) return RecvError::Disconnected;
        return pop(lock);
    }
    Received pop(std::unique_lock<std::mutex>& lock) {
        T message = std::move(shared_->items.front());
        shared_->items.pop_front();
        lock.unlock();
        shared_->writable.notify_one();
        return Received(std::in_place_index<0>, std::move(message));
    }

    std::shared_ptr<queue_detail::Shared<T>> shared_;
};

// capacity 0: unbounded.
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_queue(std::size_t capacity = 0) {
    auto shared = std::make_shared<queue_detail::Shared<T>>();
    shared->capacity = capacity;
    return {Sender<T>(shared), Receiver<T>(shared)};
}

}  // namespace vc
