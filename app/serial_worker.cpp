#include "app/serial_worker.h"

namespace vpn {

SerialWorker::SerialWorker() : thread_([this] { loop(); }) {}

SerialWorker::~SerialWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void SerialWorker::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

bool SerialWorker::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] { return jobs_.empty() && !busy_; });
}

void SerialWorker::abandon() {
    {
        std::lock_guard lock(mutex_);
        jobs_.clear();
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.detach();
    }
}

void SerialWorker::loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) {
            return;  // stopping and drained
        }
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            job();
        } catch (...) {
            // Jobs report through the status log; nothing may end the worker.
        }
        lock.lock();
        busy_ = false;
        if (jobs_.empty()) {
            idle_.notify_all();
        }
    }
}

}  // namespace vpn
