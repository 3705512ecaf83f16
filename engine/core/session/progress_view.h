#pragma once
// Where a session shows its progress: the dialog's list and message text in
// the programs, a recorder in tests. Called from the session's worker thread.
#include <string>
#include <string_view>
#include <vector>

namespace rvo {

class ProgressView {
public:
    virtual ~ProgressView() = default;
    // One progress line. The first line after the list was cleared is row 0;
    // every later line goes to row 1, so row 0 keeps the account's first line
    // and the newest line stands right below it.
    virtual void addLine(std::string_view text) = 0;
    // Several lines, oldest first, as if added one by one; a view may show
    // them in one update.
    virtual void addLines(const std::vector<std::string>& lines) {
        for (const auto& line : lines) addLine(line);
    }
    // The two-line text for the message being processed.
    virtual void setCaption(std::string_view text) = 0;
};

}  // namespace rvo
