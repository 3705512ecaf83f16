#pragma once
// Where engine objects report: the batch program's daily log, the library's
// log, or a recorder in tests.
#include <string_view>

namespace rvo {

class LogSink {
public:
    virtual ~LogSink() = default;
    // One line: the object's log name, a blank and the text. The text is
    // written as it stands; a percent sign in it is not interpreted.
    virtual void report(std::string_view objectName, std::string_view text) = 0;
};

}  // namespace rvo
