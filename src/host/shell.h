// What the client asks of the user's desktop session: being the handler of torrent files,
// magnet links and its own record files, starting at log-on, and the machine's power actions.
#pragma once

#include <functional>
#include <string>

namespace velmora::host {

// Thread: gui.
class Shell {
public:
    // A file of the user's desktop settings that could not be written, created or read (a
    // missing file is not a fault): the system's text for the error and the file's path. Called
    // at most once per file in one call, before that call returns.
    using ErrorReport = std::function<void(const std::string& error_text, const std::string& path)>;

    virtual ~Shell() = default;
    // Makes the client the handler of all three kinds and tells the desktop that its
    // associations changed.
    virtual void register_associations(const ErrorReport& report) = 0;
    // True while the client is the handler of magnet links, launched at its current path, and of
    // torrent files. Changes nothing.
    virtual bool is_default_client(const ErrorReport& report) = 0;
    // Adds (or rewrites) the log-on entry, or removes it; the state read back afterwards.
    virtual bool set_run_at_log_on(bool on, const ErrorReport& report) = 0;
    virtual bool runs_at_log_on(const ErrorReport& report) = 0;
};

enum class PowerAction { Hibernate, Reboot, PowerOff, Suspend };

// Thread: any.
class PowerActions {
public:
    virtual ~PowerActions() = default;
    // Fire and forget: an action the system refuses or cannot carry out does nothing and
    // reports nothing.
    virtual void request(PowerAction action) = 0;
};

}  // namespace velmora::host
