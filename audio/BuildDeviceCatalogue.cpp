#include "AlsaDevices.h"
#include "AudioDevices.h"
#include "JackDevices.h"
#include "PulseDevices.h"

void BuildDeviceCatalogue(TDeviceCatalogue& catalogue, const std::function<void(const std::string&)>& note) {
    AddAlsaDevices(catalogue);
    AddJackDevices(catalogue, JackClientName, note);
    AddPulseDevices(catalogue);
}
