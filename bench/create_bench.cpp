// The client's torrent creation on one file, through its creation queue as the page starts it:
// prints the seconds from the queued job to "post_success". Usage: create_bench FILE OUTPUT
// v1|hybrid PIECE_BYTES
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "velmora/bridge/ui_event_sink.h"
#include "velmora/lifecycle/torrent_creation.h"

namespace {

using velmora::bridge::UiValue;

// Stands in for the page: notes how the creation ended.
class OutcomePage final : public velmora::bridge::UiEventSink {
public:
    UiValue ui_call(std::string_view name, const UiValue&) override {
        const std::lock_guard hold(lock_);
        outcome_ = std::string(name);
        ended_.notify_all();
        return UiValue();
    }
    std::string wait() {
        std::unique_lock hold(lock_);
        ended_.wait(hold, [this] { return !outcome_.empty(); });
        return outcome_;
    }

private:
    std::mutex lock_;
    std::condition_variable ended_;
    std::string outcome_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: create_bench FILE OUTPUT v1|hybrid PIECE_BYTES\n");
        return 2;
    }
    velmora::lifecycle::CreateJob job;
    job.source = argv[1];
    job.output = argv[2];
    job.format = std::string(argv[3]) == "hybrid" ? velmora::lifecycle::TorrentFormat::Hybrid
                                                  : velmora::lifecycle::TorrentFormat::V1;
    job.piece_size = std::atoi(argv[4]);
    OutcomePage page;
    const std::atomic<bool> running{true};
    velmora::lifecycle::TorrentCreator creator(page, running, {});
    const auto start = std::chrono::steady_clock::now();
    creator.enqueue(job);
    creator.start_next();
    const std::string outcome = page.wait();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (outcome != "post_success") {
        std::fprintf(stderr, "create_bench: %s\n", outcome.c_str());
        return 1;
    }
    std::printf("%.3f\n", took.count());
    return 0;
}
