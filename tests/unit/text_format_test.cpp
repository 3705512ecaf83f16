#include <gtest/gtest.h>

#include "engine/core/text/exception.h"
#include "engine/core/text/format.h"
#include "engine/core/text/module_path.h"

namespace rvo {
namespace {

TEST(FormatString, GrowsPastTheFirstBufferAndAppends) {
    std::string out = "head:";
    const std::string longText(5000, 'x');
    formatString(out, "%s|%d", longText.c_str(), 42);
    EXPECT_EQ(out, "head:" + longText + "|42");

    // Exactly at the first buffer's edge (1024 characters) and one past it.
    for (std::size_t n : {1023u, 1024u, 1025u}) {
        std::string s;
        formatString(s, "%s", std::string(n, 'y').c_str());
        EXPECT_EQ(s.size(), n);
    }
}

TEST(FormatBounded, CutsAt2048Characters) {
    const std::string longText(3000, 'z');
    EXPECT_EQ(formatBounded("%s", longText.c_str()).size(), 2048u);
    EXPECT_EQ(formatBounded("%d%%", 5), "5%");
}

TEST(Exception, KeepsAtMost2048CharactersAndCopiesWhole) {
    const Exception big(std::string(4000, 'e'));
    EXPECT_EQ(std::string(big.text()).size(), 2048u);
    const Exception a("(10061) refused\nFailed to connect to address");
    const Exception b = a;
    EXPECT_STREQ(b.text(), "(10061) refused\nFailed to connect to address");
}

TEST(ModulePath, SplitsDirectoryAndBaseName) {
    const ModulePathParts p = splitModulePath("C:\\tools\\kelvard.exe");
    EXPECT_EQ(p.directory, "C:\\tools\\");
    EXPECT_EQ(p.baseName, "kelvard");
    const ModulePathParts dotted = splitModulePath("Z:\\a.b\\my.tool.exe");
    EXPECT_EQ(dotted.directory, "Z:\\a.b\\");
    EXPECT_EQ(dotted.baseName, "my.tool");
}

}  // namespace
}  // namespace rvo
