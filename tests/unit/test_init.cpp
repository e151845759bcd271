// The version query and initialisation.
#include "fake_platform.h"
#include "tevuio/state.h"
#include "tevuio/tevuio.h"
#include "unit_kit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace unit;

const char exit_message[] = "Could not init device after multiple attempts\\. Exiting\\.\r\n";

class Init : public fresh_test {};

TEST_F(Init, VersionBeforeAnything) {
    EXPECT_EQ(0x0100, tevu_io_get_api_version());
    EXPECT_EQ(0, fake::open_count());
    EXPECT_TRUE(fake::ini_lookups().empty());
}

TEST_F(Init, SliderInitAlwaysReturnsZeroAndChangesNothing) {
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, tevu_io_slider_init());
    EXPECT_EQ(nullptr, tevu.device.input.file.load());
    EXPECT_EQ(0, fake::open_count());
    EXPECT_EQ("", fake::output());
}

TEST_F(Init, FullControllerOpensBothInterfaces) {
    fake::add_entry(other);
    fake::add_entry(in1);
    fake::add_entry(in0);
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EQ((std::vector<std::string>{in0, in1}), fake::opened_paths());
    EXPECT_EQ(handle_of(0), tevu.device.input.file.load());
    EXPECT_EQ(handle_of(1), tevu.device.lighting.file.load());
    EXPECT_EQ(2u, fake::input_queue_depth(0));
    EXPECT_EQ(0u, fake::input_queue_depth(1));
    EXPECT_EQ(0, tevu.device.open_failure_count);
    EXPECT_EQ("", fake::output());
}

TEST_F(Init, LoadsTheConfigurationFromTheIniFileFirst) {
    fake::set_ini("io3", "test", 0x41);
    fake::add_entry(in0);
    fake::add_entry(in1);
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EQ(0x41, tevu.config.vk_test);
    EXPECT_EQ(0x32, tevu.config.vk_service);
    auto lookups = fake::ini_lookups();
    ASSERT_EQ(17u, lookups.size());
    for (const std::string &l : lookups)
        EXPECT_EQ(0u, l.rfind(".\\morvantel.ini|", 0)) << l;
}

TEST_F(Init, LampAddressIsCheckedAgainstTheHostImageBeforeTheSearch) {
    fake::set_image(0x400000, 0x1000);
    fake::set_ini("tevuio", "hid_offset", 0x800);
    fake::add_entry(in0);
    fake::add_entry(in1);
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EQ(0x400800u, tevu.config.lamp_state_address);

    // Outside the image: dropped, even when no controller is found.
    tevu.reset();
    fake::reset();
    fake::set_image(0x400000, 0x1000);
    fake::set_ini("tevuio", "hid_offset", 0x1000);
    EXPECT_EQ(-1, tevu_io_jvs_init());
    EXPECT_EQ(0u, tevu.config.lamp_state_address);
}

TEST_F(Init, NoControllerFailsQuietlyAfterTwoCountedSearches) {
    fake::add_entry(other);
    EXPECT_EQ(-1, tevu_io_jvs_init());
    EXPECT_EQ(2, tevu.device.open_failure_count);
    EXPECT_EQ(nullptr, tevu.device.input.file.load());
    EXPECT_EQ(0, fake::open_count());
    EXPECT_EQ("", fake::output());
}

TEST_F(Init, SingleInterfaceDeviceOpensWithLightingOff) {
    fake::add_entry(single);
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EQ(std::vector<std::string>{single}, fake::opened_paths());
    EXPECT_EQ(handle_of(0), tevu.device.input.file.load());
    EXPECT_EQ(nullptr, tevu.device.lighting.file.load());
    EXPECT_EQ(2, tevu.device.open_failure_count);
    EXPECT_EQ(2u, fake::input_queue_depth(0));
    EXPECT_EQ("", fake::output());
}

TEST_F(Init, SingleInterfaceDeviceSecondInitEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    fake::add_entry(single);
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EXIT(tevu_io_jvs_init(), ::testing::ExitedWithCode(1),
                std::string("^") + exit_message + "$");
}

TEST_F(Init, InterfaceZeroOnlyCountsOneLightingSearchPerInit) {
    fake::add_entry(in0);
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EQ(1, tevu.device.open_failure_count);
    EXPECT_EQ(nullptr, tevu.device.lighting.file.load());
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EQ(2, tevu.device.open_failure_count);
    // A further init replaces the handle and leaves the earlier one open.
    EXPECT_EQ(handle_of(1), tevu.device.input.file.load());
    EXPECT_EQ((std::vector<std::string>{in0, in0}), fake::opened_paths());
}

