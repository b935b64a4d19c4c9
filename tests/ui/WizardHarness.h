// The fixture of the wizard's end-to-end tests: a headless operator, simulated receivers on
// pseudo-terminals mapped to COM ports, and the flasher's surroundings in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "comm/Comm.h"
#include "res/Strings.h"
#include "source/Reflasher.h"
#include "source/ReflasherDlg.h"
#include "source/ReceiverInfoDlg.h"
#include "tools/receiver-sim/ReceiverSim.h"
#include "ui/Dialog.h"
#include "ui/headless/HeadlessBackend.h"

namespace reflasher_test {

class Wizard : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/reflasher-ui-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        tempDir = pattern;
        surroundings.flasher.tempFolder = tempDir + "/";
        consoleFd = open((tempDir + "/console.log").c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(consoleFd, 0);
        // The flasher's console: the headless front end captures it in a file.
        surroundings.flasher.streams.output = consoleFd;
        surroundings.flasher.streams.error = consoleFd;
        // Every COM port names a device that does not exist until a receiver is started on it.
        for (int n = 1; n <= 4; ++n) {
            setenv(("REFLASHER_COM" + std::to_string(n)).c_str(),
                   (tempDir + "/no-port-" + std::to_string(n)).c_str(), 1);
        }
    }

    void TearDown() override {
        receivers.clear();
        for (int n = 1; n <= 4; ++n) unsetenv(("REFLASHER_COM" + std::to_string(n)).c_str());
        if (consoleFd >= 0) close(consoleFd);
        std::error_code ec;
        std::filesystem::remove_all(tempDir, ec);
    }

    // A simulated receiver on COM `com` (replacing one started there before).
    sim::ReceiverSim& startReceiver(int com, const sim::DeviceState& device) {
        receivers.erase(com);
        auto receiver = std::make_unique<sim::ReceiverSim>(device);
        setenv(("REFLASHER_COM" + std::to_string(com)).c_str(), receiver->SlavePath().c_str(), 1);
        return *(receivers[com] = std::move(receiver));
    }

    // Next on the Welcome page, list entry `index` on the port selection page, Next.
    static void toConnecting(int index, ui::headless::HeadlessBackend& script) {
        script.press(res::idc::kWelcomeNext, "Welcome")
            .select(res::idc::kPortList, index, "Choose Connection")
            .press(res::idc::kPortNext, "Choose Connection");
    }
    void toConnecting(int index) { toConnecting(index, ui); }

    // A program folder without prog.exe.
    void useEmptyProgramFolder() {
        std::filesystem::create_directory(tempDir + "/empty");
        surroundings.flasher.programFolder = tempDir + "/empty";
    }

    // The folder of the test program, which holds prog.exe and the firmware image (bin/).
    static std::filesystem::path binFolder() {
        return std::filesystem::read_symlink("/proc/self/exe").parent_path();
    }

    // A program folder whose prog.exe writes its arguments, one a line, to args.log in the
    // temporary folder and then runs the real prog.exe; the firmware image only when asked.
    void useRecordingFlasher(bool withFirmware) {
        const std::filesystem::path folder = tempDir + "/wizard";
        std::filesystem::create_directory(folder);
        const std::filesystem::path script = folder / "prog.exe";
        FILE* f = std::fopen(script.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fprintf(f, "#!/bin/sh\nprintf '%%s\\n' \"$@\" > '%s/args.log'\nexec '%s' \"$@\"\n",
                     tempDir.c_str(), (binFolder() / "prog.exe").c_str());
        std::fclose(f);
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        if (withFirmware)
            std::filesystem::create_symlink(binFolder() / "508231.005", folder / "508231.005");
        surroundings.flasher.programFolder = folder.string();
    }

    // The arguments the recording prog.exe got, one a line.
    std::string flasherArguments() const { return readFile(tempDir + "/args.log"); }

    // The message boxes' caption, as the program derives it from its executable.
    static std::string programName() {
        return ui::programNameFromPath(std::filesystem::read_symlink("/proc/self/exe").string());
    }

    // True when the serial engine has been stopped again (the pages release it on every road).
    static bool engineStopped() {
        PortHandle handle = 0;
        CommPortConfig config{};
        config.port = 1;
        config.baud = 9600;
        return CommOpen(&handle, &config) == COMM_ERR_NOT_STARTED;
    }

    // Runs the wizard from start to end with `script`, which must be used up by then.
    void run(ui::headless::HeadlessBackend& script) {
        ReflasherApp app(script, programName(), surroundings);
        EXPECT_FALSE(app.initInstance());
        EXPECT_TRUE(script.scriptDone());
        EXPECT_TRUE(engineStopped());
    }
    void run() { run(ui); }

    std::string consoleText() const { return readFile(tempDir + "/console.log"); }

    static std::string readFile(const std::string& path) {
        std::string text;
        FILE* f = std::fopen(path.c_str(), "r");
        if (!f) return text;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
        return text;
    }

    ui::headless::HeadlessBackend ui;
    WizardSurroundings surroundings;
    std::string tempDir;
    int consoleFd = -1;
    std::map<int, std::unique_ptr<sim::ReceiverSim>> receivers;
};

}  // namespace reflasher_test
