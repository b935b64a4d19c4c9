// The desktop front end on Qt 6: whether Qt can start here, and the wizard in its windows.
#include "source/desktop/Desktop.h"
#include "res/Resource.h"

#include <QApplication>
#include <QGuiApplication>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "ui/desktop/DesktopBackend.h"
#include "ui/desktop/QtPictures.h"

namespace desktop {

namespace {

// How long Qt may take to start in the trial child (a display that does not answer).
constexpr auto kTrialLimit = std::chrono::seconds(15);

// The first line of what Qt said, without the logging category in front.
std::string firstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    const std::size_t colon = line.find(": ");
    if (line.rfind("qt.", 0) == 0 && colon != std::string::npos) line.erase(0, colon + 2);
    return line.substr(0, line.find_last_not_of(" \t") + 1);
}

// Without XDG_RUNTIME_DIR (root's shell after su, cron, a service) Qt warns on standard error and
// then uses <temporary folder>/runtime-<user>. The same folder is made and named beforehand, so the
// operator sees no warning; one that exists but is not this user's private folder is left to Qt
// (which then says why it will not use it).
void NameRuntimeFolder() {
    if (const char* named = std::getenv("XDG_RUNTIME_DIR"); named != nullptr && *named != '\0')
        return;
    const passwd* user = getpwuid(getuid());
    if (user == nullptr) return;
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    if (folder.back() != '/') folder += '/';
    folder += std::string("runtime-") + user->pw_name;
    mkdir(folder.c_str(), 0700);
    struct stat made {};
    if (lstat(folder.c_str(), &made) != 0 || !S_ISDIR(made.st_mode) || made.st_uid != getuid() ||
        (made.st_mode & 0777) != 0700)
        return;
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
}

}  // namespace

bool CanStart(bool forced, std::string& why) {
    if (!forced && !DisplayNamed()) {
        why = "no display is named (neither WAYLAND_DISPLAY nor DISPLAY is set)";
        return false;
    }
    NameRuntimeFolder();
    int said[2];
    if (pipe2(said, O_CLOEXEC) != 0) {
        why = "cannot try Qt: no pipe";
        return false;
    }
    const pid_t child = fork();
    if (child < 0) {
        close(said[0]);
        close(said[1]);
        why = "cannot try Qt: no child process";
        return false;
    }
    if (child == 0) {
        // The trial: the window system's connection, nothing more. No exit handlers run here.
        dup2(said[1], STDERR_FILENO);
        int argc = 1;
        char name[] = "reflasher";
        char* argv[] = {name, nullptr};
        QGuiApplication trial(argc, argv);
        _exit(0);
    }
    close(said[1]);
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + kTrialLimit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{said[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) == 0) {
            kill(child, SIGKILL);
            output = "Qt did not start within 15 seconds";
            break;
        }
        char buffer[1024];
        const ssize_t n = read(said[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the child has ended (or closed its error stream)
        if (output.size() < 16384) output.append(buffer, std::size_t(n));
    }
    close(said[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    why = "Qt cannot start on this display";
    if (!output.empty()) why += ": " + firstLine(output);
    return false;
}

bool RunWizard(const std::string& programName, WizardSurroundings surroundings,
               SessionOutcome& outcome, std::string& error) {
    // Qt gets only the program's name: the command line was the wizard's, and has been read.
    NameRuntimeFolder();
    int argc = 1;
    std::string name = programName;
    char* argv[] = {name.data(), nullptr};
    QApplication application(argc, argv);
    QGuiApplication::setDesktopFileName(
        QStringLiteral("reflasher"));  // Wayland: the icon of reflasher.desktop
    QGuiApplication::setWindowIcon(ui::desktop::iconOf(res::idi::kApplication));
    ui::desktop::DesktopBackend backend;
    if (!backend.prepareConsole(error)) return false;  // the flasher's console window
    ReflasherApp wizard(backend, programName, std::move(surroundings));
    wizard.initInstance();
    outcome = wizard.outcome();
    return true;
}

}  // namespace desktop
