#include "AlsaDevices.h"
#include "AudioDevices.h"
#include "JackDevices.h"
#include "PulseDevices.h"

void BuildDeviceCatalogue(TDeviceCatalogue& catalogue) {
    AddAlsaDevices(catalogue);
    AddJackDevices(catalogue);
    AddPulseDevices(catalogue);
}
