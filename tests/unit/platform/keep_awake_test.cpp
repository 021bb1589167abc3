// The sleep inhibitor child, against a stand-in `systemd-inhibit` first on PATH.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/engine_fixtures.h"
#include "support/temp_dir.h"
#include "velmora/platform/linux/logind_keep_awake.h"

namespace velmora::platform {
namespace {

std::string read_text(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class KeepAwakeTest : public ::testing::Test {
protected:
    KeepAwakeTest() {
        // records its arguments, then holds the lock as long as the command it runs does
        const auto script = dir / "systemd-inhibit";
        std::ofstream(script) << "#!/bin/sh\necho \"start $*\" >> '" << log.string()
                              << "'\n\"$5\"\necho end >> '" << log.string() << "'\n";
        std::filesystem::permissions(script, std::filesystem::perms(0755));
        const char* old_path = std::getenv("PATH");
        saved_path = old_path != nullptr ? old_path : "";
        ::setenv("PATH", (dir.path().string() + ":" + saved_path).c_str(), 1);
    }
    ~KeepAwakeTest() override { ::setenv("PATH", saved_path.c_str(), 1); }

    std::size_t count(const std::string& word) {
        const std::string text = read_text(log);
        std::size_t n = 0;
        for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
            ++n;
        }
        return n;
    }

    test::TempDir dir;
    std::filesystem::path log = dir / "log";
    std::string saved_path;
};

TEST_F(KeepAwakeTest, HoldsOneSleepLockWhileWantedAndLetsGoAfter) {
    {
        LogindKeepAwake keep_awake;
        keep_awake.set_system_required(true);
        keep_awake.set_system_required(true);  // already held
        ASSERT_TRUE(test::eventually([&] { return count("start") == 1; }));
        EXPECT_NE(read_text(log).find("--what=sleep"), std::string::npos);
        EXPECT_EQ(count("end"), 0U);
        keep_awake.set_system_required(false);
        EXPECT_TRUE(test::eventually([&] { return count("end") == 1; }));
        keep_awake.set_system_required(true);
        ASSERT_TRUE(test::eventually([&] { return count("start") == 2; }));
    }
    EXPECT_TRUE(test::eventually([&] { return count("end") == 2; }));  // gone with the client
}

// Even a client that is killed takes its lock with it: the held command reads a pipe that
// only the client's process keeps open.
TEST_F(KeepAwakeTest, AKilledClientReleasesTheLock) {
    const pid_t child = ::fork();
    if (child == 0) {
        LogindKeepAwake keep_awake;
        keep_awake.set_system_required(true);
        ::pause();
        ::_exit(0);
    }
    ASSERT_TRUE(test::eventually([&] { return count("start") == 1; }));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(test::eventually([&] { return count("end") == 1; }));
}

}  // namespace
}  // namespace velmora::platform
