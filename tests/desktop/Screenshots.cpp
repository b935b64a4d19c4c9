// desktop-screenshots FOLDER: a PNG of every page, message box and the flasher's console as the
// desktop window draws them (QWidget::grab), written as FOLDER/desktop-<name>.png. An operator
// walks the roads against simulated receivers and the stand-in prog.exe beside this program.
// Ends with 1, naming them, when a window lays out a text it cannot show whole, or a road fails.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "source/Reflasher.h"
#include "res/Resource.h"
#include "source/ReflasherDlg.h"
#include "tests/desktop/Operator.h"
#include "tools/bootloader/SimBootloader.h"
#include "tools/receiver-sim/ReceiverSim.h"
#include "ui/desktop/DesktopBackend.h"

namespace {

using desktop_test::Operator;

class Shots {
  public:
    explicit Shots(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // Grabs `window` once under `name`, and notes what does not fit in it.
    void take(const std::string& name, QWidget* window) {
        if (!window || taken_.count(name)) return;
        taken_.insert(name);
        for (const std::string& problem : desktop_test::layoutProblems(window))
            problems_.push_back(problem);
        const std::filesystem::path file = folder_ / ("desktop-" + name + ".png");
        if (!window->grab().save(QString::fromStdString(file.string()), "PNG")) {
            problems_.push_back("cannot write " + file.string());
        } else {
            std::printf("%s\n", file.c_str());
        }
    }
    bool has(const std::string& name) const { return taken_.count(name) != 0; }
    const std::vector<std::string>& problems() const { return problems_; }

  private:
    std::filesystem::path folder_;
    std::set<std::string> taken_;
    std::vector<std::string> problems_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: desktop-screenshots FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder = std::filesystem::absolute(argv[1]);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    char pattern[] = "/tmp/reflasher-shots-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string temp = pattern;
    // COM 1: a receiver ready for its update; COM 2: one on a weak battery.
    sim::ReceiverSim update({}, sim::MakeReceiverWithBootloader());
    sim::DeviceState weak;
    weak.batteryLevel = 3000;
    sim::ReceiverSim low(weak);
    setenv("REFLASHER_COM1", update.SlavePath().c_str(), 1);
    setenv("REFLASHER_COM2", low.SlavePath().c_str(), 1);

    // The message boxes' caption, as the installed program names them (not seen: the pictures
    // show the windows' insides).
    const std::string program = "reflasher";
    Shots shots(folder);
    Operator op;
    op.watch([&] {
        if (QWidget* page = Operator::shown("Connecting"); page && !shots.has("connecting")) {
            if (page->findChild<QLineEdit*>(QString::number(res::idc::kMessage))->text() ==
                "Connecting at 19200...")
                shots.take("connecting", page);
        }
        QPlainTextEdit* console = Operator::console();
        if (console && console->toPlainText().contains("Writing [####"))
            shots.take("console", console);
    });
    auto take = [&](const char* name) {
        return [&shots, name](QWidget* w) { shots.take(name, w); };
    };
    ReflasherDlg::SetAnimationCounter(8);  // the first tick shows the frame the animation rests on
    op.when("the resting frame", [] { return ReflasherDlg::AnimationCounter() > 8; })
        .check("Welcome", take("welcome"))
        .windowMenu("Welcome", "About Firmware...")
        .check("About Reflasher", take("about"))
        .key("About Reflasher", Qt::Key_Return)
        .key("Welcome", Qt::Key_Return)
        .check("Choose Connection", take("choose-connection"))
        .key("Choose Connection", Qt::Key_Return)
        .check("Receiver Information", take("receiver-information"))
        .key("Receiver Information", Qt::Key_Return)
        .check("Update Successful", take("update-successful"))
        .key("Update Successful", Qt::Key_Return)  // Yes: the next receiver
        .pick("Choose Connection", res::idc::kPortList, 1)
        .key("Choose Connection", Qt::Key_Return)
        .key("Receiver Information", Qt::Key_Return)
        .check(program, take("message-box"))
        .key(program, Qt::Key_Return)
        .key("Receiver Information", Qt::Key_B, Qt::AltModifier)
        .key("Choose Connection", Qt::Key_R, Qt::AltModifier)
        .check("Restore", take("restore"))
        .key("Restore", Qt::Key_Escape);

    SessionOutcome outcome = SessionOutcome::NothingFlashed;
    {
        ui::desktop::DesktopBackend backend;
        WizardSurroundings surroundings;
        surroundings.flasher.tempFolder = temp + "/";
        std::string error;
        if (!backend.prepareConsole(error)) {
            std::fprintf(stderr, "desktop-screenshots: %s\n", error.c_str());
            return 1;
        }
        ReflasherApp app(backend, program, surroundings);
        op.start(backend);
        app.initInstance();
        op.stop();
        outcome = app.outcome();
    }
    std::filesystem::remove_all(temp, ec);

    int status = 0;
    for (const std::string& e : op.errors()) {
        std::fprintf(stderr, "desktop-screenshots: %s\n", e.c_str());
        status = 1;
    }
    for (const std::string& p : shots.problems()) {
        std::fprintf(stderr, "desktop-screenshots: does not fit: %s\n", p.c_str());
        status = 1;
    }
    for (const char* name :
         {"welcome", "about", "choose-connection", "connecting", "receiver-information", "console",
          "update-successful", "message-box", "restore"}) {
        if (!shots.has(name)) {
            std::fprintf(stderr, "desktop-screenshots: no picture of %s\n", name);
            status = 1;
        }
    }
    if (outcome != SessionOutcome::LastRunSucceeded) {
        std::fprintf(stderr, "desktop-screenshots: the update did not work\n");
        status = 1;
    }
    return status;
}
