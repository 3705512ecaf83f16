// Server lines into a whole POP3 migration, with a database that knows some
// unique-ids and can fail, and a store that can refuse; bit 6 of the first
// byte asks for a window of 8 (the server's CAPA answer decides).
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "engine/core/net/line_assembler.h"
#include "engine/core/pop3/pop3_dialogue.h"

namespace {

using namespace rvo;

class Database : public MigrationDatabase {
public:
    explicit Database(unsigned knobs) : knobs_(knobs) {}
    int registerServer(const std::string&) override { return 1; }
    int registerUser(const std::string&, int) override { return 1; }
    int recordUidl(int, int, const std::string& uidl) override { return (knobs_ & 4) ? 0 : seen_.insert(uidl).second; }
    int serverId(const std::string&) override { return (knobs_ & 8) ? 0 : 1; }
    int userId(const std::string&, int) override { return 1; }
    int uidlId(int, int, const std::string& uidl) override { return seen_.count(uidl) || uidl.size() % 3 == 0; }
    bool acceptsRecords(int) override { return (knobs_ & 32) == 0; }
    bool usable() const override { return (knobs_ & 16) == 0; }

private:
    unsigned knobs_;
    std::set<std::string> seen_;
};

class Environment : public Pop3Environment, public LineConsumer {
public:
    explicit Environment(unsigned knobs)
        : knobs_(knobs), dialogue_(*this, Pop3Account{"pop.example.com", "bob", "secret"}, (knobs & 64) ? 8 : 1) {}
    Pop3Dialogue& dialogue() { return dialogue_; }
    bool feed(std::string_view bytes) { return assembler_.feed(bytes, *this); }

    bool send(std::string_view) override { return true; }
    void closeWithoutQuit() override {}
    void report(std::string_view) override {}
    void showLine(std::string_view) override {}
    void showMessageProgress(int, int) override {}
    std::unique_ptr<MigrationDatabase> openDatabase() override { return std::make_unique<Database>(knobs_); }
    bool prepareInbox(std::string&) override { return (knobs_ & 1) == 0; }
    bool beginMessage(int, std::string&) override { return true; }
    bool writeMessageLine(std::string_view, std::string&) override { return (knobs_ & 2) == 0; }
    bool commitMessage(std::string&) override { return true; }
    void abandonMessage() override {}
    bool removeStoredMessage(std::string&) override { return true; }
    void pause(unsigned long) override {}
    void onLine(std::string_view line) override { dialogue_.onLine(line); }
    void onLiteral(std::string_view, bool) override {}

private:
    unsigned knobs_;
    Pop3Dialogue dialogue_;
    LineAssembler assembler_{LineEnd::Strip, 64 * 1024};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Environment environment(data[0]);
    environment.dialogue().connected();
    environment.feed(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    environment.dialogue().sessionEnded();
    (void)environment.dialogue().summary();
    return 0;
}
