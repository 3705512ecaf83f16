// A folder's record file as a crash, a person or another program may leave
// it, and the store decision over it. Checked: a record reads back as it was
// written; a message is recognised as stored only through its own last
// record and a file that is there, and always when both hold; no candidate
// is a file another message of the same folder and UIDVALIDITY holds.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>

#include "engine/core/store/stored_folder.h"
#include "engine/core/text/ascii.h"

namespace {

void check(bool holds) {
    if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    rvo::StoredFolder folder;
    std::vector<std::string> names;
    const std::vector<rvo::MessageRecord> records = rvo::parseRecords(text);
    std::map<std::tuple<std::string, std::uint32_t, std::uint32_t>, std::string> last;
    for (const rvo::MessageRecord& record : records) {
        // What was read must write back as one line and read back the same.
        const std::string line = rvo::formatRecord(record);
        const std::vector<rvo::MessageRecord> again = rvo::parseRecords(line);
        if (record.id.folder.find_first_of("\r\n") == std::string::npos) {
            check(again.size() == 1 && again[0].fileName == record.fileName && again[0].id.uid == record.id.uid &&
                  again[0].id.uidValidity == record.id.uidValidity && again[0].id.folder == record.id.folder);
        }
        // Every other file is left out, so that some records name a file that is gone.
        if (names.size() % 2 == 0 || record.fileName.size() % 3 == 0) names.push_back(record.fileName);
        last[{record.id.folder, record.id.uidValidity, record.id.uid}] = record.fileName;
    }
    folder.load(names, text);
    const auto present = [&](const std::string& name) {
        for (const std::string& n : names)
            if (rvo::asciiUpperCopy(n) == rvo::asciiUpperCopy(name)) return true;
        return false;
    };
    std::vector<rvo::MessageIdentity> ids = {{"INBOX", 1, 2}};
    for (std::size_t i = 0; i < records.size() && i < 8; ++i) ids.push_back(records[i].id);
    for (const rvo::MessageIdentity& id : ids) {
        const std::string* holding = folder.fileHolding(id);
        const auto found = last.find({id.folder, id.uidValidity, id.uid});
        const bool recordedAndThere = id.known() && found != last.end() && present(found->second);
        check((holding != nullptr) == recordedAndThere);
        if (holding) check(*holding == found->second);
        for (const std::string& dateHex : {std::string("346749F5"), std::string("210000")}) {
            const auto listed = [](std::string_view f) { return f.size() % 2 == 0; };
            for (const std::string& name : folder.candidates(dateHex, id, listed)) {
                check(present(name));
                for (const rvo::MessageRecord& r : records) {
                    if (rvo::asciiUpperCopy(r.fileName) != rvo::asciiUpperCopy(name)) continue;
                    check(!(id.known() && r.id.folder == id.folder && r.id.uidValidity == id.uidValidity &&
                            r.id.uid != id.uid));
                    check(r.id.folder == id.folder || !listed(r.id.folder));
                }
            }
        }
    }
    return 0;
}
