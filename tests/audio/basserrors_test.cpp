#include "basserrors.h"

#include <gtest/gtest.h>

TEST(BassErrorText, KnownCodesEndWithTheirCode) {
    const std::pair<int, const char*> table[] = {
        {1, "memory error (BASS error 1)"},
        {2, "can't open the file (BASS error 2)"},
        {3, "can't find a free sound driver (BASS error 3)"},
        {4, "the sample buffer was lost (BASS error 4)"},
        {5, "invalid handle (BASS error 5)"},
        {6, "unsupported sample format (BASS error 6)"},
        {7, "invalid position (BASS error 7)"},
        {8, "BASS_Init has not been successfully called (BASS error 8)"},
        {9, "BASS_Start has not been successfully called (BASS error 9)"},
        {14, "already initialized/paused/whatever (BASS error 14)"},
        {18, "can't get a free channel (BASS error 18)"},
        {19, "an illegal type was specified (BASS error 19)"},
        {20, "an illegal parameter was specified (BASS error 20)"},
        {21, "no 3D support (BASS error 21)"},
        {22, "no EAX support (BASS error 22)"},
        {23, "illegal device number (BASS error 23)"},
        {24, "not playing (BASS error 24)"},
        {25, "illegal sample rate (BASS error 25)"},
        {27, "the stream is not a file stream (BASS error 27)"},
        {29, "no hardware voices available (BASS error 29)"},
        {31, "the MOD music has no sequence data (BASS error 31)"},
        {32, "no internet connection could be opened (BASS error 32)"},
        {33, "couldn't create the file (BASS error 33)"},
        {34, "effects are not enabled (BASS error 34)"},
        {37, "requested data is not available (BASS error 37)"},
        {38, "the channel is a \"decoding channel\" (BASS error 38)"},
        {39, "a sufficient DirectX version is not installed (BASS error 39)"},
        {40, "connection timedout (BASS error 40)"},
        {41, "unsupported file format (BASS error 41)"},
        {42, "unavailable speaker (BASS error 42)"},
        {43, "invalid BASS version (used by add-ons) (BASS error 43)"},
        {44, "codec is not available/supported (BASS error 44)"},
        {45, "the channel/file has ended (BASS error 45)"},
        {2000, "ACM codec selection cancelled (BASS error 2000)"},
        {2100, "access denied (invalid password) (BASS error 2100)"},
        {4000, "Not a decoding channel (BASS error 4000)"},
        {4001, "BPM/Beat detection is in use (BASS error 4001)"},
    };
    for (const auto& [code, text] : table) {
        EXPECT_EQ(BassErrorText(code), text) << "code " << code;
    }
}

TEST(BassErrorText, CodesOutsideTheTableFallBack) {
    for (int code : {0, -1, 10, 11, 12, 13, 15, 16, 17, 26, 28, 30, 35, 36, 46, 47, 1999, 2001, 2099, 3999, 4002,
                     -2147483647 - 1}) {
        EXPECT_EQ(BassErrorText(code), "BASS error " + std::to_string(code));
    }
}

TEST(AudioError, CarriesCodeAndStep) {
    const TAudioError plain(44);
    EXPECT_EQ(plain.Code(), 44);
    EXPECT_STREQ(plain.what(), "codec is not available/supported (BASS error 44)");
    const TAudioError step("Init", 23);
    EXPECT_EQ(step.Code(), 23);
    EXPECT_STREQ(step.what(), "Init: illegal device number (BASS error 23)");
}
