#pragma once
// Naming the account in log lines when several accounts run at once: their
// lines meet in one daily log, and a search for "[4 alice]" must bring back
// one account's story. With one account at a time the lines stay exactly as
// they have always been.
//
// How the caller knows: it asks accountTag with the PARALLEL value for each
// account once, when the account starts, and passes the result to every
// line. With PARALLEL 1 the tag is empty, and an empty tag leaves every line
// unchanged, so the sessions have one code path whatever the setting.
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/core/log/log_sink.h"

namespace rvo {

// Longest part of the user name a tag carries; user names longer than this
// are cut and end in "...".
inline constexpr std::size_t kTaggedUserMax = 64;

// The user name as it may stand in a tag or a log line: at most
// kTaggedUserMax bytes, control characters (below 0x20 and 0x7F) and "]"
// each replaced by "?" so the line stays one line and the tag stays closed.
std::string taggedUserName(std::string_view user);

// "[4 alice]" for section 4 and user alice when `parallel` is above 1;
// empty otherwise.
std::string accountTag(int parallel, int section, std::string_view user);

// The text of a report line with the tag after the object's name:
// "IMap2XRV Object [4 alice] Connected to the host server". With an empty
// tag it is "IMap2XRV Object Connected to the host server", as reportText
// makes it.
std::string taggedReportText(std::string_view objectName, std::string_view tag, std::string_view text);

// The same for a report text already made of the object's name, a blank and
// the text: the tag goes after `objectName` when the line starts with it and
// before the whole line otherwise (a line of the program itself).
std::string applyAccountTag(std::string_view reportLine, std::string_view objectName, std::string_view tag);

// The log of one account's session: every line passes to `inner` with the
// account's tag after the object's name (taggedReportText), unchanged with an
// empty tag. The tag is fixed at construction, so a worker may report while
// another account is being set up.
class TaggedLogSink : public LogSink {
public:
    TaggedLogSink(LogSink& inner, std::string tag) : inner_(inner), tag_(std::move(tag)) {}
    void report(std::string_view objectName, std::string_view text) override;
    const std::string& tag() const { return tag_; }

private:
    LogSink& inner_;
    const std::string tag_;
};

}  // namespace rvo
