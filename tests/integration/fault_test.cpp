// SIGKILL at random moments of the real client's life, cycle after cycle over one home, so that
// what one run leaves behind is what the next one starts from. Whatever a kill interrupts, every
// record and the settings file still load with the client's own readers, and the next start
// brings back every torrent whose add the page had seen confirmed.
//
// The seed is printed; VELMORA_FAULT_SEED=<seed> replays its choices and its kill moments,
// VELMORA_FAULT_CYCLES=<n> shortens the run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "support/loopback_swarm.h"
#include "velmora/lifecycle/record_store.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// How the pages' maps say yes.
constexpr int kMapYes = 3;
// The page lists at most this many torrents; past it, a cycle removes one.
constexpr std::size_t kListCap = 6;
constexpr int kTorrentFiles = 12;
constexpr int kMagnets = 4;

std::uint64_t seed_from_environment() {
    if (const char* text = std::getenv("VELMORA_FAULT_SEED"); text != nullptr && *text != '\0') {
        return std::stoull(text);
    }
    return static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
}

int cycles_from_environment() {
    if (const char* text = std::getenv("VELMORA_FAULT_CYCLES"); text != nullptr && *text != '\0') {
        return std::stoi(text);
    }
    return 200;
}

// Where the client was when the kill landed.
enum Phase { kStartUp, kAdding, kRunning, kExiting, kTearDown, kPhases };
constexpr const char* kPhaseNames[kPhases] = {"start-up and restore", "add and first tick",
                                              "running", "exit save", "after the exit save"};

// Sends SIGKILL at the moment it is armed for, from its own thread, so the moment does not
// depend on what the page is busy with. Stopped before the process is reaped: a pid that was
// reaped may already belong to someone else.
class Killer {
public:
    Killer(pid_t pid, const std::atomic<int>& phase)
        : pid_(pid), phase_(phase), thread_([this] { run(); }) {}
    ~Killer() { stop(); }
    Killer(const Killer&) = delete;
    Killer& operator=(const Killer&) = delete;

