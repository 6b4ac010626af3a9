#include "JackDevices.h"

#include "ChildProcess.h"
#include "basserrors.h"

#include <jack/jack.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

struct TJackClientClose {
    void operator()(jack_client_t* client) const { jack_client_close(client); }
};
using TJackClient = std::unique_ptr<jack_client_t, TJackClientClose>;

struct TJackFree {
    void operator()(const char** list) const { jack_free(static_cast<void*>(list)); }
};
using TJackPortList = std::unique_ptr<const char*, TJackFree>;

// The server libjack picks when none is named.
std::string DefaultServerName() {
    const char* name = std::getenv("JACK_DEFAULT_SERVER");
    return name != nullptr && *name != '\0' ? name : "default";
}

TJackClient OpenClient(const std::string& server, const std::string& name, jack_status_t* status = nullptr) {
    jack_status_t ignored{};
    return TJackClient(jack_client_open(name.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                        status != nullptr ? status : &ignored, server.c_str()));
}

// libjack's complaints of the start-up probe, kept on the probing thread: a
// machine without a server is no fault, and its "Cannot connect to server
// socket" lines read like one. Null on every other thread.
thread_local std::vector<std::string>* ProbeLines = nullptr;

void OnJackError(const char* text) {
    if (ProbeLines != nullptr) {
        try {
            ProbeLines->emplace_back(text);
        } catch (...) {
            // no memory for a line nobody needs
        }
        return;
    }
    std::fprintf(stderr, "JACK: %s\n", text); // a running server's errors still show
}

void OnJackInfo(const char*) {} // the client's chatter about itself

[[noreturn]] void Fail(int code) { throw TAudioError("ASIOInit", code); }

std::string FindOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) {
        return {};
    }
    std::string dirs = path;
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        std::string dir = dirs.substr(start, end - start);
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

} // namespace

// ---- the driver: one client shared by the open pairs ----

struct TASIODeviceInfo::TImpl {
    // An open pair: its two input ports on our client and the buffer its
    // audio is interleaved into, allocated at open.
    struct TPair {
        TASIOSubDeviceInfo* Owner = nullptr;
        jack_port_t* Left = nullptr;  // null once the client they belonged to is gone
        jack_port_t* Right = nullptr;
        std::vector<float> Buffer;
        jack_nframes_t Frames = 0; // capacity of Buffer in frames
    };

    TImpl(std::string server, int rate, std::string clientName)
        : Server(std::move(server)), RequestedName(std::move(clientName)), Rate(rate) {}

    int OpenPair(TASIOSubDeviceInfo& owner);
    void ClosePair(TASIOSubDeviceInfo& owner);

    const std::string Server;
    const std::string RequestedName;
    std::atomic<int> Rate; // the server's rate, as last seen

    // Serialises the opening and closing of pairs, which call into the server
    // while holding it. Neither JACK callback takes it.
    mutable std::mutex FLock;
    TJackClient FClient;                        // guarded by FLock
    std::vector<std::unique_ptr<TPair>> FOpen;  // guarded by FLock: every open pair
    std::atomic<int> FOpenCount{0};             // FOpen.size(), readable without FLock
    std::string FClientName;                    // guarded by FLock

    // Guards FActive, the pairs the process callback fills. Held by the process
    // and shutdown callbacks for one pass, and by Open/Close only to insert or
    // remove an entry, never across a call into JACK: otherwise a call that
    // waits for the server's cycle would wait for a callback waiting for us.
    //
    // A frank compromise: the process thread does wait on this lock, and on the
    // client and put locks of PushToClients, while a slot attaches or detaches.
    // Those are held for a vector update or a copy, never for I/O.
    std::mutex FProcessLock;
    std::vector<TPair*> FActive; // guarded by FProcessLock

    // Set by the shutdown callback: the client is dead and may only be closed.
    std::atomic<bool> FServerGone{false};

private:
    void StartClient();
    void CloseClient();
    void DropDeadClient();
    void Deactivate(TPair& pair);
    void Unregister(TPair& pair);

    static int Process(jack_nframes_t frames, void* arg);
    static void Shutdown(void* arg);
};

int TASIODeviceInfo::TImpl::Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<TImpl*>(arg);
    std::lock_guard lock(self->FProcessLock);
    for (TPair* pair : self->FActive) {
        const auto* left = static_cast<const float*>(jack_port_get_buffer(pair->Left, frames));
        const auto* right = static_cast<const float*>(jack_port_get_buffer(pair->Right, frames));
        if (left == nullptr || right == nullptr || pair->Frames == 0) {
            continue;
        }
        // In pieces of the buffer allocated at open, should the server's period have grown since.
        for (jack_nframes_t done = 0; done < frames;) {
            const jack_nframes_t n = std::min(frames - done, pair->Frames);
            float* out = pair->Buffer.data();
            for (jack_nframes_t i = 0; i < n; ++i) {
                out[2 * i] = left[done + i];
                out[2 * i + 1] = right[done + i];
            }
            pair->Owner->PushToClients(out, static_cast<std::size_t>(n) * 2 * sizeof(float));
            done += n;
        }
    }
    return 0;
}

