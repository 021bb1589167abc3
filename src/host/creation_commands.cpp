// The creation commands: new torrents go through the creation queue, exports run on a worker
// and edits on the gui thread.
#include "velmora/host/creation_commands.h"

#include "velmora/host/app_state.h"
#include "velmora/host/torrent_commands.h"
#include "velmora/lifecycle/torrent_creation.h"
#include "velmora/lifecycle/torrent_lifecycle.h"

namespace velmora::host {
namespace {

using bridge::CommandEntry;
using bridge::UsualResult;

}  // namespace

std::vector<CommandEntry> creation_commands(CommandContext& ctx) {
    return {
        {"make_new_torrent", 3, UsualResult::True,
         [&ctx](const CommandArgs& a) {
             if (TorrentServices* services = running_engine(ctx)) {
                 services->creator.enqueue(lifecycle::create_job_from(a[0], a[1], a[2]));
             }
             return UiValue(true);
         }},
        {"do_make_torrent_from_session", 1, UsualResult::True,
         [&ctx](const CommandArgs& a) {
             if (TorrentServices* services = running_engine(ctx)) {
                 auto& lifecycle = services->lifecycle;
                 lifecycle.start_worker([&lifecycle, &events = ctx.events, options = a[0]] {
                     if (lifecycle.running()) {
                         lifecycle::export_torrent(lifecycle.records(), options, events);
                     }
                 });
             }
             return UiValue(true);
         }},
        {"do_edit_torrent", 1, UsualResult::True,
         [&ctx](const CommandArgs& a) {
             if (ctx.state.running) {
                 lifecycle::edit_torrent_file(a[0], ctx.events);
             }
             return UiValue(true);
         }},
    };
}

}  // namespace velmora::host
