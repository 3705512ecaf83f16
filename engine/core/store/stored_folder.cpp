#include "engine/core/store/stored_folder.h"

#include <algorithm>

#include "engine/core/text/ascii.h"

namespace rvo {

void StoredFolder::clear() {
    index_.clear();
    present_.clear();
    fileById_.clear();
    idsByFile_.clear();
}

void StoredFolder::load(const std::vector<std::string>& fileNames, std::string_view recordText) {
    clear();
    for (const std::string& name : fileNames) addFile(name);
    for (const MessageRecord& record : parseRecords(recordText)) addRecord(record);
}

void StoredFolder::addFile(std::string_view fileName) {
    if (present_.insert(asciiUpperCopy(fileName)).second) index_.add(fileName);
}

void StoredFolder::addRecord(const MessageRecord& record) {
    // A later record of the same message wins: it was written after the earlier one.
    fileById_[Key{record.id.folder, record.id.uidValidity, record.id.uid}] = record.fileName;
    idsByFile_[asciiUpperCopy(record.fileName)].push_back(record.id);
}

bool StoredFolder::present(std::string_view fileName) const { return present_.count(asciiUpperCopy(fileName)) != 0; }

const std::string* StoredFolder::fileHolding(const MessageIdentity& id) const {
    if (!id.known()) return nullptr;
    const auto found = fileById_.find(Key{id.folder, id.uidValidity, id.uid});
    return found != fileById_.end() && present(found->second) ? &found->second : nullptr;
}

std::vector<std::string> StoredFolder::candidates(std::string_view dateHex, const MessageIdentity& id,
                                                  const FolderListed& listed) const {
    std::vector<std::string> out;
    for (const std::string& name : index_.names(dateHex)) {
        const auto claims = idsByFile_.find(asciiUpperCopy(name));
        const bool takenByAnother =
            claims != idsByFile_.end() &&
            std::any_of(claims->second.begin(), claims->second.end(), [&](const MessageIdentity& claim) {
                if (claim.folder != id.folder) return listed(claim.folder);
                return id.known() && claim.uidValidity == id.uidValidity && claim.uid != id.uid;
            });
        if (!takenByAnother) out.push_back(name);
    }
    return out;
}

}  // namespace rvo
