#include "Version.h"

#include <cstdio>

// Until the recorder core lands, the program only tells which build it is.
int main() {
    std::printf("Rudaz Odudad %s\n", VersionText(GetExeVersion()).c_str());
    return 0;
}
