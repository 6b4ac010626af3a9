// What the encoder probes keep: stand-in encoders on PATH that hang, crash or
// refuse, in front of the real lame.
#include "EncoderCapabilities.h"
#include "SettingsReview.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>

using namespace TestSupport;

namespace {

using TAnswer = TEncoderCapabilities::TAnswer;

// Puts `folder` in front of PATH while it lives.
class TPathFront {
public:
    explicit TPathFront(const std::filesystem::path& folder) {
        if (const char* path = std::getenv("PATH")) {
            FSaved = path;
        }
        setenv("PATH", (folder.string() + ":" + FSaved.value_or("/usr/bin:/bin")).c_str(), 1);
    }
    ~TPathFront() {
        if (FSaved) {
            setenv("PATH", FSaved->c_str(), 1);
        } else {
            unsetenv("PATH");
        }
    }
    TPathFront(const TPathFront&) = delete;
    TPathFront& operator=(const TPathFront&) = delete;

private:
    std::optional<std::string> FSaved;
};

// An encoder script that counts its starts in `<name>.calls` and then runs `body`.
void WriteEncoder(const TTempDir& dir, const std::string& name, const std::string& body) {
    const std::string path = dir.File(name);
    std::ofstream(path) << "#!/bin/sh\n"
                        << "n=$(cat '" << path << ".calls' 2>/dev/null || echo 0); n=$((n + 1)); echo $n > '" << path
                        << ".calls'\n"
                        << body;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

int Calls(const TTempDir& dir, const std::string& name) {
    int n = 0;
    std::ifstream(dir.File(name + ".calls")) >> n;
    return n;
}

} // namespace

TEST(EncoderCapabilities, OnlyClearAnswersAreKeptAProbeThatHungOrCrashedIsAskedAgainAndRefusesNothing) {
    const std::string lame = RunCommand("command -v lame").Output;
    ASSERT_FALSE(lame.empty()) << "lame is installed";
    TTempDir dir;
    // lame hangs without reading (killed at the probe's limit), then crashes, then is itself.
    WriteEncoder(dir, "lame",
                 "case $n in 1) exec sleep 60;; 2) kill -SEGV $$;; esac\nexec " + lame.substr(0, lame.size() - 1) +
                     " \"$@\"\n");
    WriteEncoder(dir, "oggenc", "echo 'oggenc: bad rate' >&2\nexit 1\n");
    const TPathFront front(dir.Path());
    TEncoderCapabilities encoders;

    EXPECT_EQ(encoders.Ask(TSlotFormat::mp3, 22050, 1, 0), TAnswer::Unknown) << "hung, killed";
    EXPECT_EQ(encoders.Ask(TSlotFormat::mp3, 22050, 1, 0), TAnswer::Unknown) << "crashed";
    EXPECT_EQ(encoders.Ask(TSlotFormat::mp3, 22050, 1, 0), TAnswer::Accepted) << "asked again, answered";
    EXPECT_EQ(encoders.Ask(TSlotFormat::mp3, 22050, 1, 0), TAnswer::Accepted);
    EXPECT_EQ(Calls(dir, "lame"), 3) << "the clear answer is kept, the two that told nothing were not";

    EXPECT_EQ(encoders.Ask(TSlotFormat::ogg, 22050, 1, 0), TAnswer::Refused);
    EXPECT_FALSE(encoders.Accepts(TSlotFormat::ogg, 22050, 1, 0));
    EXPECT_EQ(Calls(dir, "oggenc"), 1) << "a refusal is kept";

    // A slot is refused only for a clear refusal; a probe that tells nothing lets it record.
    int asked = 0;
    TEncoderCapabilities fake([&asked](TSlotFormat, int samplerate, int, int bitrate) {
        ++asked;
        if (samplerate == 32000) {
            return TAnswer::Unknown;
        }
        return samplerate == 11025 || bitrate == 320 ? TAnswer::Refused : TAnswer::Accepted;
    });
    TSlotSettings values;
    values.Samplerate = 32000;
    EXPECT_EQ(CheckRecording(values, 32000, &fake), "");
    const int once = asked;
    EXPECT_EQ(CheckRecording(values, 32000, &fake), "");
    EXPECT_EQ(asked, 2 * once) << "nothing kept: asked again";
    values.Samplerate = 11025;
    EXPECT_EQ(CheckRecording(values, 11025, &fake).substr(0, 42), "Samplerate 11025 is not supported: 8000, 1");
    values.Samplerate = 44100;
    values.Bitrate = 320;
    EXPECT_EQ(CheckRecording(values, 44100, &fake).substr(0, 49), "Bitrate 320 is not supported for mp3 at 44100 Hz:");
}
