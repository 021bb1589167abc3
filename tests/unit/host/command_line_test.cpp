// The client's options and the texts it passes on.
#include "velmora/host/command_line.h"

#include <gtest/gtest.h>

namespace velmora::host {
namespace {

CommandLine parse(std::vector<const char*> argv) {
    argv.insert(argv.begin(), "velmora");
    return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, SeparatesOptionsFromArguments) {
    const auto line = parse({"a.torrent", "--home", "/h", "--ui", "console", "/m", "--no-window",
                             "--ui-port", "8080", "magnet:?xt=urn:btih:00"});
    EXPECT_EQ(line.home, "/h");
    EXPECT_EQ(line.ui, UiKind::Console);
    EXPECT_FALSE(line.open_window);
    EXPECT_EQ(line.ui_port, 8080);
    EXPECT_EQ(line.args, (std::vector<std::string>{"a.torrent", "/m", "magnet:?xt=urn:btih:00"}));
    EXPECT_FALSE(line.error);
}

TEST(CommandLine, RefusesMalformedOptions) {
    for (const auto& argv : std::vector<std::vector<const char*>>{
             {"--ui", "gtk"}, {"--ui-port", "70000"}, {"--ui-port", "12x"}, {"--home"}}) {
        SCOPED_TRACE(argv[0]);
        EXPECT_TRUE(parse(argv).error);
    }
}

}  // namespace
}  // namespace velmora::host
