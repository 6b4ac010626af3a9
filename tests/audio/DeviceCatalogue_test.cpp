#include "AudioDevices.h"
#include "JackServer.h"
#include "PulseServer.h"

#include <gtest/gtest.h>

using namespace TestSupport;

TEST(DeviceCatalogue, ListsAlsaThenJackPairsThenPulseSources) {
    TPulseServer pulse;
    TJackServer jack(4);
    TDeviceCatalogue catalogue;
    BuildDeviceCatalogue(catalogue);

    std::vector<std::string> ids;
    for (std::size_t i = 0; i < catalogue.Count(); ++i) {
        ids.push_back(catalogue.Id(i));
    }
    ASSERT_GE(ids.size(), 5u);
    EXPECT_EQ(ids[0], "WDM:0");
    std::size_t i = 1;
    while (i < ids.size() && ids[i].rfind("WDM:", 0) == 0) {
        ++i;
    }
    ASSERT_LE(i + 2, ids.size());
    EXPECT_EQ(ids[i], "ASIO:0:0");
    EXPECT_EQ(ids[i + 1], "ASIO:0:1");
    std::vector<std::string> pulseIds(ids.begin() + static_cast<std::ptrdiff_t>(i) + 2, ids.end());
    EXPECT_NE(std::find(pulseIds.begin(), pulseIds.end(), "WASAPI:sine"), pulseIds.end());
    EXPECT_NE(std::find(pulseIds.begin(), pulseIds.end(), "WASAPI:null.monitor"), pulseIds.end());
    for (const auto& id : pulseIds) {
        EXPECT_EQ(id.rfind("WASAPI:", 0), 0u) << id;
    }

    EXPECT_EQ(catalogue.FindDevice("wdm:0"), 0);
    EXPECT_EQ(catalogue.FindDevice("asio:0:1"), static_cast<int>(i + 1));
    const int sine = catalogue.FindDevice("wasapi:SINE");
    ASSERT_GE(sine, 0);
    EXPECT_EQ(catalogue.Id(static_cast<std::size_t>(sine)), "WASAPI:sine");
    EXPECT_EQ(catalogue.Entry(static_cast<std::size_t>(sine)).Name, "WASAPI: " + pulse.SourceDescription("sine"));
    EXPECT_EQ(catalogue.FindDevice("WASAPI:nothing"), -1);
}
