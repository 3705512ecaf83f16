// A folder's record file as a crash, a person or another program may leave
// it, and the store decision over it.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/store/stored_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    rvo::StoredFolder folder;
    std::vector<std::string> names;
    for (const rvo::MessageRecord& record : rvo::parseRecords(text)) {
        // What was read must write back as one line and read back the same.
        const std::string line = rvo::formatRecord(record);
        const std::vector<rvo::MessageRecord> again = rvo::parseRecords(line);
        if (record.id.folder.find_first_of("\r\n") == std::string::npos &&
            (again.size() != 1 || again[0].fileName != record.fileName || again[0].id.uid != record.id.uid)) {
            __builtin_trap();
        }
        names.push_back(record.fileName);
    }
    folder.load(names, text);
    const rvo::MessageIdentity id{"INBOX", 1, 2};
    (void)folder.fileHolding(id);
    (void)folder.candidates("346749F5", id, [](std::string_view f) { return f.size() % 2 == 0; });
    return 0;
}
