#include "platform/HostLookup.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/SysSocket.h"

namespace pm::platform {

// Shared by the caller and the lookup's thread, so that either may go first.
struct HostLookup::Job {
    std::string name;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::vector<std::uint32_t> addresses;
};

HostLookup::HostLookup() : HostLookup(systemResolver) {}

HostLookup::HostLookup(Resolver resolver) : resolver_(std::move(resolver)) {}

// A lookup still running is left to finish alone: its thread holds the job.
HostLookup::~HostLookup() = default;

std::vector<std::uint32_t> HostLookup::systemResolver(const std::string& name) {
    return sys::lookup(name);
}

HostLookup::Result HostLookup::lookup(const std::string& name, std::chrono::milliseconds wait) {
    if (!job_ || job_->name != name) {
        auto job = std::make_shared<Job>();
        job->name = name;
        std::thread([job, resolver = resolver_] {
            auto addresses = resolver(job->name);
            const std::lock_guard lock(job->mutex);
            job->addresses = std::move(addresses);
            job->done = true;
            job->finished.notify_all();
        }).detach();
        job_ = std::move(job);
    }
    std::unique_lock lock(job_->mutex);
    if (!job_->finished.wait_for(lock, wait, [this] { return job_->done; })) {
        return {State::Pending, {}};
    }
    Result result{job_->addresses.empty() ? State::Failed : State::Done, std::move(job_->addresses)};
    lock.unlock();
    job_.reset();
    return result;
}

} // namespace pm::platform
