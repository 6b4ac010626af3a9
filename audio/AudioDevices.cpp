#include "AudioDevices.h"

#include "basserrors.h"

#include <algorithm>
#include <strings.h>

std::shared_ptr<TPushStream> TDeviceInfoWithClients::AddClient(int rate) {
    std::lock_guard open(FOpenLock);
    bool opened = false;
    if (ClientCount() == 0) {
        FLostCode.store(0);
        Open(rate);
        FOpenedRate = rate;
        opened = true;
    }
    try {
        auto stream = std::make_shared<TPushStream>(GetSampleRate(), 2, ClientBufferSeconds);
        std::lock_guard clients(FClientsLock);
        FClients.push_back(stream);
        return stream;
    } catch (...) {
        // A device opened for a client that could not be given a stream has no client.
        if (opened) {
            Close();
        }
        throw;
    }
}

void TDeviceInfoWithClients::RemoveClient(const TPushStream* stream) {
    std::lock_guard open(FOpenLock);
    bool last = false;
    {
        std::lock_guard clients(FClientsLock);
        auto it = std::find_if(FClients.begin(), FClients.end(), [&](const auto& s) { return s.get() == stream; });
        if (it == FClients.end()) {
            return;
        }
        FClients.erase(it);
        last = FClients.empty();
    }
    if (last) {
        Close();
        FLostCode.store(0);
    }
}

bool TDeviceInfoWithClients::Recover() {
    std::lock_guard open(FOpenLock);
    if (!Lost()) {
        return true;
    }
    if (ClientCount() == 0) {
        return false;
    }
    Close();
    try {
        FLostCode.store(0);
        Open(FOpenedRate);
        return true;
    } catch (const TAudioError& e) {
        FLostCode.store(e.Code() != 0 ? e.Code() : BassError::Device);
    } catch (const std::exception&) {
        FLostCode.store(BassError::Device);
    }
    return false;
}

void TDeviceInfoWithClients::Watch() {
    std::lock_guard open(FOpenLock);
    if (!Lost() && Stalled()) {
        ReportLost(BassError::Device);
    }
}

std::size_t TDeviceInfoWithClients::ClientCount() const {
    std::lock_guard clients(FClientsLock);
    return FClients.size();
}

void TDeviceInfoWithClients::PushToClients(const void* buffer, std::size_t bytes) noexcept {
    try {
        std::lock_guard clients(FClientsLock);
        for (const auto& stream : FClients) {
            stream->Put(buffer, bytes);
        }
    } catch (...) {
        // Every backend's capture thread comes through here: a failure ends
        // this device's capture (its slots reopen it), never the process.
        ReportLost(BassError::Mem);
    }
}

void TDeviceCatalogue::Add(std::string id, std::unique_ptr<TDeviceInfoWithClients> entry) {
    FDevices.emplace_back(std::move(id), std::move(entry));
}

int TDeviceCatalogue::FindDevice(const std::string& id) const {
    for (std::size_t i = 0; i < FDevices.size(); ++i) {
        if (strcasecmp(FDevices[i].first.c_str(), id.c_str()) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::uint64_t TDeviceCatalogue::AbandonedCaptures() const {
    std::uint64_t total = 0;
    for (const auto& [id, entry] : FDevices) {
        total += entry->AbandonedCaptures();
    }
    return total;
}
