#include "WebFiles.h"

#include "TextTools.h"

#include <map>
#include <string>

namespace {

// Lower-cased path to the first entry with that path.
const std::map<std::string, const TWebFile*, std::less<>>& Index() {
    static const auto index = [] {
        std::map<std::string, const TWebFile*, std::less<>> map;
        for (std::size_t i = 0; i < WebFileCount; ++i) {
            map.emplace(LowerAscii(WebFileTable[i].Path), &WebFileTable[i]);
        }
        return map;
    }();
    return index;
}

} // namespace

const TWebFileList& TWebFileList::Instance() {
    static const TWebFileList list;
    Index();
    return list;
}

const TWebFile* TWebFileList::Find(std::string_view path) const {
    const auto& index = Index();
    const auto it = index.find(LowerAscii(path));
    return it == index.end() ? nullptr : it->second;
}

void LoadWebFileList() { TWebFileList::Instance(); }
