#include "WebFixture.h"

#include <filesystem>
#include <fstream>

namespace TestSupport {

TWebFixture::~TWebFixture() {
    Server.reset();
    Controller.reset();
}

void TWebFixture::Build(int count, const std::vector<TKeys>& sections) {
    for (int i = 0; i < count; ++i) {
        TKeys keys = static_cast<std::size_t>(i) < sections.size() ? sections[static_cast<std::size_t>(i)] : TKeys{};
        keys.insert(keys.begin(), {"Folder", SlotFolder(i)}); // a later "Folder" in `keys` wins
        Settings.WriteSection("Slot" + std::to_string(i), keys);
    }
    TSlotServices services = System.Services((Dir.Path() / "Music").string());
    if (RealFreeSpace) {
        services.FreeSpace = FreeSpaceOf;
    }
    Controller = std::make_unique<TController>(
        Settings, Devices, count, services,
        [this](TController::TLogKind kind, const std::string& line) {
            (kind == TController::TLogKind::WebServer ? WebLog : Logged).push_back(line);
        });
    // Each tick's work done before the test looks, however slow the machine.
    Controller->TickWait = std::chrono::seconds(30);
    Server = std::make_unique<TWebServer>(*Controller);
}

void TWebFixture::Start(const std::string& user, bool commandExecution, const std::string& password) {
    Server->SetPasswordHash(HashWebServerPassword(password));
    Server->Start(WebSettings("0", user, commandExecution));
}

TWebServerSettings TWebFixture::WebSettings(const std::string& port, const std::string& user, bool commandExecution) {
    TWebServerSettings settings;
    settings.Port = port;
    settings.User = user;
    settings.CommandExecution = commandExecution;
    return settings;
}

std::string TWebFixture::Url(const std::string& path, const std::string& host) const {
    return "http://" + host + ":" + std::to_string(Server->Port()) + path;
}

std::int64_t TWebFixture::AddRow(int slot, const std::string& start, std::optional<double> duration,
                                 const std::string& filename) {
    std::filesystem::create_directories(SlotFolder(slot));
    TCatalogue db(SlotFolder(slot) + "/RudazOdudad.db");
    auto insert = db.Prepare("INSERT INTO recordings (starttime, duration, filename) VALUES (?,?,?)");
    insert.Bind(1, start).Bind(3, filename);
    if (duration) {
        insert.Bind(2, *duration);
    }
    insert.Run();
    auto id = db.Prepare("SELECT last_insert_rowid()");
    id.Step();
    return id.ColumnInt64(0);
}

std::string TWebFixture::WriteRecording(int slot, const std::string& relative, const std::string& bytes) {
    const std::filesystem::path path = std::filesystem::path(SlotFolder(slot)) / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
}

} // namespace TestSupport
