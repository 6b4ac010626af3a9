#include "BindMount.h"

#include "TestSupport.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

namespace TestSupport {

TBindMount::TBindMount(const std::string& real, const std::string& mountPoint, const std::string& logFile)
    : FMountPoint(mountPoint) {
    std::filesystem::create_directories(real);
    std::filesystem::create_directories(mountPoint);
    FDaemon = std::make_unique<TChildProgram>(std::vector<std::string>{"bindfs", "-f", real, mountPoint},
                                              TChildProgram::TEnvironment{}, logFile);
    for (int i = 0; i < 100 && !FMounted; ++i) {
        FMounted = RunCommand("mountpoint -q '" + mountPoint + "'").ExitCode == 0;
        if (!FMounted) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

TBindMount::~TBindMount() {
    Answer();
    RunCommand("fusermount -u -z '" + FMountPoint + "' 2>/dev/null");
    FDaemon.reset();
}

void TBindMount::Hang() { kill(FDaemon->Pid(), SIGSTOP); }

void TBindMount::Answer() { kill(FDaemon->Pid(), SIGCONT); }

} // namespace TestSupport
