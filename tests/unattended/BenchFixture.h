// What the service-bench suites share: a private temporary folder (the runs' TMPDIR, removed
// afterwards) and simulated receivers with their bootloader, kept until the test ends.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "tools/bootloader/SimBootloader.h"
#include "tools/receiver-sim/ReceiverSim.h"

namespace bench_test {

class BenchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/reflasher-bench-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        tempDir = pattern;
    }
    void TearDown() override {
        receivers.clear();
        std::error_code ec;
        std::filesystem::remove_all(tempDir, ec);
    }

    sim::ReceiverSim& receiver(const sim::DeviceState& device) {
        receivers.push_back(
            std::make_unique<sim::ReceiverSim>(device, sim::MakeReceiverWithBootloader()));
        return *receivers.back();
    }

    std::string tempDir;
    std::vector<std::unique_ptr<sim::ReceiverSim>> receivers;
};

}  // namespace bench_test
