#include "WebFiles.h"

#include "TextTools.h"

const TWebFile* FindWebFile(std::string_view path) {
    for (std::size_t i = 0; i < WebFileCount; ++i) {
        if (EqualsIgnoringCase(WebFileTable[i].Path, path)) {
            return &WebFileTable[i];
        }
    }
    return nullptr;
}