void TASIODeviceInfo::TImpl::Shutdown(void* arg) {
    auto* self = static_cast<TImpl*>(arg);
    self->FServerGone.store(true);
    std::lock_guard lock(self->FProcessLock);
    for (TPair* pair : self->FActive) {
        pair->Owner->ServerLost();
    }
}

void TASIODeviceInfo::TImpl::StartClient() {
    TJackClient client = OpenClient(Server, RequestedName);
    if (!client) {
        Fail(BassError::Driver);
    }
    FServerGone.store(false);
    if (jack_set_process_callback(client.get(), &TImpl::Process, this) != 0) {
        Fail(BassError::Driver);
    }
    jack_on_shutdown(client.get(), &TImpl::Shutdown, this);
    if (jack_activate(client.get()) != 0) {
        Fail(BassError::Driver);
    }
    FClientName = jack_get_client_name(client.get());
    Rate.store(static_cast<int>(jack_get_sample_rate(client.get())));
    FClient = std::move(client);
}

void TASIODeviceInfo::TImpl::CloseClient() {
    if (!FClient) {
        return;
    }
    // A dead client is only closed: anything else would talk to a server that is gone.
    if (!FServerGone.load()) {
        jack_deactivate(FClient.get());
    }
    FClient.reset();
    FClientName.clear();
    FServerGone.store(false);
}

// A pair opening after the server went away (and maybe came back) cannot use
// the dead client. The pairs still open on it are lost already; they keep their
// place until their own Close, but lose their ports with the client.
//
// It must go before the next jack_client_open: once the server is gone,
// libjack deletes the clients it still has whenever the process opens another
// one, and our handle would dangle. (So nothing else in the process may open a
// client while a pair is lost: AddJackDevices runs only at start-up.)
void TASIODeviceInfo::TImpl::DropDeadClient() {
    {
        std::lock_guard lock(FProcessLock);
        FActive.clear();
    }
    for (auto& pair : FOpen) {
        pair->Left = nullptr;
        pair->Right = nullptr;
    }
    CloseClient();
}

void TASIODeviceInfo::TImpl::Deactivate(TPair& pair) {
    std::lock_guard lock(FProcessLock);
    FActive.erase(std::remove(FActive.begin(), FActive.end(), &pair), FActive.end());
}

void TASIODeviceInfo::TImpl::Unregister(TPair& pair) {
    // Unregistering also disconnects the port.
    if (FClient && !FServerGone.load()) {
        if (pair.Left != nullptr) {
            jack_port_unregister(FClient.get(), pair.Left);
        }
        if (pair.Right != nullptr) {
            jack_port_unregister(FClient.get(), pair.Right);
        }
    }
    pair.Left = nullptr;
    pair.Right = nullptr;
}

