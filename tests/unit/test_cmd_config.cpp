#include <gtest/gtest.h>

#include <string>

#include "cli/cmd_config.h"

namespace {

TEST(hotkey_report_build, states_and_warnings_from_a_status_reply) {
    const char* reply = "ok\tversion=0.2.12\tstills_dir=C:\\a:b\thk_screen=PrtSc:ok\thk_window=None:off"
                        "\thk_region=Ctrl+Shift+S:failed(1409)\thk_clip=Ctrl+::ok\thk_replay=Ctrl+Shift+R"
                        "\tpool_stills=2,0,0,0,0,0.0";
    char out[1024], warnings[1024];
    ASSERT_TRUE(cmd_config_hotkey_report_build(reply, out, sizeof out, warnings, sizeof warnings));
    EXPECT_STREQ(out, "{\"hk_screen\":\"ok\",\"hk_window\":\"off\",\"hk_region\":\"failed(1409)\","
                      "\"hk_clip\":\"ok\",\"hk_replay\":\"ok\"}");
    EXPECT_STREQ(warnings, "ivrac config: WARNING hk_region 'Ctrl+Shift+S' could not be registered (in use "
                           "by another app?)\n");
}

TEST(hotkey_report_build, no_answer_or_error_gives_nothing) {
    const char* replies[] = {"", "err\tcode=usage\tmsg=unknown command", "ok", nullptr};
    for (const char* r : replies) {
        char out[64] = "junk", warnings[64] = "junk";
        const bool expect = r && std::string(r) == "ok";  // an answer without hotkeys: empty object
        EXPECT_EQ(cmd_config_hotkey_report_build(r, out, sizeof out, warnings, sizeof warnings), expect);
        EXPECT_STREQ(out, expect ? "{}" : "");
        EXPECT_STREQ(warnings, "");
    }
}

TEST(hotkey_report_build, object_that_does_not_fit_is_not_cut) {
    char out[16];
    EXPECT_FALSE(
        cmd_config_hotkey_report_build("ok\thk_screen=PrtSc:ok\thk_window=None:off", out, sizeof out, nullptr, 0));
    EXPECT_STREQ(out, "");
}

}  // namespace