    void arm(Clock::time_point at) {
        {
            const std::lock_guard lock(lock_);
            at_ = at;
        }
        wake_.notify_all();
    }
    void stop() {
        {
            const std::lock_guard lock(lock_);
            stopped_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool fired() const { return fired_; }
    int phase_at_kill() const { return killed_in_; }

private:
    void run() {
        std::unique_lock lock(lock_);
        while (!stopped_) {
            if (at_ && Clock::now() >= *at_) {
                ::kill(pid_, SIGKILL);
                killed_in_ = phase_.load();
                fired_ = true;
                return;
            }
            if (at_) {
                wake_.wait_until(lock, *at_);
            } else {
                wake_.wait(lock);
            }
        }
    }

    pid_t pid_;
    const std::atomic<int>& phase_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::optional<Clock::time_point> at_;
    bool stopped_ = false;
    std::atomic<bool> fired_{false};
    std::atomic<int> killed_in_{-1};
    std::thread thread_;  // last: it runs on the members above
};

// Ended, without reaping it.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

const json& map_of(const json& arg) {
    return arg.is_array() && !arg.empty() ? arg[0] : arg;
}

std::string hash_in(const json& arg) {
    const json& body = map_of(arg);
    if (body.is_string()) {
        return body.get<std::string>();
    }
    return body.is_object() && body.contains("hash") ? body["hash"].get<std::string>() : "";
}

struct Median {
    std::vector<double> values;
    double initial;
    void add(double v) { values.push_back(v); }
    double get() const {
        if (values.empty()) {
            return initial;
        }
        std::vector<double> sorted = values;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        return sorted[sorted.size() / 2];
    }
};

// The flags a cycle may change, each written to the settings file.
struct Flag {
    const char* command;
    bool config::ClientSettings::*field;
};
constexpr Flag kFlags[] = {
    {"set_pre_allocate_files", &config::ClientSettings::pre_allocate_files},
    {"set_add_trackers_duplicate", &config::ClientSettings::add_trackers_duplicate},
    {"set_update_only_changed_torrents", &config::ClientSettings::update_only_changed_torrents},
};
constexpr int kFlagCount = static_cast<int>(std::size(kFlags));

enum KillMode { kNoKill, kAnyMoment, kDuringStartUp, kDuringAdd, kDuringExit };
enum PreAdd { kStartHere, kStartChosen, kKeepStopped, kApplyStopped };

// Every choice of a cycle, drawn before it runs, so that a replayed seed makes the same ones
// whatever the timing did to the cycles before.
struct Plan {
    KillMode kill = kNoKill;
    double kill_at = 0;  // a fraction of the window the mode names
    bool dupe = false;
    std::size_t pick = 0;
    PreAdd pre_add = kStartHere;
    bool timer_events = false;
    bool save_settings = false;
    bool second_tick = false;
    bool quick = false;  // closes once the commands are answered, without waiting for a tick
    int toggle = -1;
    bool start_stopped = false;
    std::size_t other_pick = 0;

    static Plan draw(std::mt19937_64& random) {
        auto unit = [&random] { return std::uniform_real_distribution<double>(0, 1)(random); };
        Plan p;
        const double mode = unit();
        p.kill = mode < 0.08   ? kNoKill
                 : mode < 0.45 ? kAnyMoment
                 : mode < 0.57 ? kDuringStartUp
                 : mode < 0.77 ? kDuringAdd
                               : kDuringExit;
        p.kill_at = unit();
        p.dupe = unit() < 0.15;
        p.pick = random();
        const double dialog = unit();
        p.pre_add = dialog < 0.55   ? kStartHere
                    : dialog < 0.75 ? kStartChosen
                    : dialog < 0.88 ? kKeepStopped
                                    : kApplyStopped;
        p.timer_events = unit() < 0.5;
        p.save_settings = unit() < 0.5;
        p.second_tick = unit() < 0.12;
        p.quick = unit() < 0.4;
        p.toggle = unit() < 0.3 ? static_cast<int>(random() % kFlagCount) : -1;
        p.start_stopped = unit() < 0.3;
        p.other_pick = random();
        return p;
    }
};

enum class Source { File, Magnet };

struct PoolItem {
    Source source;
    std::string hash;
    std::string name;
    std::string add_text;  // the torrent file's path or the magnet link
};

// What the page keeps of a torrent it lists.
struct Listed {
    bool running = false;
    const PoolItem* item = nullptr;
};

// The home all runs share, the page's memory of it, and what the runs measured.
struct Home {
    Home() {
        fs::create_directories(road.chosen);
        for (int i = 0; i < kTorrentFiles; ++i) {
            const std::string name = "t" + std::to_string(i);
            // half of them find their data in place and seed, the others wait for peers
            const fs::path folder = i % 2 == 0 ? road.downloads : road.dir / "elsewhere";
            const TestTorrent t =
                make_test_torrent(folder, name, {{name, 16'384 + 4'096 * i}}, {}, 16 * 1024);
            pool.push_back({Source::File, t.hash, name, t.torrent_file.string()});
        }
        for (int i = 0; i < kMagnets; ++i) {
            const std::string name = "m" + std::to_string(i);
            const TestTorrent t =
                make_test_torrent(road.dir / "nowhere", name, {{name, 1000 + i}}, {}, 16 * 1024);
            pool.push_back(
                {Source::Magnet, t.hash, name, "magnet:?xt=urn:btih:" + t.hash + "&dn=" + name});
        }
        EXPECT_FALSE(config::load_advanced_settings(settings_file(), flags));
    }

    fs::path settings_file() const { return road.home / "advanced-client-settings.xml"; }
    fs::path record_folder() const { return road.home / "VTR"; }

    Road road;
    std::vector<PoolItem> pool;
    std::map<std::string, Listed> listed;  // the page's torrent list, kept between runs
    config::ClientSettings flags;          // the flags as the page last set them

    Median startup{{}, 0.5};
    Median add_confirm{{}, 1.2};
    Median exit_save{{}, 0.4};
    Median whole{{}, 2.0};

    int kills[kPhases] = {};
    int clean_exits = 0;
    int kills_after_exit = 0;
    int restores_checked = 0;
    int adds_confirmed = 0;
    int records_loaded = 0;
};

// One run of the client: started, driven through its cycle, killed or ended.
class Cycle {
public:
    Cycle(Home& home, const Plan& plan, std::string& fault)
        : t_(home),
          plan_(plan),
          fault_(fault),
          started_(Clock::now()),
          process_(t_.road.client_argv(), kEnv),
          page_(process_, [this](const PageCall& call) { return answer(call); }),
          killer_(process_.pid(), phase_) {}

    // The cycle's script, up to its end: the kill, a fault or the exit.
    void run() {
        if (plan_.kill == kAnyMoment) {
            arm_within(started_, t_.whole.get() * 1.2);
        } else if (plan_.kill == kDuringStartUp) {
            arm_within(started_, t_.startup.get());
        }
        page_.command("start_timer");
        if (!serve([this] { return restore_asked_; }, Millis(30'000), "the start-up")) {
            return;
        }
        t_.startup.add(seconds_since(started_));

        phase_ = kAdding;
        const auto adding = Clock::now();
        if (plan_.kill == kDuringAdd) {
            arm_within(adding, t_.add_confirm.get() * 1.1);
        }
        send_toggle();
        send_add();
        if (plan_.timer_events) {
            page_.command("timer_events", json::array({plan_.save_settings}));
        }
        if (plan_.quick) {
            // the add is in the engine's hands but unconfirmed when the exit's save begins
            if (!serve([this] { return answered(); }, Millis(20'000), "the commands")) {
                return;
            }
        } else {
            send_start_of_a_stopped_one();
            if (!serve([this] { return settled(); }, Millis(20'000), "the add and the restore")) {
                return;
            }
            t_.add_confirm.add(seconds_since(adding));
            t_.restores_checked += static_cast<int>(expected_restore_.size());
        }

        phase_ = kRunning;
        if (!plan_.quick) {
            remove_one_past_the_cap();
        }
        if (plan_.second_tick && !plan_.quick) {
            // the records the periodic save asks for are written on the tick after
            page_.command("timer_events", json::array({true}));
            serve([] { return false; }, Millis(1'200), nullptr);
            if (ended()) {
                return;
            }
        }

        phase_ = kExiting;
        const auto exiting = Clock::now();
        if (plan_.kill == kDuringExit) {
            arm_within(exiting, t_.exit_save.get() * 1.1);
        }
        process_.write_stdin(R"({"t":"close"})"
                             "\n");
        if (!serve([this] { return !page_.calls_of("exit_session").empty(); }, Millis(30'000),
                   "the exit")) {
            return;
        }
        t_.exit_save.add(seconds_since(exiting));
        phase_ = kTearDown;
    }

    // Stops the killer and reaps the process; whether it ended cleanly.
    bool finish() {
        killer_.stop();
        if (!fault_.empty() && !killer_.fired()) {
            process_.signal(SIGKILL);  // the run ends at its fault; the client has no say
        }
        const std::optional<int> code = process_.wait(Millis(30'000));
        if (killer_.fired() && code == 128 + SIGKILL) {
            ++t_.kills[killer_.phase_at_kill()];
            return false;
        }
        if (!fault_.empty()) {
            return false;
        }
        if (code != 0) {
            fault_ = "the client ended with " + (code ? std::to_string(*code) : "a time-out") +
                     " in " + kPhaseNames[phase_.load()] + "; stderr:\n" + process_.stderr_text();
        }
        if (fault_.empty() && phase_ != kTearDown) {
            fault_ = std::string("the client ended on its own in ") + kPhaseNames[phase_.load()];
        }
        if (killer_.fired()) {
            ++t_.kills_after_exit;
        }
        t_.whole.add(seconds_since(started_));
        ++t_.clean_exits;
        return fault_.empty();
    }

    // The page's side of the run, for a failure message.
    std::string transcript() const {
        std::ostringstream out;
        for (const auto& c : page_.calls()) {
            if (c.fn != "do_statusbar" && c.fn != "listen_succeeded_alert" &&
                c.fn != "set_port_variable" && c.fn != "update_torrent") {
                out << "  " << c.fn << " " << c.arg.dump().substr(0, 160) << "\n";
            }
        }
        return out.str();
    }

private:
    static double seconds_since(Clock::time_point at) {
        return std::chrono::duration<double>(Clock::now() - at).count();
    }

    void arm_within(Clock::time_point from, double window_seconds) {
        killer_.arm(from + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(plan_.kill_at * window_seconds)));
    }

    bool ended() const { return killer_.fired() || !fault_.empty() || has_ended(process_.pid()); }

    // Serves the page until `done`; false when the run ended first (a kill, a fault, an exit),
    // and a fault when the time ran out with the client still up.
    bool serve(const std::function<bool()>& done, Millis timeout, const char* what) {
        const bool met = page_.serve_until(
            [&] {
                observe();
                return ended() || done();
            },
            timeout);
        if (done()) {
            return true;  // even when the client ended right after: what was waited for came
        }
        if (ended()) {
            return false;
        }
        if (!met && what != nullptr && fault_.empty()) {
            fault_ = std::string("no end to ") + what + " after " +
                     std::to_string(timeout.count()) + " ms";
        }
        return met;
    }

    json answer(const PageCall& call) {
        if (call.fn == "IndexFromHash") {
            const auto at = t_.listed.find(call.arg.is_string() ? call.arg.get<std::string>() : "");
            return at == t_.listed.end() ? -1
                                         : static_cast<int>(std::distance(t_.listed.begin(), at));
        }
        if (call.fn == "get_resume_data") {
            page_.command("set_resumed_settings", resumed_settings(t_.road.downloads, false));
            return 0;
        }
        if (call.fn == "get_torrents_to_restore") {
            return restore_list();
        }
        if (call.fn == "pre_add_torrent") {
            return pre_add_answer();
        }
        if (call.fn == "get_files_prioraty") {
            return json::array();
        }
        if (call.fn == "do_exit") {
            return 1;
        }
        return nullptr;
    }

    // Every running torrent the page lists; those with metadata must come from their records.
    json restore_list() {
        restore_asked_ = true;
        json list = json::array();
        for (const auto& [hash, entry] : t_.listed) {
            if (!entry.running) {
                continue;
            }
            expected_restore_.insert(hash);
            const bool magnet = entry.item->source == Source::Magnet;
            list.push_back(json{{"hash", hash},
                                {"paused", 0},
                                {"meta", magnet ? 0 : 1},
                                {"name", entry.item->name},
                                {"sequential_download", 0},
                                {"upload_mode", magnet ? 1 : 0},
                                {"share_mode", 0},
                                {"super_seeding", 0},
                                {"upload_limit", 0},
                                {"download_limit", 0},
                                {"trackers", json::array()},
                                {"web", json::array()}});
        }
        return list;
    }

    json pre_add_answer() const {
        const std::string folder = plan_.pre_add == kStartChosen ? t_.road.chosen.string() : "";
        switch (plan_.pre_add) {
            case kKeepStopped:
                return json::array({0, true, false, 0, "", json::array(), "", false});
            case kApplyStopped:
                return json::array({1, false, false, 0, "", json::array(), "", false});
            default:
                return json::array({1, false, true, 0, "", json::array(), folder, false});
        }
    }

    void send_toggle() {
        if (plan_.toggle < 0) {
            return;
        }
        const Flag& flag = kFlags[plan_.toggle];
        toggle_value_ = !(t_.flags.*flag.field);
        toggle_id_ = page_.command(flag.command, json::array({toggle_value_}));
    }

    void send_add() {
        std::vector<const PoolItem*> candidates;
        for (const PoolItem& item : t_.pool) {
            if (t_.listed.contains(item.hash) == plan_.dupe) {
                candidates.push_back(&item);
            }
        }
        if (candidates.empty()) {
            return;
        }
        adding_ = candidates[plan_.pick % candidates.size()];
        const bool file = adding_->source == Source::File;
        stopped_add_ = !plan_.dupe && file &&
                       (plan_.pre_add == kKeepStopped || plan_.pre_add == kApplyStopped);
        add_id_ =
            page_.command("add_torrent_to_session", json::array({adding_->add_text, file ? 0 : 1}));
    }

    void send_start_of_a_stopped_one() {
        std::vector<std::string> stopped;
        for (const auto& [hash, entry] : t_.listed) {
            if (!entry.running) {
                stopped.push_back(hash);
            }
        }
        if (!plan_.start_stopped || stopped.empty()) {
            return;
        }
        starting_ = stopped[plan_.other_pick % stopped.size()];
        page_.command("do_start_torrent", json::array({starting_, 0, json::array(), json::array(),
                                                       json::array({0, 0, 0, 0, 0, 0})}));
    }

    // The page drops a torrent from its list as it asks for the removal.
    void remove_one_past_the_cap() {
        if (t_.listed.size() <= kListCap) {
            return;
        }
        auto victim = t_.listed.begin();
        std::advance(victim, static_cast<long>(plan_.other_pick % t_.listed.size()));
        page_.command("do_delete_torrent", json::array({victim->first, 0, ""}));
        t_.listed.erase(victim);
    }

    // Each look serves the page for a while, so an answer once seen is not asked for again.
    bool result_seen(int id) {
        if (id < 0 || answered_ids_.contains(id)) {
            return id >= 0;
        }
        if (!page_.result_of(id, Millis(0))) {
            return false;
        }
        answered_ids_.insert(id);
        return true;
    }

    // The commands' own answers: a torrent kept stopped is confirmed by its add's answer.
    bool answered() {
        if (!add_settled_ && stopped_add_ && result_seen(add_id_)) {
            add_settled_ = true;
            t_.listed[adding_->hash] = {false, adding_};
            ++t_.adds_confirmed;
        }
        if (toggle_id_ >= 0 && result_seen(toggle_id_)) {
            t_.flags.*kFlags[plan_.toggle].field = toggle_value_;
            toggle_id_ = -1;
        }
        return toggle_id_ < 0 && (adding_ == nullptr || add_settled_ || result_seen(add_id_));
    }

    // The answers are looked for last: the events that come with the tick need no look of
    // their own.
    bool settled() {
        const bool events_done =
            (adding_ == nullptr || add_settled_ || stopped_add_) && starting_.empty() &&
            std::all_of(expected_restore_.begin(), expected_restore_.end(),
                        [this](const std::string& h) { return restored_.contains(h); });
        return events_done && answered() && (adding_ == nullptr || add_settled_);
    }

    // Takes what the page heard since the last look into the page's list.
    void observe() {
        const auto& calls = page_.calls();
        for (; observed_ < calls.size(); ++observed_) {
            const PageCall& call = calls[observed_];
            if (call.fn == "vtr_error" || call.fn == "pre_run_errors" ||
                call.fn == "do_error_adding_torrent") {
                note_fault(call.fn + " " + call.arg.dump());
            } else if (call.fn == "add_torrent_alert") {
                on_added(map_of(call.arg));
            } else if (call.fn == "do_dupe_torrent" && adding_ != nullptr && plan_.dupe &&
                       hash_in(call.arg) == adding_->hash) {
                add_settled_ = true;
            }
        }
    }

    void on_added(const json& added) {
        const std::string hash = added.value("hash", "");
        const auto item = std::find_if(t_.pool.begin(), t_.pool.end(),
                                       [&](const PoolItem& p) { return p.hash == hash; });
        const bool with_metadata = added.value("meta", 0) == kMapYes;
        if (item != t_.pool.end() && item->source == Source::File && !with_metadata) {
            note_fault("torrent " + item->name + " came back without its metadata");
        }
        if (expected_restore_.contains(hash)) {
            restored_.insert(hash);
        }
        if (adding_ != nullptr && !plan_.dupe && !stopped_add_ && hash == adding_->hash) {
            t_.listed[hash] = {true, adding_};
            add_settled_ = true;
            ++t_.adds_confirmed;
        }
        if (hash == starting_) {
            t_.listed[hash].running = true;
            starting_.clear();
        }
    }

    void note_fault(const std::string& what) {
        if (fault_.empty()) {
            fault_ = "the page heard " + what;
        }
    }

    Home& t_;
    const Plan& plan_;
    std::string& fault_;
    Clock::time_point started_;
    std::atomic<int> phase_{kStartUp};
    ChildProcess process_;
    ConsolePage page_;
    Killer killer_;  // after the process: stopped before the process is reaped

    std::size_t observed_ = 0;
    bool restore_asked_ = false;
    std::set<std::string> expected_restore_;
    std::set<std::string> restored_;
    const PoolItem* adding_ = nullptr;
    bool stopped_add_ = false;
    bool add_settled_ = false;
    int add_id_ = -1;
    int toggle_id_ = -1;
    bool toggle_value_ = false;
    std::string starting_;
    std::set<int> answered_ids_;
};

// What a kill may leave in the home: the complete files and the temporaries they were written
// through, never a file that fails to load or a temporary with a record's name.
struct HomeCheck {
    int records = 0;
    int temporaries = 0;
    std::string fault;
};

HomeCheck check_home(const Home& t, bool clean) {
    const fs::path records = t.record_folder();
    const fs::path settings = t.settings_file();
    HomeCheck out;
    RecordingPage sink;
    const lifecycle::RecordStore store(records, sink);
    std::set<std::string> on_disk;
    // a kill before the first start made its folders leaves none: no record is lost by that
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(records, missing)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() == ".vtr") {
            const std::string hash = entry.path().stem().string();
            if (!store.load_record(entry.path(), name)) {
                out.fault = "record " + name + " does not load";
                return out;
            }
            on_disk.insert(hash);
            ++out.records;
        } else if (name.starts_with(".velmora-") && name.ends_with(".tmp")) {
            ++out.temporaries;
        } else {
            out.fault = "unexpected file in the record folder: " + name;
            return out;
        }
    }
    for (const auto& [hash, entry] : t.listed) {
        if (entry.item->source == Source::File && !on_disk.contains(hash)) {
            out.fault = "torrent " + entry.item->name + " is listed but has no record";
            return out;
        }
    }
    for (const auto& entry : fs::directory_iterator(settings.parent_path())) {
        if (entry.path().filename().string().starts_with(settings.filename().string() + ".")) {
            ++out.temporaries;
        }
    }
    config::ClientSettings loaded;
    if (const auto error = config::load_advanced_settings(settings, loaded)) {
        out.fault = "the settings file does not load: " + error->detail;
        return out;
    }
    // an empty or cut-off file would load as the defaults, which are not the loopback ones
    const config::ClientSettings loopback = loopback_client_settings();
    if (loaded.use_dht != loopback.use_dht || loaded.use_lsd != loopback.use_lsd ||
        loaded.use_upnp != loopback.use_upnp || loaded.port_type != loopback.port_type ||
        !loaded.respect_sleep) {
        out.fault = "the settings file lost the test's settings";
        return out;
    }
    if (clean) {
        for (const Flag& flag : kFlags) {
            if (loaded.*flag.field != t.flags.*flag.field) {
                out.fault = std::string("after a clean exit the settings file misses ") +
                            flag.command + "(" + (t.flags.*flag.field ? "true" : "false") + ")";
                return out;
            }
        }
    }
    return out;
}

TEST(FaultTest, KillsAtRandomMomentsNeverCostARecordTheSettingsOrAConfirmedTorrent) {
    std::signal(SIGPIPE, SIG_IGN);  // a kill closes the pipe the page still writes to
    const std::uint64_t seed = seed_from_environment();
    const int cycles = cycles_from_environment();
    std::cout << "fault seed " << seed << " (replay: VELMORA_FAULT_SEED=" << seed << "), " << cycles
              << " cycles" << std::endl;
    std::mt19937_64 random(seed);
    Home home;
    std::string fault;  // the first fault ends the run: the home is no longer one to build on
    int temporaries = 0;
    int ran = 0;
    const auto began = Clock::now();

    for (int n = 0; n < cycles && fault.empty(); ++n) {
        if (n > 0 && n % 25 == 0) {
            std::cout << "  cycle " << n << " at "
                      << std::chrono::duration<double>(Clock::now() - began).count() << " s, "
                      << home.listed.size() << " torrents listed" << std::endl;
        }
        const Plan plan = Plan::draw(random);
        ++ran;
        bool clean = false;
        std::string transcript;
        {
            Cycle cycle(home, plan, fault);
            cycle.run();
            clean = cycle.finish();
            if (!fault.empty()) {
                transcript = cycle.transcript();
            }
        }
        if (fault.empty()) {
            const HomeCheck check = check_home(home, clean);
            fault = check.fault;
            home.records_loaded += check.records;
            temporaries = check.temporaries;
        }
        if (fault.empty()) {
            // whatever the kill kept of the flags is what the next run starts from
            config::ClientSettings loaded;
            config::load_advanced_settings(home.settings_file(), loaded);
            for (const Flag& flag : kFlags) {
                home.flags.*flag.field = loaded.*flag.field;
            }
        } else {
            ADD_FAILURE() << "cycle " << n << ", replay with VELMORA_FAULT_SEED=" << seed << ": "
                          << fault << "\n"
                          << transcript;
        }
    }

    const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
    std::cout << "fault seed " << seed << ": " << ran << " cycles in " << elapsed << " s, "
              << home.clean_exits << " clean exits (" << home.kills_after_exit
              << " with the kill after the end), " << home.adds_confirmed << " adds confirmed, "
              << home.restores_checked << " restores checked, " << home.records_loaded
              << " record loads, " << temporaries << " temporaries left in the home\n";
    for (int p = 0; p < kPhases; ++p) {
        std::cout << "  killed in " << kPhaseNames[p] << ": " << home.kills[p] << "\n";
    }
    std::cout << "  medians: start-up " << home.startup.get() << " s, add "
              << home.add_confirm.get() << " s, exit save " << home.exit_save.get()
              << " s, clean cycle " << home.whole.get() << " s" << std::endl;
}

}  // namespace
}  // namespace velmora::test