TEST_F(Init, InterfaceZeroOnlyThirdInitEndsAtItsLightingSearch) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    fake::add_entry(in0);
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EXIT(
        {
            tevu_io_jvs_init();
            // Not reached: the input interface opened, the lighting search ends it.
            fake::clear_output();
        },
        ::testing::ExitedWithCode(1), std::string("^") + exit_message + "$");
}

TEST_F(Init, NoControllerTwiceEndsTheProcessOnTheFirstSearchOfTheSecondInit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EQ(-1, tevu_io_jvs_init());
    EXPECT_EXIT(tevu_io_jvs_init(), ::testing::ExitedWithCode(1), exit_message);
}

TEST_F(Init, RefusedQueueDepthPrintsTheErrorAndFails) {
    fake::add_entry(in0);
    fake::add_entry(in1);
    fake::refuse_input_queue(87);
    EXPECT_EQ(-1, tevu_io_jvs_init());
    EXPECT_EQ("Error 87 setnuminputbuff\r\n", fake::output());
    // The handles opened so far stay open and stored.
    EXPECT_EQ(handle_of(0), tevu.device.input.file.load());
    EXPECT_EQ(handle_of(1), tevu.device.lighting.file.load());
}

// The next init closes the handles a refused one left, as it does any it
// replaces, even when it is refused too.
TEST_F(Init, HandlesLeftByARefusedQueueDepthAreClosedByTheNextInit) {
    fake::add_entry(in0);
    fake::add_entry(in1);
    fake::refuse_input_queue(87);
    EXPECT_EQ(-1, tevu_io_jvs_init());
    EXPECT_EQ(-1, tevu_io_jvs_init());
    EXPECT_EQ(1, fake::close_count(0));
    EXPECT_EQ(1, fake::close_count(1));
    EXPECT_EQ(2, fake::open_handles());
}

TEST_F(Init, InputThatFailsToOpenFallsBackToAnyInterface) {
    fake::add_entry(in1);
    fake::add_entry(failing_entry(in0, 0x20));
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EQ("Could not open detected device (err = 20).\r\n", fake::output());
    // The fallback takes the first interface of the vendor, here interface 1,
    // which the lighting search then opens a second time.
    EXPECT_EQ((std::vector<std::string>{in1, in1}), fake::opened_paths());
    EXPECT_EQ(handle_of(0), tevu.device.input.file.load());
    EXPECT_EQ(handle_of(1), tevu.device.lighting.file.load());
    EXPECT_EQ(0, tevu.device.open_failure_count);
}

TEST_F(Init, InputThatFailsToOpenTwiceLeavesTheInvalidHandle) {
    fake::add_entry(failing_entry(in0));
    fake::add_entry(in1);
    EXPECT_EQ(-1, tevu_io_jvs_init());
    EXPECT_EQ("Could not open detected device (err = 5).\r\n"
              "Could not open detected device (err = 5).\r\n",
              fake::output());
    EXPECT_EQ(PLAT_INVALID_FILE, tevu.device.input.file.load());
    EXPECT_EQ(0, tevu.device.open_failure_count);
    EXPECT_EQ(0, fake::open_count());
}

TEST_F(Init, SearchThatFindsNothingKeepsTheStoredInputHandle) {
    fake::add_entry(in0);
    fake::add_entry(in1);
    EXPECT_EQ(0, tevu_io_jvs_init());
    fake::set_list_unavailable(true);
    EXPECT_EQ(-1, tevu_io_jvs_init());
    EXPECT_EQ(handle_of(0), tevu.device.input.file.load());
    EXPECT_EQ(2, tevu.device.open_failure_count);
}

TEST_F(Init, FailedLightingSearchClearsTheLightingHandle) {
    fake::add_entry(in0);
    fake::add_entry(in1);
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EQ(handle_of(1), tevu.device.lighting.file.load());
    fake::reset();
    fake::add_entry(in0);
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EQ(nullptr, tevu.device.lighting.file.load());
    EXPECT_EQ(1, tevu.device.open_failure_count);
}

TEST_F(Init, LightingInterfaceThatFailsToOpenIsStoredAsNull) {
    fake::add_entry(in0);
    fake::add_entry(failing_entry(in1, 0xABC));
    EXPECT_EQ(0, tevu_io_jvs_init());
    EXPECT_EQ(nullptr, tevu.device.lighting.file.load());
    EXPECT_EQ("Could not open detected device (err = abc).\r\n", fake::output());
    EXPECT_EQ(0, tevu.device.open_failure_count);
}

} // namespace
