// Button polling and the coin counter.
#include "fake_platform.h"
#include "tevuio/state.h"
#include "tevuio/tevuio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// A fresh library and fake platform, the configuration at its defaults.
void fresh_with_defaults() {
    tevu.reset();
    fake::reset();
    io_config defaults;
    io_config_load(&defaults, TEVUIO_CONFIG_FILE);
    tevu.config.publish(defaults);
}

class Poll : public ::testing::Test {
  protected:
    void SetUp() override { fresh_with_defaults(); }

    void poll() {
        opbtn = 0xAA;
        gamebtn = 0xAA;
        tevu_io_jvs_poll(&opbtn, &gamebtn);
    }
    void word(uint16_t w) { tevu.input.buttons.store(w); }
    uint16_t coins() {
        uint16_t c = 0xDEAD;
        tevu_io_jvs_read_coin_counter(&c);
        return c;
    }

    uint8_t opbtn = 0;
    uint8_t gamebtn = 0;
};

const uint8_t key_test = 0x31, key_service = 0x32, key_coin = 0x33;
const uint8_t key_buttons[5] = {0x27, 0x28, 0x25, 0x26, 0x20};

// The bound keys, one by one and all at once, with no report; other keys
// (a slider key, the coin key) press nothing.
TEST_F(Poll, KeysMapToTheirButtons) {
    const struct {
        std::vector<uint8_t> keys;
        uint8_t opbtn;
        uint8_t gamebtn;
    } cases[] = {
        {{}, 0x00, 0x00},
        {{key_test}, 0x01, 0x00},
        {{key_service}, 0x02, 0x00},
        {{key_buttons[0]}, 0x00, 0x01},
        {{key_buttons[1]}, 0x00, 0x02},
        {{key_buttons[2]}, 0x00, 0x04},
        {{key_buttons[3]}, 0x00, 0x08},
        {{key_buttons[4]}, 0x00, 0x10},
        {{key_test, key_service, key_buttons[0], key_buttons[1], key_buttons[2], key_buttons[3],
          key_buttons[4]},
         0x03,
         0x1F},
        {{'Q', key_coin}, 0x00, 0x00},
    };
    for (const auto &c : cases) {
        for (uint8_t k : c.keys)
            fake::set_key(k, true);
        poll();
        EXPECT_EQ(c.opbtn, opbtn) << c.keys.size();
        EXPECT_EQ(c.gamebtn, gamebtn) << c.keys.size();
        for (uint8_t k : c.keys)
            fake::set_key(k, false);
    }
}

// The controller's button word, bit by bit and whole, with no key down.
TEST_F(Poll, WordBitsMapToTheirButtons) {
    const struct {
        uint16_t word;
        uint8_t opbtn;
        uint8_t gamebtn;
    } cases[] = {
        {0x1000, 0x01, 0x00}, {0x0100, 0x02, 0x00},
        {0x0004, 0x00, 0x01}, {0x0002, 0x00, 0x02},
        {0x0001, 0x00, 0x04}, {0x0008, 0x00, 0x08},
        {0x0200, 0x00, 0x10}, {0x020F, 0x00, 0x1F},
        {0xFFFF, 0x03, 0x1F}, {static_cast<uint16_t>(~0x130Fu), 0x00, 0x00}, // the unused bits
    };
    for (const auto &c : cases) {
        word(c.word);
        poll();
        EXPECT_EQ(c.opbtn, opbtn) << std::hex << c.word;
        EXPECT_EQ(c.gamebtn, gamebtn) << std::hex << c.word;
    }
}

TEST_F(Poll, KeyboardAndControllerCombine) {
    word(0x0004); // button 1 on the controller
    fake::set_key(key_buttons[4], true);
    fake::set_key(key_test, true);
    poll();
    EXPECT_EQ(0x01, opbtn);
    EXPECT_EQ(0x11, gamebtn);
    word(0x1004); // both press test and button 1
    fake::set_key(key_buttons[0], true);
    poll();
    EXPECT_EQ(0x01, opbtn);
    EXPECT_EQ(0x11, gamebtn);
}

