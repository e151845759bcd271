// Shared by the unit tests: the interfaces they list, the handles the fake
// platform gives, a failing interface, and a fresh start for each test.
#ifndef TEVUIO_UNIT_KIT_H
#define TEVUIO_UNIT_KIT_H

#include "fake_platform.h"
#include "platform/platform.h"
#include "tevuio/state.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace unit {

// Listed paths as Windows writes them: the controller's input (interface 0)
// and lighting (1) interfaces, a controller without interface numbers, and
// another vendor's device.
const std::string in0 = "\\\\?\\hid#vid_0f0d&pid_0092&mi_00#7&1a2b&0&0000#{4d1e55b2}";
const std::string in1 = "\\\\?\\hid#vid_0f0d&pid_0092&mi_01#7&1a2b&0&0001#{4d1e55b2}";
const std::string single = "\\\\?\\hid#vid_0f0d&pid_00c1#6&77&0&0000#{4d1e55b2}";
const std::string other = "\\\\?\\hid#vid_045e&pid_0745&mi_00#7&99&0&0000#{4d1e55b2}";

// The handle the fake gives the n-th opened device.
inline plat_file handle_of(int n) {
    return reinterpret_cast<plat_file>(static_cast<intptr_t>(n + 1));
}

// A listed interface whose open fails with this error code.
inline fake::entry failing_entry(const std::string &path, unsigned long error = 5) {
    fake::entry e;
    e.path = path;
    e.open_fails = true;
    e.open_error = error;
    return e;
}

// Each test starts from a fresh library state and a fresh fake platform.
class fresh_test : public ::testing::Test {
  protected:
    void SetUp() override {
        tevu.reset();
        fake::reset();
    }
};

} // namespace unit

#endif