int TASIODeviceInfo::TImpl::OpenPair(TASIOSubDeviceInfo& owner) {
    std::lock_guard lock(FLock);
    for (const auto& pair : FOpen) {
        if (pair->Owner == &owner) {
            return Rate.load();
        }
    }
    if (FClient && FServerGone.load()) {
        DropDeadClient();
    }
    std::unique_ptr<TPair> pair;
    bool listed = false;
    try {
        pair = std::make_unique<TPair>();
        pair->Owner = &owner;
        if (!FClient) {
            StartClient();
        }
        jack_client_t* client = FClient.get();
        // The capture ports must still be there (a card unplugged, a server restarted with fewer ports).
        if (jack_port_by_name(client, owner.LeftPort.c_str()) == nullptr ||
            jack_port_by_name(client, owner.RightPort.c_str()) == nullptr) {
            Fail(FServerGone.load() ? BassError::Driver : BassError::Device);
        }
        pair->Frames = std::max<jack_nframes_t>(jack_get_buffer_size(client), 64);
        pair->Buffer.assign(static_cast<std::size_t>(pair->Frames) * 2, 0.0f);

        const std::string base = "pair" + std::to_string(owner.Index);
        pair->Left = jack_port_register(client, (base + "_L").c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        pair->Right = jack_port_register(client, (base + "_R").c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        if (pair->Left == nullptr || pair->Right == nullptr) {
            // A live server refusing a port has run out of them.
            Fail(FServerGone.load() ? BassError::Driver : BassError::Mem);
        }
        for (const auto& [source, port] : {std::pair{&owner.LeftPort, pair->Left}, std::pair{&owner.RightPort, pair->Right}}) {
            const int result = jack_connect(client, source->c_str(), jack_port_name(port));
            if (result != 0 && result != EEXIST) {
                Fail(FServerGone.load() ? BassError::Driver : BassError::Device);
            }
        }
        FOpen.reserve(FOpen.size() + 1);
        {
            std::lock_guard process(FProcessLock);
            FActive.push_back(pair.get());
            listed = true;
        }
        // Gone while we connected: the shutdown callback did not see this pair.
        if (FServerGone.load()) {
            Fail(BassError::Driver);
        }
        const int rate = static_cast<int>(jack_get_sample_rate(client));
        FOpen.push_back(std::move(pair));
        FOpenCount.store(static_cast<int>(FOpen.size()));
        return rate;
    } catch (...) {
        if (pair) {
            if (listed) {
                Deactivate(*pair);
            }
            Unregister(*pair);
        }
        if (FOpen.empty()) {
            CloseClient();
        }
        try {
            throw;
        } catch (const std::bad_alloc&) {
            Fail(BassError::Mem);
        }
    }
}

void TASIODeviceInfo::TImpl::ClosePair(TASIOSubDeviceInfo& owner) {
    std::lock_guard lock(FLock);
    auto it = std::find_if(FOpen.begin(), FOpen.end(), [&](const auto& p) { return p->Owner == &owner; });
    if (it == FOpen.end()) {
        return;
    }
    // Out of the process callback's list first, so that it never reads a port being removed.
    Deactivate(**it);
    Unregister(**it);
    FOpen.erase(it);
    FOpenCount.store(static_cast<int>(FOpen.size()));
    if (FOpen.empty()) {
        CloseClient();
    }
}

TASIODeviceInfo::TASIODeviceInfo(int index, std::string serverName, int rate, std::string clientName)
    : TDeviceInfo(index, serverName), FImpl(std::make_unique<TImpl>(std::move(serverName), rate, std::move(clientName))) {}

// Its pairs, which close their ports, are gone before it.
TASIODeviceInfo::~TASIODeviceInfo() = default;

int TASIODeviceInfo::OpenCount() const { return FImpl->FOpenCount.load(); }

std::string TASIODeviceInfo::ClientName() const {
    std::lock_guard lock(FImpl->FLock);
    return FImpl->FClientName;
}

// ---- the pairs ----

TASIOSubDeviceInfo::TASIOSubDeviceInfo(int pair, std::string name, std::shared_ptr<TASIODeviceInfo> driver,
                                       std::string leftPort, std::string rightPort)
    : TDeviceInfoWithClients(pair, std::move(name)), Driver(std::move(driver)), LeftPort(std::move(leftPort)),
      RightPort(std::move(rightPort)), FRate(Driver->FImpl->Rate.load()) {}

TASIOSubDeviceInfo::~TASIOSubDeviceInfo() { Close(); }

void TASIOSubDeviceInfo::Open(int) {
    const int serverRate = Driver->FImpl->OpenPair(*this);
    // Clients while opening means a recovery: their streams were made at the
    // old rate, and audio at another one would play at the wrong speed.
    if (ClientCount() > 0 && serverRate != FRate.load()) {
        Driver->FImpl->ClosePair(*this);
        Fail(BassError::Freq);
    }
    FRate.store(serverRate);
}

void TASIOSubDeviceInfo::Close() { Driver->FImpl->ClosePair(*this); }

void TASIOSubDeviceInfo::ServerLost() { ReportLost(BassError::Driver); }

void TASIOSubDeviceInfo::ShowControlPanel() {
    const std::string program = FindOnPath("qjackctl");
    if (program.empty()) {
        throw std::runtime_error("No control panel is available");
    }
    // The panel outlives us if the user keeps it.
    try {
        StartDetached({program}, {"JACK_DEFAULT_SERVER=" + Driver->Name});
    } catch (const std::system_error& e) {
        throw std::runtime_error(std::string("Cannot start qjackctl: ") + std::strerror(e.code().value()));
    }
}

// ---- enumeration ----

void AddJackDevices(TDeviceCatalogue& catalogue, const std::string& clientName, const TJackNote& note) {
    jack_set_error_function(OnJackError);
    jack_set_info_function(OnJackInfo);
    const std::string server = DefaultServerName();
    std::vector<std::string> complaints;
    jack_status_t status{};
    ProbeLines = &complaints;
    TJackClient client = OpenClient(server, clientName, &status);
    ProbeLines = nullptr;
    if (!client) {
        if (!note) {
            return;
        }
        if ((status & JackServerFailed) != 0) {
            note("No JACK server: JACK inputs are not listed");
        } else {
            for (const std::string& line : complaints) {
                note("JACK: " + line); // a server that answered and refused us
            }
        }
        return;
    }
    const int rate = static_cast<int>(jack_get_sample_rate(client.get()));
    std::vector<std::string> ports;
    {
        TJackPortList list(jack_get_ports(client.get(), nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                          JackPortIsPhysical | JackPortIsOutput));
        for (const char** p = list.get(); p != nullptr && *p != nullptr; ++p) {
            ports.emplace_back(*p);
        }
    }
    client.reset();

    auto driver = std::make_shared<TASIODeviceInfo>(0, server, rate, clientName);
    for (std::size_t p = 0; p + 1 < ports.size(); p += 2) {
        const int pair = static_cast<int>(p / 2);
        auto entry = std::make_unique<TASIOSubDeviceInfo>(
            pair, "ASIO: " + server + " (" + ports[p] + " + " + ports[p + 1] + ")", driver, ports[p], ports[p + 1]);
        catalogue.Add("ASIO:0:" + std::to_string(pair), std::move(entry));
    }
}
