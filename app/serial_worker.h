#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vpn {

// Runs the blocking steps of the commands one after another, in the order they were posted,
// on one thread of its own, so that the window never waits on the network or the VPN service.
class SerialWorker {
public:
    using Job = std::function<void()>;

    SerialWorker();
    // Runs the jobs still queued, then stops. Use waitIdle() first to bound that wait.
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void post(Job job);
    // True when every job posted so far has finished within the time-out.
    bool waitIdle(std::chrono::milliseconds timeout);
    // Lets the process end without joining a job that never returns (a service that never
    // answers): the thread is left behind and the queued jobs are dropped.
    void abandon();

private:
    void loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> jobs_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vpn
