#pragma once

#include "ChildProgram.h"
#include "TestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace TestSupport {

// A private Icecast server on 127.0.0.1 with two mounts fed by ffmpeg in real
// time: "/live.mp3" (a 440 Hz sine, stereo 44100 Hz, 128 kbit/s MP3) and
// "/live.ogg" (a 660 Hz sine, Ogg Vorbis). Everything it started ends with it.
class TIcecastServer {
public:
    static constexpr double Mp3Frequency = 440.0;
    static constexpr double OggFrequency = 660.0;

    TIcecastServer();
    ~TIcecastServer();

    TIcecastServer(const TIcecastServer&) = delete;
    TIcecastServer& operator=(const TIcecastServer&) = delete;

    std::string Url(const std::string& mount) const;
    // The title of an MP3 mount, through Icecast's admin interface.
    void SetTitle(const std::string& mount, const std::string& title) const;

private:
    void Start();
    void Feed(const std::string& mount, double frequency, bool ogg);
    bool MountLive(const std::string& mount) const;
    void Release();

    TTempDir FDir;
    int FPort = 0;
    std::unique_ptr<TChildProgram> FServer;
    std::vector<std::unique_ptr<TChildProgram>> FFeeders;
};

} // namespace TestSupport
