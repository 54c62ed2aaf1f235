#pragma once
// A second thread for an object that shares its work with it. The object and the thread's loop
// meet under `mutex` and `changed`, and the loop returns once `stopping` is set. Destroying the
// WorkerThread sets it, wakes the loop and waits for it to end, so an owner declares its
// WorkerThread as its last member: the thread is gone before anything it uses. Where no thread
// can be had, start() says so and the owner does all of the work on its own thread.
//
// The folder scan and the archive writer both use one, and the scan depends on nothing of the
// writer's; hence a folder of its own.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

struct WorkerThread {
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;  // under mutex: the loop must return

    WorkerThread() = default;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    ~WorkerThread() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        if (thread.joinable()) thread.join();
    }

    // Runs `loop` on the thread, started by the first call. False when no thread could be started,
    // now or at an earlier call.
    bool start(const std::function<void()>& loop) {
        if (thread.joinable()) return true;
        if (failed) return false;
        try {
            thread = std::thread(loop);
        } catch (const std::system_error&) {
            failed = true;
            return false;
        }
        return true;
    }

    std::thread thread;
    bool failed = false;
};
