// An output in front of another that moves pointer buttons, scrolling, keys
// and the waits between key events onto one output thread, in the order they were
// asked for, so that a key chord with its 5 ms waits never holds up the
// thread that asked for it (a handset's calculation, and with it the
// pointer).  Pointer motion and the questions about the desktop go straight
// through to the output behind.
//
// Before Start and after Stop every call goes straight through as well, so
// the decorator may stay in place while no device runs.
#ifndef TAVRO_QUEUED_OUTPUT_H
#define TAVRO_QUEUED_OUTPUT_H

#include "Output.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tavro {

class QueuedOutput : public Output {
public:
    // Calls the queue holds before a caller has to wait for room (allocated
    // once): hundreds of key chords.
    static constexpr size_t kCapacity = 1024;

    explicit QueuedOutput(std::shared_ptr<Output> inner);
    ~QueuedOutput() override;
    QueuedOutput(const QueuedOutput&) = delete;
    QueuedOutput& operator=(const QueuedOutput&) = delete;

    // Starts the output thread.  False (calls keep going straight through)
    // when it cannot be started.
    bool Start();
    // Sends what is still queued, without its waits, and ends the thread.
    void Stop();
    bool Running() const;
    // Calls queued and not yet made.
    size_t Pending() const;
    const std::shared_ptr<Output>& Inner() const { return inner_; }

    const char* Name() const override { return inner_->Name(); }
    bool ScreenSize(int* width, int* height) override { return inner_->ScreenSize(width, height); }
    void MoveAbsolute(int x, int y) override { inner_->MoveAbsolute(x, y); }
    void MoveRelative(int dx, int dy) override { inner_->MoveRelative(dx, dy); }
    bool CursorPosition(int* x, int* y) override { return inner_->CursorPosition(x, y); }

    void Button(PointerButton button, bool down) override;
    // Queued scrolls report true, as queued keys do: whether the output
    // behind can scroll is known only when the scroll is made.
    bool Scroll(int dx, int dy) override;
    // Queued keys report true: whether the keymap can type the symbol is
    // known only when the key is made; one it cannot type sends nothing.
    bool Key(unsigned long keysym, bool down) override;
    void Pause(int microseconds) override;
    void Flush() override;
    void ReleaseAll() override;

private:
    enum class Kind { Button, Scroll, Key, Pause, Flush, ReleaseAll };
    struct Call {
        Kind kind = Kind::Flush;
        PointerButton button = PointerButton::Left;
        unsigned long keysym = 0;
        bool down = false;
        int microseconds = 0;
        int dx = 0, dy = 0;
    };

    // Queues the call; false when no thread runs (the caller makes it).
    bool Enqueue(const Call& call);
    void Make(const Call& call);
    void Serve();

    std::shared_ptr<Output> inner_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> ring_;
    size_t head_ = 0, count_ = 0;
    bool running_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace tavro

#endif  // TAVRO_QUEUED_OUTPUT_H
