#pragma once

#include "ChildProgram.h"

#include <string>
#include <utility>

namespace TestSupport {

// The program, with its own data and runtime folders (so that parallel tests
// are not each other's second instance), recording the test tone headless.
class TLoggerProgram : public TChildProgram {
public:
    explicit TLoggerProgram(const std::string& dataDir, TEnvironment more = {})
        : TChildProgram({RUDAZ_PROGRAM}, Environment(dataDir, std::move(more)), dataDir + "/stderr.log") {}

private:
    static TEnvironment Environment(const std::string& dataDir, TEnvironment more) {
        more.insert(more.begin(), {{"RUDAZODUDAD_DATA_DIR", dataDir},
                                   {"XDG_RUNTIME_DIR", dataDir},
                                   {"RUDAZODUDAD_TEST_TONE", "440"},
                                   {"QT_QPA_PLATFORM", "offscreen"}});
        return more;
    }
};

} // namespace TestSupport
