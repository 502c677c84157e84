#include "QueuedOutput.h"

#include <pthread.h>

#include <chrono>
#include <system_error>

namespace tavro {

QueuedOutput::QueuedOutput(std::shared_ptr<Output> inner)
    : inner_(std::move(inner)), ring_(kCapacity) {}

QueuedOutput::~QueuedOutput() { Stop(); }

bool QueuedOutput::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return true;
    if (thread_.joinable()) return false;  // a Stop still underway
    stopping_ = false;
    try {
        thread_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "tavro-output");
            Serve();
        });
    } catch (const std::system_error&) {
        return false;
    }
    running_ = true;
    return true;
}

void QueuedOutput::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) return;
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

bool QueuedOutput::Running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

size_t QueuedOutput::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

bool QueuedOutput::Enqueue(const Call& call) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Full: wait for room rather than lose or reorder a key.
    changed_.wait(lock, [&] { return !running_ || count_ < ring_.size(); });
    if (!running_) return false;
    ring_[(head_ + count_) % ring_.size()] = call;
    ++count_;
    lock.unlock();
    changed_.notify_all();
    return true;
}

void QueuedOutput::Button(PointerButton button, bool down) {
    Call call;
    call.kind = Kind::Button;
    call.button = button;
    call.down = down;
    if (!Enqueue(call)) Make(call);
}

bool QueuedOutput::Scroll(int dx, int dy) {
    Call call;
    call.kind = Kind::Scroll;
    call.dx = dx;
    call.dy = dy;
    if (Enqueue(call)) return true;
    return inner_->Scroll(dx, dy);
}

bool QueuedOutput::Key(unsigned long keysym, bool down) {
    Call call;
    call.kind = Kind::Key;
    call.keysym = keysym;
    call.down = down;
    if (Enqueue(call)) return true;
    return inner_->Key(keysym, down);
}

void QueuedOutput::Pause(int microseconds) {
    if (microseconds <= 0) return;
    Call call;
    call.kind = Kind::Pause;
    call.microseconds = microseconds;
    if (!Enqueue(call)) Make(call);
}

void QueuedOutput::Flush() {
    Call call;
    call.kind = Kind::Flush;
    if (!Enqueue(call)) Make(call);
}

void QueuedOutput::ReleaseAll() {
    Call call;
    call.kind = Kind::ReleaseAll;
    if (!Enqueue(call)) Make(call);
}

void QueuedOutput::Make(const Call& call) {
    switch (call.kind) {
        case Kind::Button: inner_->Button(call.button, call.down); break;
        case Kind::Scroll: inner_->Scroll(call.dx, call.dy); break;
        case Kind::Key: inner_->Key(call.keysym, call.down); break;
        case Kind::Pause: inner_->Pause(call.microseconds); break;
        case Kind::Flush: inner_->Flush(); break;
        case Kind::ReleaseAll: inner_->ReleaseAll(); break;
    }
}

void QueuedOutput::Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return count_ > 0 || stopping_; });
        if (count_ == 0) {
            // Stopping with nothing left: later calls go straight through.
            running_ = false;
            lock.unlock();
            changed_.notify_all();
            inner_->Flush();
            return;
        }
        const Call call = ring_[head_];
        head_ = (head_ + 1) % ring_.size();
        --count_;
        if (call.kind == Kind::Pause) {
            changed_.notify_all();  // room for a waiting caller
            // The wait itself is kept here, off the caller's thread; a stop
            // ends it, and the events still queued go out without waits.
            changed_.wait_for(lock, std::chrono::microseconds(call.microseconds),
                              [&] { return stopping_; });
            continue;
        }
        lock.unlock();
        changed_.notify_all();  // room for a waiting caller
        Make(call);
        lock.lock();
    }
}

}  // namespace tavro
