// The client's catalogue search on one file, as the page starts it: prints the seconds from
// "search" to the results event and the number of results.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "velmora/bridge/ui_event_sink.h"
#include "velmora/services/catalogue_search.h"

namespace {

using velmora::bridge::UiValue;

// Stands in for the page: notes when the results arrive.
class ResultsPage final : public velmora::bridge::UiEventSink {
public:
    UiValue ui_call(std::string_view name, const UiValue& arg) override {
        if (name == "add_search_results") {
            const std::lock_guard hold(lock_);
            results_ = arg.is_array() ? arg.as_array().size() : 0;
            done_ = true;
            arrived_.notify_all();
        }
        return UiValue();
    }
    std::size_t wait() {
        std::unique_lock hold(lock_);
        arrived_.wait(hold, [this] { return done_; });
        return results_;
    }

private:
    std::mutex lock_;
    std::condition_variable arrived_;
    bool done_ = false;
    std::size_t results_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: search_bench CATALOGUE plain|adaptive TERM\n");
        return 2;
    }
    ResultsPage page;
    velmora::services::CatalogueSearch search(page);
    search.configure(argv[1], 0, std::string(argv[2]) == "adaptive");
    const auto start = std::chrono::steady_clock::now();
    if (!search.start(argv[3])) {
        return 1;
    }
    const std::size_t results = page.wait();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.3f %zu\n", took.count(), results);
    return 0;
}
