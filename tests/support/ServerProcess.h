#pragma once

#include <cstdlib>
#include <optional>
#include <string>

// Small pieces shared by the fixtures that run a private server as a child.
namespace TestSupport {

inline std::optional<std::string> GetEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

} // namespace TestSupport
