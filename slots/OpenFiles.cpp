#include "OpenFiles.h"

#include <filesystem>

namespace fs = std::filesystem;

std::string TOpenFiles::Key(const std::string& path) {
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(fs::absolute(path, ec), ec);
    return ec ? fs::path(path).lexically_normal().string() : resolved.string();
}

bool TOpenFiles::Reserve(const std::string& path) {
    const std::string key = Key(path);
    std::lock_guard guard(FLock);
    if (FPaths.count(key) > 0) {
        return false;
    }
    FPaths.insert(key);
    return true;
}

void TOpenFiles::Remove(const std::string& path) {
    const std::string key = Key(path);
    std::lock_guard guard(FLock);
    if (const auto it = FPaths.find(key); it != FPaths.end()) {
        FPaths.erase(it);
    }
}

bool TOpenFiles::Contains(const std::string& path) const {
    const std::string key = Key(path);
    std::lock_guard guard(FLock);
    return FPaths.count(key) > 0;
}
