// The recorder without a window: reads RudazOdudad.ini from the data folder,
// records with its slots, and on SIGTERM, SIGINT or SIGHUP finishes every file
// and writes the settings back.
#include "Controller.h"
#include "AudioDevices.h"
#include "Paths.h"
#include "SettingsStore.h"
#include "TestToneDevice.h"
#include "Version.h"
#include "WebServer.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

namespace {

constexpr int DefaultSlots = 4;
constexpr int MaxSlots = 255;

int SlotCount(const TSettingsStore& settings) {
    return std::clamp(settings.ReadInteger("General", "Slots", DefaultSlots), 0, MaxSlots);
}

} // namespace

int main() {
    // Blocked before any thread exists, so that every thread inherits the mask
    // and the signals reach only the wait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&stopSignals, sig);
    }
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::cerr << "Rudaz Odudad " << VersionText(GetExeVersion()) << "\n";
    TSettingsStore settings(SettingsFileName());
    const int slots = SlotCount(settings);
    TWebServerSettings web = TWebServerSettings::Read(settings);
    TDeviceCatalogue devices;
    BuildDeviceCatalogue(devices);
    // A line-up tone as input "TEST:0", for checking a recording chain without a sound card.
    if (const char* tone = std::getenv("RUDAZODUDAD_TEST_TONE"); tone != nullptr && std::atof(tone) > 0) {
        devices.Add("TEST:0", std::make_unique<TTestToneDevice>(0, std::string("Test: ") + tone + " Hz tone",
                                                                std::atof(tone), 0.5f));
    }
    {
        TController controller(settings, devices, slots, TSlotServices::System(MusicFolder()),
                               [](TController::TLogKind, const std::string& line) {
                                   std::cerr << line << std::endl;
                               });
        // Destroyed before the controller: request threads read its slots.
        TWebServer webServer(controller);
        webServer.SetPasswordHash(web.Password);
        if (web.Enabled) {
            try {
                webServer.Start(web.Port, web.User, web.CommandExecution);
            } catch (const std::exception&) {
                // Already logged (and so on standard error); the recorder runs on without it.
            }
        }
        std::cerr << slots << " slots ready" << std::endl;
        const auto period = std::chrono::milliseconds(TController::TickMs);
        auto next = std::chrono::steady_clock::now();
        for (;;) {
            controller.ProcessCommands();
            controller.timTimerTimer();
            next += period;
            const auto now = std::chrono::steady_clock::now();
            if (next < now) {
                next = now; // a long tick (an hour's rotation) does not cause a burst of ticks
            }
            const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(next - now);
            timespec timeout{static_cast<time_t>(wait.count() / 1000000000), static_cast<long>(wait.count() % 1000000000)};
            const int sig = sigtimedwait(&stopSignals, nullptr, &timeout);
            if (sig > 0) {
                std::cerr << "Stopping on signal " << sig << std::endl;
                break;
            }
        }
        // No request thread may run while the slots are freed.
        TWebServerSettings::WriteEnabled(settings, webServer.Active());
        webServer.Deactivate();
        web.Password = webServer.PasswordHash();
        for (const auto& slot : controller.Slots()) {
            if (const auto lost = slot->InputDroppedBytes(); lost > 0) {
                std::cerr << slot->Name << ": " << lost << " bytes of input audio were dropped" << std::endl;
            }
        }
    } // the slots finish their files and write their sections here
    web.WriteFields(settings);
    settings.WriteInteger("General", "Slots", slots);
    settings.UpdateFile();
    return 0;
}
