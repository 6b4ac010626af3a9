// The desktop program: one instance per session, the main window with its
// slots and web server, and on SIGTERM, SIGINT or SIGHUP the same orderly
// shutdown as an accepted close (every file finished, the settings written)
// without the close question. With QT_QPA_PLATFORM=offscreen, or without any
// display, it runs headless and logs to standard error.
#include "AudioDevices.h"
#include "Controller.h"
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

namespace {

void ChoosePlatform() {
    const bool display = !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (!display && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        // A service without a desktop still records.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

} // namespace

int main(int argc, char** argv) {
    // A reader that went away (an encoder, standard error closed under a
    // service manager) must surface as EPIPE, never end the program.
    std::signal(SIGPIPE, SIG_IGN);
    // Before any thread exists, so that every thread inherits the mask and the
    // signals reach only the watcher.
    TSignalWatcher::BlockStopSignals();
    ChoosePlatform();
    QApplication app(argc, argv);
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
    BuildDeviceCatalogue(devices);
    // A line-up tone as input "TEST:0", for checking a recording chain without a sound card.
    if (const char* tone = std::getenv("RUDAZODUDAD_TEST_TONE"); tone != nullptr && std::atof(tone) > 0) {
        devices.Add("TEST:0", std::make_unique<TTestToneDevice>(0, std::string("Test: ") + tone + " Hz tone",
                                                                std::atof(tone), 0.5f));
    }
    {
        const QString platform = QGuiApplication::platformName();
        TLoggerMainForm form(devices, SettingsFileName(), TSlotServices::System(DefaultFolderBase()),
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