TEST_F(Poll, FollowsTheConfiguredBindings) {
    tevu.config.vk_test = 'T';
    tevu.config.vk_button[2] = 'B';
    fake::set_key(key_test, true);
    fake::set_key('T', true);
    fake::set_key('B', true);
    poll();
    EXPECT_EQ(0x01, opbtn);
    EXPECT_EQ(0x04, gamebtn);
    fake::set_key('T', false); // the default test key alone is no longer bound
    fake::set_key('B', false);
    poll();
    EXPECT_EQ(0x00, opbtn);
    EXPECT_EQ(0x00, gamebtn);
}

TEST_F(Poll, CoinCountStartsAtZeroAndTheControllerNeverAddsCoins) {
    EXPECT_EQ(0, coins());
    word(0xFFFF);
    EXPECT_EQ(0, coins());
}

TEST_F(Poll, CoinHeldOverTenCallsCountsOnce) {
    fake::set_key(key_coin, true);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(1, coins()) << "call " << i;
    fake::set_key(key_coin, false);
    EXPECT_EQ(1, coins());
    fake::set_key(key_coin, true);
    EXPECT_EQ(2, coins());
    EXPECT_EQ(2, coins());
}

TEST_F(Poll, ReleaseAndPressBetweenTwoCallsCountNothing) {
    fake::set_key(key_coin, true);
    EXPECT_EQ(1, coins());
    fake::set_key(key_coin, false);
    fake::set_key(key_coin, true);
    EXPECT_EQ(1, coins());
}

TEST_F(Poll, NullCountDoesNotSampleTheKey) {
    fake::set_key(key_coin, true);
    EXPECT_EQ(1, coins());
    fake::set_key(key_coin, false);
    tevu_io_jvs_read_coin_counter(nullptr); // does not see the release
    fake::set_key(key_coin, true);
    EXPECT_EQ(1, coins());
    tevu_io_jvs_read_coin_counter(nullptr); // nor a press
    fake::set_key(key_coin, false);
    EXPECT_EQ(1, coins());
    fake::set_key(key_coin, true);
    tevu_io_jvs_read_coin_counter(nullptr);
    EXPECT_EQ(2, coins());
}

TEST_F(Poll, CoinCountWrapsAfter65536Presses) {
    const uint16_t start = coins();
    for (int i = 0; i < 65536; ++i) {
        fake::set_key(key_coin, true);
        coins();
        fake::set_key(key_coin, false);
        coins();
    }
    EXPECT_EQ(start, coins());
    fake::set_key(key_coin, true);
    EXPECT_EQ(static_cast<uint16_t>(start + 1), coins());
}

TEST_F(Poll, CoinFollowsTheConfiguredKey) {
    tevu.config.vk_coin = 'C';
    fake::set_key(key_coin, true);
    EXPECT_EQ(0, coins());
    fake::set_key('C', true);
    EXPECT_EQ(1, coins());
}

// Host threads that all count coins: every press counts once, none twice,
// whichever thread sees it first and however stale another's look is.
TEST(PollThreads, FourThreadsCountEveryPressOnce) {
    fresh_with_defaults();
    std::atomic<bool> done{false};
    std::vector<std::thread> pollers;
    for (int t = 0; t < 4; ++t)
        pollers.emplace_back([&] {
            while (!done.load()) {
                uint16_t c = 0;
                tevu_io_jvs_read_coin_counter(&c);
            }
        });
    const int presses = 3000;
    for (int i = 0; i < presses; ++i) {
        fake::set_key(key_coin, true);
        ASSERT_TRUE(fake::wait_until(
            [] { return (tevu.coins.word.load() & coin_counter::key_down_bit) != 0; }));
        fake::set_key(key_coin, false);
        ASSERT_TRUE(fake::wait_until(
            [] { return (tevu.coins.word.load() & coin_counter::key_down_bit) == 0; }));
    }
    done.store(true);
    for (std::thread &t : pollers)
        t.join();
    uint16_t counted = 0;
    tevu_io_jvs_read_coin_counter(&counted);
    EXPECT_EQ(presses, counted);
}

} // namespace
