// The power actions, against a stand-in systemctl that records how it was called.
#include "velmora/platform/linux/logind_power.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_fixtures.h"
#include "support/temp_dir.h"

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> read_lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(LogindPower, EachActionCallsTheProgramWithItsVerbAndNoInhibitorCheck) {
    test::TempDir dir;
    const fs::path program = dir / "systemctl";
    const fs::path log = dir / "argv";
    // one argument a line, moved into place whole so a reader never sees half of it
    std::ofstream(program) << "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" << log.string()
                           << ".part'\nmv '" << log.string() << ".part' '" << log.string() << "'\n";
    fs::permissions(program, fs::perms(0755));
    LogindPower power(program);

    const std::vector<std::pair<host::PowerAction, std::string>> cases = {
        {host::PowerAction::Hibernate, "hibernate"},
        {host::PowerAction::Reboot, "reboot"},
        {host::PowerAction::PowerOff, "poweroff"},
        {host::PowerAction::Suspend, "suspend"},
    };
    for (const auto& [action, verb] : cases) {
        SCOPED_TRACE(verb);
        fs::remove(log);
        power.request(action);
        ASSERT_TRUE(test::eventually([&] { return fs::exists(log); }));
        EXPECT_EQ(read_lines(log), (std::vector<std::string>{program.string(), "--no-ask-password",
                                                             "--check-inhibitors=no", verb}));
    }
}

TEST(LogindPower, AMissingProgramDoesNothing) {
    test::TempDir dir;
    LogindPower power(dir / "no-such-program");
    EXPECT_NO_THROW(power.request(host::PowerAction::PowerOff));
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
}  // namespace velmora::platform
