// The test binary's entry point: GoogleTest's, with one check after every
// test. The reader driver's unit numbers (UnitInUse) belong to the driver
// image, which stays in the process from one test to the next. A test that
// ends with one still taken has leaked it (add-device or removal freed the
// wrong one), or stopped its machine with readers in it: it fails here, by
// name, and the table is cleared. Each load of the driver zeroes the table
// too (harness/driver_image.h), so one failure never buries the tests after
// it under refused readers.
#include <gtest/gtest.h>

#include <string>

#include "qvscr.h"

namespace {

class UnitsLeftTaken : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo&) override {
        std::string taken;
        for (ULONG unit = 0; unit < MAXIMUM_READER_UNITS; ++unit) {
            if (UnitInUse[unit] == 0) continue;
            taken += " " + std::to_string(unit);
            UnitInUse[unit] = 0;
        }
        if (!taken.empty()) ADD_FAILURE() << "the test left reader unit number(s)" << taken << " taken";
    }
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // GoogleTest owns and deletes the listener.
    testing::UnitTest::GetInstance()->listeners().Append(new UnitsLeftTaken);
    return RUN_ALL_TESTS();
}
