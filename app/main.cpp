// The desktop program: one instance per session, the main window with its
// slots and web server, and on SIGTERM, SIGINT or SIGHUP the same orderly
// shutdown as an accepted close (every file finished, the settings written)
// without the close question. With QT_QPA_PLATFORM=offscreen, or without any
// display, it runs headless and logs to standard error. Its options: --help.
#include "AudioDevices.h"
#include "CommandLine.h"
#include "Controller.h"
#include "EncoderCapabilities.h"
#include "LoggerMain.h"
#include "Paths.h"
#include "SignalWatcher.h"
#include "SingleInstance.h"
#include "TestToneDevice.h"
#include "Version.h"

#include <QApplication>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

void ChoosePlatform() {
    const bool display = !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (!display && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        // A service without a desktop still records.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

// The inputs as slots find them; with RUDAZODUDAD_TEST_TONE a line-up tone as
// input "TEST:0", for checking a recording chain without a sound card.
void BuildInputs(TDeviceCatalogue& devices) {
    BuildDeviceCatalogue(devices, [](const std::string& line) { std::cerr << line << std::endl; });
    if (const char* tone = std::getenv("RUDAZODUDAD_TEST_TONE"); tone != nullptr && std::atof(tone) > 0) {
        devices.Add("TEST:0", std::make_unique<TTestToneDevice>(0, std::string("Test: ") + tone + " Hz tone",
                                                                std::atof(tone), 0.5f));
    }
}

} // namespace

int main(int argc, char** argv) {
    const TCommandLine options = TCommandLine::Parse(std::vector<std::string>(argv + 1, argv + argc));
    if (!options.Error.empty()) {
        std::cerr << "rudazodudad: " << options.Error << "\nUsage: rudazodudad [OPTION]...\n"
                  << "Try 'rudazodudad --help' for more information.\n";
        return 2;
    }
    if (options.Help) {
        std::cout << TCommandLine::Usage();
        return 0;
    }
    if (options.Version) {
        std::cout << "rudazodudad " << VersionText(GetExeVersion()) << "\n";
        return 0;
    }
    if (options.ListDevices) {
        // Neither the data folder nor the single-instance lock is touched.
        TDeviceCatalogue devices;
        BuildInputs(devices);
        for (std::size_t i = 0; i < devices.Count(); ++i) {
            std::cout << devices.Id(i) << '\t' << devices.Entry(i).Name << '\n';
        }
        return 0;
    }
    if (options.DataDir) {
        setenv("RUDAZODUDAD_DATA_DIR", options.DataDir->c_str(), 1);
    }
    if (options.Headless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // A reader that went away (an encoder, standard error closed under a
    // service manager) must surface as EPIPE, never end the program.
    std::signal(SIGPIPE, SIG_IGN);
    // Before any thread exists, so that every thread inherits the mask and the
    // signals reach only the watcher.
    TSignalWatcher::BlockStopSignals();
    ChoosePlatform();
    int qtArgc = 1; // the options are ours, none is Qt's
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName("rudazodudad");
    QApplication::setApplicationDisplayName(TLoggerMainForm::Title);
    QApplication::setDesktopFileName("rudazodudad");
    // The window hides into the tray; only an accepted close ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    TSingleInstance instance;
    if (!instance.Acquire()) {
        return 0; // the running instance has been restored
    }

    std::cerr << "Rudaz Odudad " << VersionText(GetExeVersion()) << "\n";
    TDeviceCatalogue devices; // outlives the window and every slot
    BuildInputs(devices);
    {
        const QString platform = QGuiApplication::platformName();
        TSlotServices services = TSlotServices::System(DefaultFolderBase());
        services.Encoders = std::make_shared<TEncoderCapabilities>();
        TLoggerMainForm form(devices, SettingsFileName(), std::move(services),
                             platform == "offscreen" || platform == "minimal");
        QObject::connect(&instance, &TSingleInstance::RestoreRequested, &form, &TLoggerMainForm::TrayIconClick);
        TSignalWatcher stopSignals;
        QObject::connect(&stopSignals, &TSignalWatcher::StopRequested, &form, [&form](int signal) {
            std::cerr << "Stopping on signal " << signal << std::endl;
            form.CloseWithoutQuestion();
        });
        std::cerr << form.Controller().Slots().size() << " slots ready" << std::endl;
        form.show();
        QApplication::exec();
        for (const auto& slot : form.Controller().Slots()) {
            if (const auto lost = slot->InputDroppedBytes(); lost > 0) {
                std::cerr << slot->Name << ": " << lost << " bytes of input audio were dropped" << std::endl;
            }
        }
    } // the slots finish their files and write their sections here
    return 0;
}
