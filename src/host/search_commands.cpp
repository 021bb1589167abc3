// The search commands: the catalogue search runs on its own thread, the adds on a worker.
#include "velmora/host/search_commands.h"

#include <string>

#include "velmora/host/torrent_commands.h"
#include "velmora/lifecycle/torrent_lifecycle.h"
#include "velmora/services/catalogue_search.h"

namespace velmora::host {
namespace {

using bridge::CommandEntry;
using bridge::UsualResult;

std::vector<std::string> texts_of(const UiValue& list) {
    std::vector<std::string> texts;
    if (list.is_array()) {
        for (const UiValue& item : list.as_array()) {
            texts.push_back(item.read_text());
        }
    }
    return texts;
}

// Adding by hash may wait for the page's answers, so it leaves the gui thread.
UiValue add_by_hash(CommandContext& ctx, const CommandArgs& a, bool base64) {
    TorrentServices* services = running_engine(ctx);
    if (services == nullptr) {
        return UiValue(true);
    }
    auto& lifecycle = services->lifecycle;
    lifecycle.start_worker(
        [&lifecycle, hash = a.text_at(0), name = a.text_at(1), trackers = texts_of(a[2]), base64] {
            if (base64) {
                lifecycle.add_by_base64_hash(hash, name, trackers);
            } else {
                lifecycle.add_by_hash(hash, name, trackers);
            }
        });
    return UiValue(true);
}

}  // namespace

std::vector<CommandEntry> search_commands(CommandContext& ctx) {
    return {
        {"set_search", 1, UsualResult::True,
         [&ctx](const CommandArgs& a) {
             if (ctx.search != nullptr) {
                 const UiValue& options = a[0];
                 const UiValue& path = options.at_index(0);
                 const UiValue& limit = options.at_index(1);
                 ctx.search->configure(path.is_string() ? path.as_string() : std::string(),
                                       limit.is_int() ? limit.as_int() : 0,
                                       options.at_index(2).read_bool());
             }
             return UiValue(true);
         }},
        {"search", 1, UsualResult::False,
         [&ctx](const CommandArgs& a) {
             return UiValue(ctx.search != nullptr && ctx.search->start(a.text_at(0)));
         }},
        {"do_add_search_hash", 3, UsualResult::True,
         [&ctx](const CommandArgs& a) { return add_by_hash(ctx, a, true); }},
        {"do_add_history_hash", 3, UsualResult::True,
         [&ctx](const CommandArgs& a) { return add_by_hash(ctx, a, false); }},
    };
}

}  // namespace velmora::host
